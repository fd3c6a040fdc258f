"""A diagnosis from the lab window as a person runs one: the real program under Xvfb, driven
through its accessibility tree and real keys:
  diagnose_window.py PROGRAM ARTEFACT_DIR MODBUS_MODULE [test ...]"""

import glob
import json
import os
import socket
import sqlite3
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop  # noqa: E402
import lab_window  # noqa: E402 - the lab window as its own test drives it
from desktop import check, node, wait_for  # noqa: E402
import pyatspi  # noqa: E402

PROGRAM = os.path.abspath(sys.argv[1])
ARTEFACTS = os.path.abspath(sys.argv[2])
MODULE = os.path.abspath(sys.argv[3])
os.makedirs(ARTEFACTS, exist_ok=True)
VERDICT = 10  # the relays table's verdict column


class Lab(lab_window.Lab):
    """The lab window of a fresh home, on a SQLite file of its own."""

    def __init__(self):
        self.home = desktop.Home()
        self.url = "sqlite:" + self.home.path("lab.sqlite")
        super().__init__(self.home, self.url)

    def diagnose(self, device, card):
        """Ctrl+D, the device named, the card's ID typed as a scanner types it, and Enter."""
        desktop.keys(self.window, "ctrl+d")
        node(self.app, "Device", pyatspi.ROLE_TEXT).queryEditableText().setTextContents(device)
        desktop.keys(self.window, "ctrl+d")  # the focus back in the card's field
        desktop.type_text(self.window, card)
        desktop.keys(self.window, "Return")

    def said(self, name):
        return node(self.app, name).description

    def outcome(self, starts):
        return wait_for("the outcome %r" % starts, lambda: (lambda d: d if d.startswith(starts)
                                                            else None)(self.said("Outcome")),
                        deadline=120)

    def relays(self, column=VERDICT):
        return desktop.table_rows(node(self.app, "Relays", pyatspi.ROLE_TABLE), column)


def medians(report):
    return [(c["class"], [c[f].get("median") if isinstance(c[f], dict) else None
                          for f in ("operate_ms", "release_ms", "bounce_ms")])
            for c in report["channels"]]


def aSlowRelayFailsAsOnTheCommandLine():
    """Relay 4 operates in 12 ms: its row fails on its operate time with the limit named, the
    outcome is FAIL, and the JSON saved from the window has the figures --diagnose --json has
    for the same card, within the sampling interval."""
    lab = Lab()
    try:
        lab.diagnose("sim:slow=4,12", "LT-4")
        outcome = lab.outcome("FAIL")
        check(outcome.startswith("FAIL: card LT-4"), "the outcome: %s" % outcome)
        row = lab.relays()[4]
        check(row.startswith("FAIL: slow; operate median 12.") and
              "past its limit of 10 ms" in row, "relay 4's verdict: %s" % row)
        time.sleep(0.5)
        desktop.screenshot(os.path.join(ARTEFACTS, "diagnosis-LT-4.png"))

        desktop.press(node(lab.app, "Save report…", pyatspi.ROLE_PUSH_BUTTON))
        dialog = desktop.window_id("Save the diagnosis of card LT-4")
        saved = lab.home.path("LT-4.json")
        desktop.keys(dialog, "ctrl+a")
        desktop.type_text(dialog, saved)
        desktop.keys(dialog, "Return")
        wait_for("the report saved", lambda: os.path.exists(saved))
        cli = lab.home.path("cli.json")
        desktop.run(PROGRAM, ["--diagnose", "--device", "sim:slow=4,12", "--card", "LT-4",
                              "--no-log", "--lab-db", lab.url, "--json", cli], lab.home, 1)
        with open(saved) as a, open(cli) as b:
            window, command = json.load(a), json.load(b)
        within = max(window["longest_gap_ms"], command["longest_gap_ms"]) + 0.001
        for relay, ((wk, wf), (ck, cf)) in enumerate(zip(medians(window), medians(command))):
            check(wk == ck, "relay %d: %s in the window, %s on the command line" % (relay, wk, ck))
            for w, c in zip(wf, cf):
                check((w is None) == (c is None) and (w is None or abs(w - c) <= within),
                      "relay %d: %s in the window, %s on the command line (within %.3f ms)" %
                      (relay, wf, cf, within))
        check(window["verdict"] == command["verdict"] == "fail", "verdicts %s, %s" %
              (window["verdict"], command["verdict"]))
        print("  relay 4's operate median: window %.3f ms, command line %.3f ms" %
              (window["channels"][4]["operate_ms"]["median"],
               command["channels"][4]["operate_ms"]["median"]), flush=True)
    finally:
        lab.close()


