"""The lab window as a person uses it, the real program under Xvfb driven through its
accessibility tree:
  lab_window.py PROGRAM ARTEFACT_DIR [test ...]"""

import os
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop  # noqa: E402
from desktop import Failed, check, node, wait_for  # noqa: E402
import pyatspi  # noqa: E402

PROGRAM = os.path.abspath(sys.argv[1])
ARTEFACTS = os.path.abspath(sys.argv[2])
os.makedirs(ARTEFACTS, exist_ok=True)
RED = (0xc0, 0x10, 0x10)  # a flag's colour on the charts


def make_lab(home, url):
    """A lab made by real runs: LT-100 healthy (one short run), LT-200 whose relay 4 slows
    down over four diagnoses, LT-300 past its rated life of 10 closings."""
    limits = home.path("card.ini")
    with open(limits, "w") as f:
        f.write("[limits]\noperate-ms = 10\nrated-life = 10\n")
    common = ["--lab-db", url, "--no-log", "--operator", "Ann", "--limits", limits]
    desktop.run(PROGRAM, ["--headless", "--device", "sim", "--loops", "1", "--step", "20",
                          "--card", "LT-100"] + common, home, 0)
    for ms in (3, 6, 9, 12):
        desktop.run(PROGRAM, ["--diagnose", "--device", "sim:slow=4,%d" % ms, "--readback", "20",
                              "--card", "LT-200"] + common, home)
    desktop.run(PROGRAM, ["--headless", "--device", "sim", "--loops", "200", "--step", "20",
                          "--card", "LT-300"] + common, home)
    return limits


