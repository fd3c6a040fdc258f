"""A person's desktop for the lab window's tests: an X server (the caller runs us under
xvfb-run), a D-Bus session (dbus-run-session), the accessibility bus on it, and the real
program driven through its accessibility tree (AT-SPI, Debian's pyatspi) and real key presses
(xdotool). Waits poll for what the program guarantees; a deadline only ends a wait that will
never be met, and is never what a test asserts."""

import os
import subprocess
import sys
import tempfile
import time

import pyatspi

DEADLINE = 120  # s: a wait that takes this long has failed, however loaded the machine


class Failed(Exception):
    pass


def check(condition, words):
    if not condition:
        raise Failed(words)


def wait_for(what, probe, deadline=DEADLINE, every=0.1):
    """Calls probe until it returns something true, and returns that."""
    end = time.monotonic() + deadline
    while True:
        try:
            value = probe()
        except Failed:
            raise
        except Exception:  # a node that went away while it was read
            value = None
        if value:
            return value
        if time.monotonic() > end:
            raise Failed("waited %d s for %s" % (deadline, what))
        time.sleep(every)


def start_accessibility():
    """The accessibility bus on the test's own session bus, where Qt finds it: asked for its
    address, the session bus starts its launcher (one only: a second launcher started beside
    it would race it for the bus's name, and a program could be handed the address of a bus
    that then goes away). Returns once the address is known."""
    import dbus
    session = dbus.SessionBus()

    def address():
        try:
            return str(session.get_object("org.a11y.Bus", "/org/a11y/bus").GetAddress(
                dbus_interface="org.a11y.Bus")) or None
        except dbus.exceptions.DBusException:
            return None
    wait_for("the accessibility bus", address)


def launched(process, stderr_path):
    """The running program's root in the accessibility tree; when it ends first, what it said
    on stderr is in the failure."""
    try:
        return application(process)
    except Failed as e:
        try:
            with open(stderr_path, errors="replace") as f:
                said = f.read()[-2000:]
        except OSError:
            said = ""
        raise Failed("%s; its stderr:\n%s" % (e, said)) from None


class Home:
    """A fresh user's folders: the program's settings, records and queue go there."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="looptest-lab-")
        self.env = dict(os.environ)
        for name in ("XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_CACHE_HOME"):
            path = os.path.join(self.dir, name.lower())
            os.makedirs(path, mode=0o700)
            self.env[name] = path
        self.env["QT_QPA_PLATFORM"] = "xcb"
        self.env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        self.env["QT_ACCESSIBILITY"] = "1"
        # Qt's own messages on stderr (not the journal), where a failing test shows them.
        self.env["QT_FORCE_STDERR_LOGGING"] = "1"
        # The window reads again only on a change it heard of: a change unheard fails the test.
        self.env["LOOPTEST_LAB_RESCAN_S"] = "3600"

    def path(self, *parts):
        return os.path.join(self.dir, *parts)


def run(program, args, home, check_status=None):
    """Runs the program to its end; its status, stdout and stderr."""
    p = subprocess.run([program] + args, env=home.env, capture_output=True, text=True,
                       timeout=600)
    if check_status is not None and p.returncode != check_status:
        raise Failed("%s %s ended %d, not %d:\n%s%s" % (program, " ".join(args), p.returncode,
                                                        check_status, p.stdout, p.stderr))
    return p


def application(process):
    """The running program's root in the accessibility tree."""
    pid = process.pid

    def find():
        if process.poll() is not None:
            raise Failed("the program ended (status %d) before it showed" % process.returncode)
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            try:
                if app is not None and app.get_process_id() == pid:
                    return app
            except Exception:
                continue
        return None
    return wait_for("the program %d in the accessibility tree" % pid, find)


def node(root, name, role=None, deadline=DEADLINE, showing=True):
    """The first node under root with this accessible name (and role), once it shows (or
    merely is, in a tab not in front)."""
    def find():
        return pyatspi.findDescendant(
            root, lambda n: n is not None and n.name == name and
            (role is None or n.getRole() == role) and
            (not showing or n.getState().contains(pyatspi.STATE_SHOWING)))
    return wait_for("'%s' to show" % name, find, deadline)


def text_of(n):
    if n.getRole() in (pyatspi.ROLE_LABEL, pyatspi.ROLE_STATUS_BAR) and n.name and \
            not _has_text(n):
        return n.name
    t = n.queryText()
    return t.getText(0, -1)


def _has_text(n):
    try:
        n.queryText()
        return True
    except NotImplementedError:
        return False


def table_rows(table, column):
    """One column of a table as its cells read."""
    t = table.queryTable()
    return [t.getAccessibleAt(r, column).name for r in range(t.nRows)]


def press(action_node):
    action_node.queryAction().doAction(0)