def escapeOpensEveryRelayAndCutsTheRunShort():
    """Relays 0-7 never close: progress goes on past them while they fail; Esc after a few
    seconds ends the diagnosis with every relay open (the window's card map and the run's
    record say so), the run is in the lab's database once, as cut short."""
    lab = Lab()
    try:
        dead = "+".join("relay-never-closes=%d" % r for r in range(8))
        lab.diagnose("sim:" + dead, "LT-8")
        wait_for("timing past the first relays",
                 lambda: any("timing relay %d of 16" % r in lab.said("Phase") for r in (3, 4, 5)),
                 deadline=60)
        verdicts = lab.relays()
        check(all(v.startswith("FAIL: input %d did not follow it" % (15 - r))
                  for r, v in enumerate(verdicts[:3])), "the first relays: %s" % verdicts[:3])
        value = node(lab.app, "Progress").queryValue().currentValue
        check(value >= 4, "the bar stands at %s past three failed relays" % value)
        desktop.keys(lab.window, "Escape")
        outcome = lab.outcome("FAIL")
        check(outcome.startswith("FAIL: card LT-8, cut short: "), "the outcome: %s" % outcome)
        check(lab.said("Phase") == "cut short; every relay open", "the phase: %s" %
              lab.said("Phase"))
        logs = glob.glob(os.path.join(lab.home.env["XDG_DATA_HOME"], "**", "runs", "*.csv"),
                         recursive=True)
        check(len(logs) == 1, "records: %s" % logs)
        with open(logs[0]) as f:
            record = f.read()
        check("verdict FAIL; cut short" in record, "the record's end: %s" % record[-300:])
        db = sqlite3.connect(lab.home.path("lab.sqlite"))
        runs = wait_for("the run in the database", lambda: db.execute(
            "SELECT ending FROM runs WHERE card = 'LT-8'").fetchall() or None)
        check(runs == [("cut short",)], "the lab's runs of LT-8: %s" % runs)
    finally:
        lab.close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def holder_of(pid):
    """Whether a hold's file names the process (the holder writes who it is into it)."""
    for path in glob.glob("/run/lock/looptest-*") + glob.glob("/tmp/looptest-*"):
        try:
            with open(path) as f:
                if ("\tpid=%d\t" % pid) in f.read() + "\t":
                    return True
        except OSError:
            continue
    return False


def aCardAHeadlessRunHoldsIsRefused():
    """A headless run holds a Modbus module: the window refuses to diagnose it, with the words
    --diagnose prints naming the run, and the run ends clean, its counts untouched."""
    port = free_port()
    module = subprocess.Popen(["/usr/bin/python3", MODULE, "--tcp=%d" % port],
                              stdout=subprocess.PIPE, text=True)
    lab = None
    try:
        check(module.stdout.readline().strip() == "ready", "the module did not start")
        device = "modbus-tcp:127.0.0.1:%d" % port
        home = desktop.Home()
        run = subprocess.Popen([PROGRAM, "--headless", "--device", device, "--duration", "12s",
                                "--step", "20", "--no-log"], env=home.env,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        wait_for("the run's hold", lambda: holder_of(run.pid))
        lab = Lab()
        lab.diagnose(device, "LT-6")
        outcome = lab.outcome("Not diagnosed")
        expected = ("Not diagnosed: cannot open %s: Another program is using this card: "
                    "looptest --headless (pid %d, user " % (device, run.pid))
        check(outcome.startswith(expected), "the outcome: %s" % outcome)
        cli = desktop.run(PROGRAM, ["--diagnose", "--device", device, "--no-log"], home, 2)
        check(outcome[len("Not diagnosed: "):] in cli.stderr,
              "the command line says %r" % cli.stderr)
        out, err = run.communicate(timeout=120)
        check(run.returncode == 0, "the run ended %d:\n%s%s" % (run.returncode, out, err))
    finally:
        if lab:
            lab.close()
        module.kill()
        module.wait()


if __name__ == "__main__":
    desktop.start_accessibility()
    everything = [aSlowRelayFailsAsOnTheCommandLine, escapeOpensEveryRelayAndCutsTheRunShort,
                  aCardAHeadlessRunHoldsIsRefused]
    chosen = [t for t in everything if len(sys.argv) < 5 or t.__name__ in sys.argv[4:]]
    desktop.main(chosen)