class Lab:
    """The lab window of a home, on a database."""

    def __init__(self, home, url, limits=None):
        args = ["--lab", "--lab-db", url] + (["--limits", limits] if limits else [])
        self.process = subprocess.Popen([PROGRAM] + args, env=home.env,
                                        stderr=open(home.path("lab.err"), "a"))
        self.app = desktop.launched(self.process, home.path("lab.err"))
        self.window = desktop.window_id("looptest lab")

    def close(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def cards(self, column=0):
        table = node(self.app, "Cards", pyatspi.ROLE_TABLE)
        return desktop.table_rows(table, column)

    def open(self, card):
        """Types the card's ID into the field and presses Enter, as a scanner does."""
        field = node(self.app, "Card ID", pyatspi.ROLE_TEXT)
        field.queryEditableText().setTextContents(card)
        field.queryComponent().grabFocus()
        desktop.keys(self.window, "Return")
        return node(self.app, "Flags")


def healthFirstAndACardOpenedByItsId():
    home = desktop.Home()
    url = "sqlite:" + home.path("lab.sqlite")
    limits = make_lab(home, url)
    lab = Lab(home, url, limits)
    try:
        cards = wait_for("three cards", lambda: (lambda c: c if len(c) == 3 else None)(lab.cards()))
        # The flagged first (LT-300, run last, before LT-200), the healthy one last.
        check(cards == ["LT-300", "LT-200", "LT-100"], "cards in the order %s" % cards)
        flags = lab.cards(9)
        # LT-300: each relay past its life; LT-200: those (its diagnoses close them too) and
        # relay 4's times.
        check(flags[2] == "none" and flags[0].startswith("16: relay 0: it has used") and
              int(flags[1].split(":")[0]) >= 17, "flags column: %s" % flags)
        # A typed ID and Enter open the card: its flags in the words of --card-history.
        words = desktop.text_of(lab.open("lt-200"))
        history = desktop.run(PROGRAM, ["--card-history", "LT-200", "--lab-db", url, "--limits",
                                        limits], home, 0).stdout
        expected = [line.split(": ", 1)[1] for line in history.splitlines()
                    if line.startswith("FLAG relay 4: ")]
        check(expected and all(e in words for e in expected),
              "the card's flags read %r, --card-history says %r" % (words, expected))
        tile = node(lab.app, next(t for t in [n.name for n in pyatspi.findAllDescendants(
            lab.app, lambda n: n.name.startswith("R4: "))]))
        check(tile.name.startswith("R4: ok, FAIL, 3 flags"), "relay 4's tile: %s" % tile.name)
        # Its charts show the flag: relay 4's line drawn in the flag's colour.
        chart = node(lab.app, "operate times chart")
        check(chart.description == "flagged: R4", "the chart says %r" % chart.description)
        time.sleep(0.5)
        shot = desktop.screenshot(os.path.join(ARTEFACTS, "card-LT-200.png"))
        flagged = desktop.count_pixels(
            desktop.screenshot(os.path.join(ARTEFACTS, "chart-LT-200.png"),
                               desktop.extents(chart)), RED)
        del shot
        # "Save page..." writes what --card-history --html writes.
        desktop.press(node(lab.app, "Save page…", pyatspi.ROLE_PUSH_BUTTON))
        dialog = desktop.window_id("Save the page of card LT-200")
        saved = home.path("saved.html")
        desktop.keys(dialog, "ctrl+a")
        desktop.type_text(dialog, saved)
        desktop.keys(dialog, "Return")
        wait_for("the page saved", lambda: os.path.exists(saved))
        cli = home.path("cli.html")
        desktop.run(PROGRAM, ["--card-history", "LT-200", "--lab-db", url, "--limits", limits,
                              "--html", cli], home, 0)
        with open(saved, "rb") as a, open(cli, "rb") as b:
            check(a.read() == b.read(), "the saved page differs from --card-history --html's")
        # The healthy card's chart has no line in the flag's colour.
        lab.open("LT-100")
        wait_for("the healthy card", lambda: node(lab.app, "operate times chart").description
                 == "no relay flagged")
        time.sleep(0.5)
        healthy = desktop.count_pixels(
            desktop.screenshot(os.path.join(ARTEFACTS, "chart-LT-100.png"),
                               desktop.extents(node(lab.app, "operate times chart"))), RED)
        check(flagged > 200 and healthy == 0, "red pixels: flagged %d, healthy %d" %
              (flagged, healthy))
    finally:
        lab.close()


def liveOnSqlite():
    home = desktop.Home()
    url = "sqlite:" + home.path("lab.sqlite")
    desktop.run(PROGRAM, ["--headless", "--device", "sim", "--loops", "1", "--card", "LT-1",
                          "--no-log", "--lab-db", url], home, 0)
    lab = Lab(home, url)
    try:
        wait_for("the first card", lambda: lab.cards() == ["LT-1"])
        started = time.monotonic()
        desktop.run(PROGRAM, ["--headless", "--device", "sim", "--loops", "1", "--card", "LT-2",
                              "--no-log", "--lab-db", url], home, 0)
        ended = time.monotonic()
        wait_for("the new run's card", lambda: "LT-2" in lab.cards(), every=0.05)
        print("  a run on SQLite showed %.2f s after its program ended" %
              (time.monotonic() - ended), flush=True)
        del started
    finally:
        lab.close()


def notFrozenByALockedFile():
    home = desktop.Home()
    path = home.path("lab.sqlite")
    url = "sqlite:" + path
    desktop.run(PROGRAM, ["--headless", "--device", "sim", "--loops", "1", "--card", "LT-7",
                          "--no-log", "--lab-db", url], home, 0)
    # Another program holds the file for 20 s: in exclusive locking mode no one else reads it.
    locker = subprocess.Popen(
        ["/usr/bin/python3", "-c",
         "import sqlite3, sys, time\n"
         "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
         "db.execute('PRAGMA locking_mode=EXCLUSIVE')\n"
         "db.execute('BEGIN EXCLUSIVE')\n"
         "db.execute('INSERT INTO looptest_schema (version) SELECT MAX(version) FROM "
         "looptest_schema')\n"
         "print('locked', flush=True)\n"
         "time.sleep(20)\n"
         "db.execute('ROLLBACK')\n", path],
        stdout=subprocess.PIPE, text=True)
    check(locker.stdout.readline().strip() == "locked", "the file was not locked")
    lab = Lab(home, url)
    try:
        # While the lock is held, the window answers and says it waits, where the cards will be.
        state = node(lab.app, "Cards state")
        wait_for("the window to say it waits", lambda: "waiting for the database" in state.description)
        check(locker.poll() is None, "the lock went before the window was asked")
        field = node(lab.app, "Card ID", pyatspi.ROLE_TEXT)
        field.queryEditableText().setTextContents("LT")
        check(desktop.text_of(field) == "LT", "the field took no text while the file was locked")
        check(locker.poll() is None, "the lock went before the window answered")
        locker.wait()
        wait_for("the cards once the lock went", lambda: lab.cards() == ["LT-7"])
    finally:
        locker.kill()
        lab.close()


def liveOnPostgres():
    home = desktop.Home()
    server = desktop.Postgres()
    url = server.url()
    try:
        desktop.run(PROGRAM, ["--headless", "--device", "sim", "--loops", "1", "--card", "PG-1",
                              "--no-log", "--lab-db", url], home, 0)
        lab = Lab(home, url)
        try:
            wait_for("the first card", lambda: lab.cards() == ["PG-1"])
            # Another PC's run: the window hears of it from the server.
            other = dict(home.env, LOOPTEST_HOSTNAME="bench-2")
            p = subprocess.run([PROGRAM, "--headless", "--device", "sim", "--loops", "1",
                                "--card", "PG-2", "--no-log", "--lab-db", url], env=other,
                               capture_output=True, text=True, timeout=300)
            check(p.returncode == 0, p.stderr)
            ended = time.monotonic()
            wait_for("the other PC's run", lambda: "PG-2" in lab.cards(), every=0.05)
            print("  a run on PostgreSQL showed %.2f s after its program ended" %
                  (time.monotonic() - ended), flush=True)
            check(lab.cards(2)[lab.cards().index("PG-2")] == "bench-2", "not the other PC's")
            # The server goes away: the window says so, keeps what it read, and reads again
            # once it is back.
            server.stop()
            state = node(lab.app, "Database state", showing=False)
            wait_for("the window to say the server does not answer",
                     lambda: "not answering since" in state.description)
            check(sorted(lab.cards()) == ["PG-1", "PG-2"], "the cards read went")
            server.start()
            wait_for("the server to answer again", lambda: state.description == "answers")
            desktop.run(PROGRAM, ["--headless", "--device", "sim", "--loops", "1", "--card",
                                  "PG-3", "--no-log", "--lab-db", url], home, 0)
            wait_for("a run after the server came back", lambda: "PG-3" in lab.cards())
        finally:
            lab.close()
    finally:
        server.stop()


def theLoopWindowTellsTheDesktop():
    """The loop's window tells the desktop once that the card's records wait, and once that
    they were delivered, when the lab's server stops during its run and starts again."""
    home = desktop.Home()
    server = desktop.Postgres()
    log = home.path("notifications.txt")
    service = desktop.notification_service(log)
    try:
        # Relay 3 never closes: errors come with every walk, and with them a checkpoint of the
        # run's records each minute.
        loop = subprocess.Popen([PROGRAM, "--device", "sim:relay-never-closes=3", "--card",
                                 "LT-9", "--lab-db", server.url(), "--no-log"], env=home.env,
                                stderr=open(home.path("loop.err"), "w"))
        desktop.keys(desktop.window_id("System information"), "Return")
        desktop.keys(desktop.window_id("Select Device"), "Return")
        app = desktop.application(loop)
        auto = wait_for("the auto button", lambda: pyatspi.findDescendant(
            app, lambda n: n is not None and n.getRole() == pyatspi.ROLE_PUSH_BUTTON and
            n.description.startswith("Starts or stops walking")))
        desktop.press(auto)
        wait_for("the run in the lab database", lambda: "LT-9" in desktop.run(
            PROGRAM, ["--card-history", "LT-9", "--lab-db", server.url()], home).stdout, every=1)
        server.stop()
        wait_for("records wait", lambda: os.path.exists(log) and "wait" in open(log).read(),
                 every=0.5)
        server.start()
        wait_for("delivered", lambda: "delivered" in open(log).read(), every=0.5)
        time.sleep(3)  # anything told twice would be here by now
        lines = open(log).read().splitlines()
        check(len(lines) == 2 and "The records of card LT-9 wait on this PC" in lines[0] and
              "The records of card LT-9 were delivered" in lines[1],
              "the desktop was told: %s" % lines)
        loop.terminate()
        loop.wait(60)
    finally:
        service.kill()
        server.stop()


def theDesktopEntryOpensIt():
    """The package's "looptest lab" entry, as a desktop runs its Exec line, on a fresh
    user's default database."""
    entry = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging",
                         "org.looptest.looptest.lab.desktop")
    with open(entry) as f:
        command = next(line for line in f if line.startswith("Exec=")).strip()[5:].split()
    check(command[0] == "looptest", "Exec runs %s" % command[0])
    home = desktop.Home()
    process = subprocess.Popen([PROGRAM] + command[1:], env=home.env)
    try:
        app = desktop.application(process)
        desktop.window_id("looptest lab")
        state = node(app, "Cards state")
        wait_for("the empty lab said", lambda: "has no card yet" in state.description)
        check(os.path.exists(os.path.join(home.env["XDG_DATA_HOME"], "looptest", "lab.sqlite")),
              "not the user's default database")
    finally:
        process.terminate()
        process.wait(30)


if __name__ == "__main__":
    desktop.start_accessibility()
    everything = [healthFirstAndACardOpenedByItsId, liveOnSqlite, notFrozenByALockedFile,
                  liveOnPostgres, theLoopWindowTellsTheDesktop, theDesktopEntryOpensIt]
    chosen = [t for t in everything if len(sys.argv) < 4 or t.__name__ in sys.argv[3:]]
    desktop.main(chosen)
