# A lab database as looptest made it before runs had identities of their own (schema 1): one
# card, two runs of it with their relays' counts.
import sqlite3
import sys

db = sqlite3.connect(sys.argv[1])
db.executescript("""
CREATE TABLE looptest_schema (version INTEGER NOT NULL);
INSERT INTO looptest_schema VALUES (1);
CREATE TABLE cards (id TEXT PRIMARY KEY, first_seen TEXT NOT NULL);
CREATE TABLE runs (id INTEGER PRIMARY KEY, card TEXT NOT NULL REFERENCES cards(id),
  host TEXT NOT NULL, device TEXT NOT NULL, started TEXT NOT NULL, ended TEXT,
  ending TEXT NOT NULL, verdict TEXT NOT NULL, loops BIGINT NOT NULL, errors BIGINT NOT NULL,
  log TEXT NOT NULL);
CREATE INDEX runs_by_card ON runs (card, started);
CREATE TABLE run_relays (run BIGINT NOT NULL REFERENCES runs(id), relay INTEGER NOT NULL,
  closings BIGINT NOT NULL, errors BIGINT NOT NULL, PRIMARY KEY (run, relay));
INSERT INTO cards VALUES ('LT-70', '2026-01-05T08:00:00.000Z');
INSERT INTO runs VALUES (1, 'LT-70', 'pc-old', 'sim', '2026-01-05T08:00:00.000Z',
  '2026-01-05T09:00:00.000Z', 'ended', 'fail', 180000, 7, 'old.csv');
INSERT INTO runs VALUES (2, 'LT-70', 'pc-old', 'sim', '2026-01-06T08:00:00.000Z',
  '2026-01-06T09:00:00.000Z', 'ended', 'pass', 180000, 0, 'old2.csv');
""")
for run in (1, 2):
    for relay in range(16):
        db.execute("INSERT INTO run_relays VALUES (?, ?, ?, ?)",
                   (run, relay, 11250, 7 if run == 1 and relay == 5 else 0))
db.commit()
