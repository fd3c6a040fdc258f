"""Fills a lab database (SQLite) for the lab window's benchmark: CARDS cards, RUNS runs spread
over them with their 16 relays' counts, DIAGNOSES of those runs diagnoses with each relay's
findings. The schema is the program's own: the file is made by the program first.
  make_lab.py FILE CARDS RUNS DIAGNOSES"""

import random
import sqlite3
import sys
import uuid
from datetime import datetime, timedelta, timezone

path, cards, runs, diagnoses = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rng = random.Random(7402)
db = sqlite3.connect(path)
start = datetime(2025, 1, 6, 8, 0, tzinfo=timezone.utc)


def when(t):
    return t.strftime("%Y-%m-%dT%H:%M:%S.000Z")


ids = ["LT-%05d" % i for i in range(cards)]
db.executemany("INSERT INTO cards (id, first_seen) VALUES (?, ?)", [(c, when(start)) for c in ids])
diagnosed = set(rng.sample(range(runs), diagnoses))
times = ["%s_%s" % (f, o) for f in ("operate", "release", "bounce")
         for o in ("least", "median", "worst")]
for n in range(runs):
    card = ids[n % cards]
    started = start + timedelta(minutes=7 * n)
    diagnosis = n in diagnosed
    loops = 0 if diagnosis else rng.randrange(1000, 200000)
    errors = 0 if rng.random() < 0.9 else rng.randrange(1, 20)
    cur = db.execute(
        "INSERT INTO runs (uid, card, host, device, started, ended, ending, verdict, loops, "
        "errors, log, operator) VALUES (?, ?, ?, 'sim', ?, ?, ?, ?, ?, ?, '', ?)",
        (str(uuid.UUID(int=rng.getrandbits(128))), card, "bench-%d" % (n % 12), when(started),
         when(started + timedelta(minutes=5)), "diagnosed" if diagnosis else "ended",
         "fail" if errors else "pass", loops, errors, "op%d" % (n % 9)))
    run = cur.lastrowid
    db.executemany("INSERT INTO run_relays (run, relay, closings, errors) VALUES (?, ?, ?, ?)",
                   [(run, r, loops // 16, errors if r == n % 16 else 0) for r in range(16)])
    if diagnosis:
        rows = []
        for r in range(16):
            op = rng.uniform(2.5, 4.0) + (n % 1000) / 1000.0 * (8 if r == 4 else 0)
            figures = [op * 0.95, op, op * 1.05, 1.2, 1.3, 1.4, 0.3, 0.4, 0.6]
            verdict = "fail" if op > 10 else "marginal" if op > 8 else "pass"
            rows.append((run, r, "ok", *figures, 2, verdict, "pass", "pass", "pass", verdict))
        db.executemany("INSERT INTO run_diagnoses (run, relay, class, %s, bounces, "
                       "operate_verdict, release_verdict, bounce_verdict, bounces_verdict, "
                       "verdict) VALUES (?, ?, ?, %s?, ?, ?, ?, ?, ?)" %
                       (", ".join(times), "?, " * 9), rows)
db.commit()
print(ids[0])