def window_id(title, deadline=DEADLINE):
    def find():
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title],
                             capture_output=True, text=True).stdout.split()
        return out[0] if out else None
    return wait_for("a window '%s'" % title, find, deadline)


def keys(window, *sequence):
    subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True)
    time.sleep(0.2)
    for k in sequence:
        subprocess.run(["xdotool", "key", "--clearmodifiers", k], check=True)


def type_text(window, words):
    subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True)
    subprocess.run(["xdotool", "type", "--delay", "20", words], check=True)


def screenshot(path, extents=None):
    """The screen, or a part of it (x, y, width, height), as a PPM file; its pixels."""
    args = ["import", "-window", "root"]
    if extents:
        x, y, w, h = extents
        args += ["-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage"]
    subprocess.run(args + [path], check=True)
    ppm = path + ".ppm"
    subprocess.run(["convert", path, "-depth", "8", ppm], check=True)
    with open(ppm, "rb") as f:
        data = f.read()
    # P6 header: magic, width, height, maximum, then the pixels.
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    at += 1
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[at:]


def count_pixels(pixels, near, within=40):
    _, _, data = pixels
    r0, g0, b0 = near
    n = 0
    for i in range(0, len(data) - 2, 3):
        if abs(data[i] - r0) <= within and abs(data[i + 1] - g0) <= within and \
                abs(data[i + 2] - b0) <= within:
            n += 1
    return n


def extents(n):
    e = n.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return e.x, e.y, e.width, e.height


def main(tests):
    """Runs each test, says how each went; the status counts the failures."""
    failed = 0
    for test in tests:
        started = time.monotonic()
        try:
            test()
            print("PASS %s (%.1f s)" % (test.__name__, time.monotonic() - started), flush=True)
        except Exception as e:  # noqa: BLE001 - every failure is reported the same way
            failed += 1
            print("FAIL %s: %s" % (test.__name__, e), flush=True)
    print("%d passed, %d failed" % (len(tests) - failed, failed))
    sys.exit(1 if failed else 0)


class Postgres:
    """A real PostgreSQL server of the test's own (Debian's initdb and pg_ctl), as nobody
    when the test runs as root, on 127.0.0.1 and a free port."""

    def __init__(self):
        import glob
        import socket
        bins = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
        if not bins:
            raise Failed("no PostgreSQL server is installed (scripts/setup.sh test installs "
                         "postgresql)")
        self.bin = os.path.dirname(bins[-1])
        self.dir = tempfile.mkdtemp(prefix="looptest-pg-")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        if os.geteuid() == 0:
            os.chown(self.dir, 65534, 65534)
        self.data = os.path.join(self.dir, "data")
        self._as(["initdb", "-D", self.data, "-U", "looptest", "--auth=trust", "--no-sync"])
        self.start()

    def _as(self, command):
        command = [os.path.join(self.bin, command[0])] + command[1:]
        if os.geteuid() == 0:
            command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] + command
        p = subprocess.run(command, cwd=self.dir, capture_output=True, text=True, timeout=120)
        if p.returncode != 0:
            raise Failed("%s: %s%s" % (" ".join(command), p.stdout, p.stderr))

    def start(self):
        self.running = True
        self._as(["pg_ctl", "-D", self.data, "-l", os.path.join(self.dir, "server.log"), "-w",
                  "-o", "-k %s -c listen_addresses=127.0.0.1 -p %d -c fsync=off" %
                  (self.dir, self.port), "start"])

    def stop(self):
        if self.running:
            self.running = False
            self._as(["pg_ctl", "-D", self.data, "-m", "immediate", "-w", "stop"])

    def url(self):
        return "postgresql://looptest@127.0.0.1:%d/postgres" % self.port


NOTIFICATION_SERVICE = r'''
import sys
import dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib

class Notifications(dbus.service.Object):
    @dbus.service.method("org.freedesktop.Notifications", in_signature="susssasa{sv}i",
                         out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        with open(sys.argv[1], "a") as f:
            f.write("%s\t%s\t%s\n" % (app, summary, body.replace("\n", " ")))
        return 1

    @dbus.service.method("org.freedesktop.Notifications", out_signature="as")
    def GetCapabilities(self):
        return ["body"]

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
name = dbus.service.BusName("org.freedesktop.Notifications", bus)
Notifications(bus, "/org/freedesktop/Notifications")
print("serving", flush=True)
GLib.MainLoop().run()
'''


def notification_service(log):
    """A small notification service on the test's session bus; each message a line in log."""
    p = subprocess.Popen(["/usr/bin/python3", "-c", NOTIFICATION_SERVICE, log],
                         stdout=subprocess.PIPE, text=True)
    check(p.stdout.readline().strip() == "serving", "the notification service did not start")
    return p
