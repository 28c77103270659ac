"""The status line as a screen reader meets it: the real program on an X
server of its own, with a session bus and the accessibility bus (AT-SPI)
that it starts on demand, and an AT-SPI client (atspi_probe.py) that reads
the label in the status bar and hears its changes while FTP clients log in.

Exits with 77 (skipped, with the reason) where Xvfb, D-Bus or AT-SPI is
missing or no accessibility bus can be started."""

import ctypes
import ftplib
import functools
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import harness

PROBE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "atspi_probe.py")
SKIPPED = 77
WAIT_SECONDS = 20


def status_text(total):
    return "Status: %d %s currently active on the server" % (
        total, "connection is" if total == 1 else "connections are")


anonymous_settings = harness.anonymous_settings_file


@functools.lru_cache(maxsize=None)
def probe_python():
    """An interpreter with AT-SPI's Python bindings: this one, or Debian's
    own (python3-gi lives in its dist-packages only); None when neither."""
    check = ("import gi; gi.require_version('Atspi', '2.0'); gi.require_version('Gio', '2.0');"
             " from gi.repository import Atspi, Gio")
    for python in (sys.executable, "/usr/bin/python3"):
        if os.path.exists(python) and subprocess.run(
                [python, "-c", check], stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL).returncode == 0:
            return python
    return None


def missing_tools():
    """Why this machine cannot run the test, or None."""
    for tool in ("Xvfb", "dbus-daemon"):
        if shutil.which(tool) is None:
            return "%s is not installed" % tool
    if not os.path.exists("/usr/share/dbus-1/services/org.a11y.Bus.service"):
        return "at-spi2-core (the accessibility bus) is not installed"
    if probe_python() is None:
        return "no python3 with python3-gi and gir1.2-atspi-2.0"
    return None


def read_line(fd, timeout):
    """One line that a starting process writes on the pipe fd, or None when
    it closes the pipe or says nothing within timeout seconds."""
    text = b""
    deadline = time.monotonic() + timeout
    while not text.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            return None
        chunk = os.read(fd, 4096)
        if not chunk:
            return None
        text += chunk
    return text.decode().strip()


def session_of(pid):
    """The session of a process (also of one that has ended and waits to be
    reaped), or None when there is no such process."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return int(f.read().rsplit(")", 1)[1].split()[3])
    except (OSError, IndexError, ValueError):
        return None


def signal_all(pids, number):
    for pid in pids:
        try:
            os.kill(pid, number)
        except ProcessLookupError:
            pass


def become_subreaper():
    """Orphans of the processes started here become this process's
    children, so that it reaps them itself: pid 1 of a container may never
    reap anything."""
    PR_SET_CHILD_SUBREAPER = 36
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


class AccessibleDesktop:
    """An X server (Xvfb) and a session bus, the test's own. The session
    bus starts the accessibility bus on demand, as on a desktop:
    at-spi-bus-launcher, its bus daemon and the registry daemon. close()
    ends them all: each process here starts in a session of its own, which
    the daemons that the buses start inherit.

    Raises OSError when something cannot be started."""

    def __init__(self):
        become_subreaper()
        self.folder = tempfile.mkdtemp(prefix="tarnhold-a11y-")
        self.processes = []
        try:
            self._start()
        except BaseException:
            self.close()
            raise

    def _start(self):
        # Nothing of the caller's desktop: no display, bus or settings of
        # the user's leak in, and every socket lives in self.folder.
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self.folder,
            "XDG_RUNTIME_DIR": self.folder,
            "XDG_CONFIG_HOME": os.path.join(self.folder, "config"),
            "GSETTINGS_BACKEND": "memory",
        }
        display = self._start_reporting(
            ["Xvfb", "-displayfd", "{fd}", "-screen", "0", "800x600x24", "-nolisten", "tcp"],
            "Xvfb")
        bus = self._start_reporting(
            ["dbus-daemon", "--session", "--nofork", "--address=unix:dir=" + self.folder,
             "--print-address={fd}"], "the session bus")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = bus
        self.env["DISPLAY"] = ":" + display

    def _start_reporting(self, argv, what):
        """Starts argv, which writes one line on the descriptor {fd} once it
        is ready, and returns that line."""
        read_end, write_end = os.pipe()
        try:
            process = subprocess.Popen([a.format(fd=write_end) for a in argv], env=self.env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL, pass_fds=(write_end,),
                                       start_new_session=True)
            self.processes.append(process)
            os.close(write_end)
            write_end = -1
            line = read_line(read_end, WAIT_SECONDS)
        finally:
            os.close(read_end)
            if write_end != -1:
                os.close(write_end)
        if not line:
            raise OSError("%s did not start (exit code %s)" % (what, process.poll()))
        return line

    def pids(self):
        """Every process of the sessions begun here, ended ones not yet
        reaped included."""
        sessions = {p.pid for p in self.processes}
        return [int(entry) for entry in os.listdir("/proc")
                if entry.isdigit() and session_of(int(entry)) in sessions]

    def close(self):
        """Ends every process of the desktop; raises AssertionError when one
        outlives 20 seconds and SIGKILL."""
        signal_all(self.pids(), signal.SIGTERM)
        for process in self.processes:
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        # The daemons the buses started: their parents reap them, or they
        # come to this process once their parents have gone.
        start = time.monotonic()
        while self.pids():
            for pid in self.pids():
                try:
                    os.waitpid(pid, os.WNOHANG)
                except ChildProcessError:
                    pass  # still its parent's
            waited = time.monotonic() - start
            if waited > 10:
                signal_all(self.pids(), signal.SIGKILL)
            if waited > 20:
                raise AssertionError("processes left behind: %s" % self.pids())
            time.sleep(0.02)
        shutil.rmtree(self.folder, ignore_errors=True)


class Probe:
    """atspi_probe.py reading the application "tarnhold" on the desktop's
    accessibility bus."""

    def __init__(self, desktop):
        env = dict(desktop.env)
        del env["DISPLAY"]  # the bus is found through the session bus
        self.process = subprocess.Popen([probe_python(), PROBE, "tarnhold"], env=env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.pending = b""
        self.changes = []

    def answer(self, *keys):
        """The next answer that holds one of keys; name changes met on the
        way are kept in self.changes."""
        deadline = time.monotonic() + 2 * WAIT_SECONDS
        fd = self.process.stdout.fileno()
        while True:
            while b"\n" not in self.pending:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([fd], [], [], left)[0]:
                    raise AssertionError("the AT-SPI probe gave no %s in time" % "/".join(keys))
                chunk = os.read(fd, 65536)
                if not chunk:
                    raise AssertionError("the AT-SPI probe ended (exit code %s)"
                                         % self.process.wait())
                self.pending += chunk
            line, self.pending = self.pending.split(b"\n", 1)
            answer = json.loads(line)
            if "changed" in answer:
                self.changes.append(answer)
            if any(key in answer for key in keys):
                return answer

    def read(self):
        self.process.stdin.write(b"read\n")
        self.process.stdin.flush()
        return self.answer("name", "missing")

    def close(self):
        self.process.stdin.close()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()


class StatusLineAtspiTest(harness.ServerTestCase):

    def setUp(self):
        try:
            self.desktop = AccessibleDesktop()
        except OSError as error:
            self.skipTest(str(error))
        self.addCleanup(self.desktop.close)

    def anonymous_login(self, port):
        ftp = ftplib.FTP()
        ftp.connect(harness.LOOPBACK, port, timeout=WAIT_SECONDS)
        self.addCleanup(ftp.close)
        ftp.login("anonymous", "me@example.org")

    def read_status(self, probe):
        """The status bar label's name as AT-SPI gives it."""
        answer = probe.read()
        if "missing" in answer:
            self.fail("AT-SPI shows no " + answer["missing"])
        print("AT-SPI read: " + " > ".join(answer["path"]))
        return answer["name"]

    def assert_announced(self, probe, text):
        """Waits for a label's name change whose name is text; an earlier
        line's late announcement is passed over."""
        while True:
            try:
                change = probe.answer("changed")
            except AssertionError as error:
                self.fail("no announcement of %r: %s; announced: %r" % (text, error, probe.changes))
            if change["role"] == "label" and change["changed"] == text:
                print("AT-SPI event: object:property-change:accessible-name from label %r" % text)
                return

    def test_a_screen_reader_reads_the_status_line_and_hears_it_change(self):
        probe = Probe(self.desktop)
        self.addCleanup(probe.close)
        # Listening before the program starts, so that the program knows
        # from its start that someone wants its name changes.
        bus = probe.answer("ready", "unavailable")
        if "unavailable" in bus:
            self.skipTest("no accessibility bus: " + bus["unavailable"])
        home = tempfile.mkdtemp(prefix="tarnhold-home-")
        self.addCleanup(shutil.rmtree, home, True)
        env = dict(self.desktop.env, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                   AT_SPI_BUS_ADDRESS="")
        settings = {"tarnhold.bot": lambda port: anonymous_settings(port, home)}
        server = self.start_server(["--config-dir", "{config_dir}"], env=env, files=settings)

        self.assertEqual(self.read_status(probe), status_text(0))

        # Each new line is announced: the label reports a name change, and
        # its name is the new line.
        for total in (1, 2):
            self.anonymous_login(server.port)
            self.assert_announced(probe, status_text(total))

        self.assertEqual(self.read_status(probe), status_text(2))
        # With its accessibility bridge on, the program still ends cleanly.
        self.assertEqual(server.stop(timeout=60), 0)


if __name__ == "__main__":
    reason = missing_tools()
    if reason is not None:
        print("skipped: " + reason, file=sys.stderr)
        sys.exit(SKIPPED)
    result = unittest.main(exit=False).result
    if result.wasSuccessful() and len(result.skipped) == result.testsRun:
        for _, why in result.skipped:
            print("skipped: " + why, file=sys.stderr)
        sys.exit(SKIPPED)
    sys.exit(0 if result.wasSuccessful() else 1)
