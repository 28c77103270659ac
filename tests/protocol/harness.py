"""Protocol-test harness: runs a server executable on a free loopback port
with a settings folder of its own, and talks to it with raw bytes.

    class MyTest(harness.ServerTestCase):
        def test_greeting(self):
            server = self.start_server(["--port", "{port}", "--config-dir", "{config_dir}"],
                                       files={"tarnhold.bot": "..."})
            client = self.connect(server.port)
            self.assertEqual(client.recv_until(b"\\r\\n"), b"220 ...\\r\\n")

The executable comes from the environment variable TARNHOLD_SERVER unless
one is passed. Everything started is stopped and removed after each test.

A server that takes its port from its settings file gets it through a file
given as a function of the port, made once the port is chosen:

    server = self.start_server(["--headless", "--config-dir", "{config_dir}"],
                               files={"tarnhold.bot": lambda port: harness.settings_file(port)})
"""

import ftplib
import os
import queue
import random
import re
import resource
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

LOOPBACK = "127.0.0.1"
# Arguments that run build/tarnhold headless with the test's settings folder.
HEADLESS = ["--headless", "--config-dir", "{config_dir}"]
# The end of every settings-file marker ("SRVROPT" + MARK, ...).
MARK = "+!~*#$"
# Permission flags of an accessible path.
READ, WRITE, DELETE, LIST, CREATE, RMDIR = 0x40, 0x20, 0x10, 0x04, 0x02, 0x01
ALL = READ | WRITE | DELETE | LIST | CREATE | RMDIR
NOOP_OK = b"200 NOOP command successful\r\n"
# Extension bits of the server options.
MODERN = 0x1

TCP_LISTEN = "0A"  # the state column of /proc/net/tcp


def _ephemeral_range():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low, high = (int(v) for v in f.read().split())
            return low, high
    except (OSError, ValueError):
        return 32768, 60999


def free_port():
    """A loopback port that nothing uses at this moment, chosen outside the
    range the kernel hands out to outgoing connections (so a parallel test's
    client cannot take it before the server binds it) and outside the
    passive data ports 10000-32000."""
    low, high = _ephemeral_range()
    candidates = [p for p in range(32001, 65536) if not low <= p <= high]
    if not candidates:
        candidates = list(range(32001, 65536))
    rng = random.SystemRandom()
    for _ in range(200):
        port = rng.choice(candidates)
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                s.bind((LOOPBACK, port))
            except OSError:
                continue
            if not port_is_listening(port):
                return port
    raise AssertionError("no free port found")


def settings_file(port, idletimeout=300, anonemailcheck=0, sections="", features=0, maxusers=100):
    """The text of a settings file with the given options and the default
    anonymous account (disabled, without paths); sections (text with CR LF
    line ends) is appended before the closing BLKLIST line. features holds
    the extension bits (MODERN for the modern commands)."""
    options = [port, features, "f4240", "f4240", maxusers, anonemailcheck, 1, 0, idletimeout]
    anonymous = ["Public FTP Account", "", "", "", "", 0, "f4240", "f4240", 300, 10, 0, 0, 0, 0, 0]
    lines = ["SRVROPT+!~*#$"] + [str(v) for v in options]
    lines += ["ANONACCT+!~*#$"] + [str(v) for v in anonymous]
    return "\r\n".join(lines) + "\r\n" + sections + "BLKLIST+!~*#$\r\n"


def anonymous_settings_file(port, home):
    """The text of a settings file whose enabled anonymous account has every
    right at home, and no named accounts."""
    options = [port, 0, "f4240", "f4240", 100, 0, 1, 0, 300]
    anonymous = ["Public FTP Account", "", "", home, "", 0, "f4240", "f4240", 300, 10, 1, 0, 0, 0, 0]
    lines = ["SRVROPT" + MARK] + [str(v) for v in options]
    lines += ["ANONACCT" + MARK] + [str(v) for v in anonymous]
    lines += ["ANONACCPATH" + MARK, home, "%x" % ALL, "0"]
    return "\r\n".join(lines) + "\r\nBLKLIST" + MARK + "\r\n"


def port_is_listening(port, pid=None):
    """Whether some socket listens on the port, read from /proc/net/tcp*
    so that the check itself never connects. With a pid, the tables of
    that process's network namespace are read instead of the test's."""
    proc = "/proc/net" if pid is None else "/proc/%d/net" % pid
    for table in (proc + "/tcp", proc + "/tcp6"):
        try:
            with open(table) as f:
                next(f)  # header
                for line in f:
                    fields = line.split()
                    local, state = fields[1], fields[3]
                    if state == TCP_LISTEN and int(local.rsplit(":", 1)[1], 16) == port:
                        return True
        except FileNotFoundError:
            continue
    return False


class ServerProcess:
    """One run of a server executable.

    args and the values of env may hold the placeholders {port} and
    {config_dir}; env adds to the test's environment. files maps names
    to texts (str or bytes) written into the settings folder before the
    start, or to functions of the chosen port that return such a text.
    nofile and fsize, when given, are the RLIMIT_NOFILE and RLIMIT_FSIZE
    (bytes) of the server; nofile may also be a pair (soft, hard). Standard
    output is read line by line on a thread of its own until the server
    closes it or the test does (close_stdout); standard error goes to the
    test's output. netns names a network namespace (see netlab.py) to
    run the server in, through `ip netns exec`."""

    def __init__(self, executable, args, files=None, nofile=None, env=None, fsize=None,
                 netns=None):
        self.executable = executable
        self.netns = netns
        self.args = list(args)
        self.nofile = nofile
        self.fsize = fsize
        self.env = env
        self.config_dir = tempfile.mkdtemp(prefix="tarnhold-test-")
        self.files = dict(files or {})
        self.port = None
        self.process = None
        self.lines = []  # every stdout line so far, in order
        self._queue = queue.Queue()
        self._reader = None
        self._stop_reading = threading.Event()

    def _write_files(self):
        for name, text in self.files.items():
            if callable(text):
                text = text(self.port)
            mode = "wb" if isinstance(text, bytes) else "w"
            with open(os.path.join(self.config_dir, name), mode) as f:
                f.write(text)

    def start(self, timeout=20, listen=True):
        """Starts the server and waits until its port listens. A port taken
        between choosing and binding it is retried with another one. With
        listen=False it only starts the process (for a server that is not
        expected to listen on the chosen port)."""
        for _ in range(3):
            self.port = free_port()
            self._write_files()
            self._spawn()
            if not listen or self._wait_listening(timeout):
                return self
            if self.process.poll() is None:
                # Most likely another test took the port first: try another.
                self.process.kill()
            self.process.wait()
        raise AssertionError("server did not listen after 3 attempts (last exit code %s)" % self.process.returncode)

    def _spawn(self):
        values = {"port": str(self.port), "config_dir": self.config_dir}
        argv = [self.executable] + [a.format(**values) for a in self.args]
        if self.netns is not None:
            # ip execs the server in place: the pid stays the server's.
            argv = ["ip", "netns", "exec", self.netns] + argv
        limits = [(resource.RLIMIT_NOFILE, self.nofile), (resource.RLIMIT_FSIZE, self.fsize)]

        def limit_descriptors():
            for which, limit in limits:
                if isinstance(limit, tuple):
                    resource.setrlimit(which, limit)
                elif limit is not None:
                    resource.setrlimit(which, (limit, limit))

        env = dict(os.environ)
        env.update({name: value.format(**values) for name, value in (self.env or {}).items()})
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        preexec_fn=limit_descriptors, env=env)
        self._queue = queue.Queue()
        self._stop_reading = threading.Event()
        self._reader = threading.Thread(target=self._read_stdout,
                                        args=(self.process.stdout, self._queue, self._stop_reading),
                                        daemon=True)
        self._reader.start()

    @staticmethod
    def _read_stdout(stream, lines, stop):
        # Raw reads after select, so that close_stdout can end the reading
        # at any moment and then close the pipe from this thread.
        fd = stream.fileno()
        pending = b""
        while not stop.is_set():
            ready, _, _ = select.select([fd], [], [], 0.05)
            if not ready:
                continue
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            pending += chunk
            *complete, pending = pending.split(b"\n")
            for raw in complete:
                lines.put(raw.decode("utf-8", "replace").rstrip("\r"))
        if pending and not stop.is_set():
            lines.put(pending.decode("utf-8", "replace").rstrip("\r"))
        if stop.is_set():
            stream.close()
        lines.put(None)  # end of output

    def close_stdout(self):
        """Closes the test's end of the server's standard output: later
        writes there fail (EPIPE). Lines not yet read are lost."""
        self._stop_reading.set()
        if self._reader is not None:
            self._reader.join()

    def _wait_listening(self, timeout):
        deadline = time.monotonic() + timeout
        # In a namespace of its own the server's sockets show only in the
        # tables of its namespace.
        pid = self.process.pid if self.netns is not None else None
        while time.monotonic() < deadline:
            if port_is_listening(self.port, pid):
                return True
            if self.process.poll() is not None:
                return False
            time.sleep(0.02)
        return False

    def wait_for_line(self, pattern, timeout=10):
        """The match of the next stdout line that matches the regular
        expression; lines before it are skipped (and kept in self.lines)."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            try:
                line = self._queue.get(timeout=max(left, 0.001))
            except queue.Empty:
                raise AssertionError("no line matching %r within %s s; output: %r"
                                     % (pattern, timeout, self.lines)) from None
            if line is None:
                self._queue.put(None)
                raise AssertionError("output ended without a line matching %r; output: %r"
                                     % (pattern, self.lines))
            self.lines.append(line)
            match = regex.search(line)
            if match:
                return match

    def all_lines(self, timeout=10):
        """Every stdout line, once the output has ended (the server closed
        it, normally by ending). Raises AssertionError when it has not ended
        within timeout seconds."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            try:
                line = self._queue.get(timeout=max(left, 0.001))
            except queue.Empty:
                raise AssertionError("output still open after %s s; output: %r"
                                     % (timeout, self.lines)) from None
            if line is None:
                self._queue.put(None)
                return list(self.lines)
            self.lines.append(line)

    def running(self):
        return self.process is not None and self.process.poll() is None

    def stop(self, timeout=30):
        """SIGTERM, then SIGKILL when it has not ended after timeout seconds.
        Returns the exit code (negative: the signal that ended it)."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.process.returncode

    def cleanup(self):
        self.stop(timeout=10)
        if self.process is not None:
            if self._reader is not None:
                self._reader.join(timeout=10)
            self.process.stdout.close()
        shutil.rmtree(self.config_dir, ignore_errors=True)


class Client:
    """A raw TCP client. Every wait is bounded by its timeout."""

    def __init__(self, port, timeout=10, host=LOOPBACK, source=None):
        self.sock = socket.create_connection((host, port), timeout=timeout,
                                             source_address=(source, 0) if source else None)
        self.timeout = timeout
        self.pending = b""

    def send(self, data):
        self.sock.sendall(data)

    def recv_until(self, marker=b"\r\n", timeout=None):
        """Bytes up to and including the marker. Raises AssertionError when
        the marker does not come in time or the connection ends first."""
        deadline = time.monotonic() + (timeout or self.timeout)
        while marker not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no %r within the time; got %r" % (marker, self.pending))
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(4096)
            except socket.timeout:
                continue
            if not chunk:
                raise AssertionError("closed before %r; got %r" % (marker, self.pending))
            self.pending += chunk
        end = self.pending.index(marker) + len(marker)
        data, self.pending = self.pending[:end], self.pending[end:]
        return data

    def expect_closed(self, timeout=None):
        """Waits until the server closes the connection; returns the bytes
        that came before the end. A reset counts as closed. Raises
        AssertionError when the connection stays open."""
        deadline = time.monotonic() + (timeout or self.timeout)
        data, self.pending = self.pending, b""
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("connection still open; got %r" % data)
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(4096)
            except socket.timeout:
                continue
            except ConnectionResetError:
                return data
            if not chunk:
                return data
            data += chunk

    def close(self):
        self.sock.close()


def rejected(address):
    """The log line of a password guess from address, as a pattern."""
    return re.escape("Connection from %s rejected. [Reason: bad password]" % address)


def guess_until_blocked(test, server, guesser, address, offences=3):
    """Wrong passwords on guesser (its USER sent) until the login guard
    blocks address: each one logged, all but the last answered 530."""
    for offence in range(offences):
        guesser.send(b"PASS wrong\r\n")
        server.wait_for_line(rejected(address) + "$", timeout=30)
        if offence < offences - 1:
            test.assertEqual(guesser.recv_until(timeout=30), b"530 User cannot log in\r\n")


class ReusingFTP_TLS(ftplib.FTP_TLS):
    """ftplib's FTP_TLS, but its data connections resume the control
    connection's TLS session, as curl, lftp and FileZilla do."""

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host,
                                            session=self.sock.session)
        return conn, size


class ServerTestCase(unittest.TestCase):
    """Starts servers and clients that are always cleaned up after the test,
    whatever its outcome."""

    executable = None  # default: $TARNHOLD_SERVER

    def start_server(self, args, files=None, nofile=None, env=None, executable=None, listen=True,
                     fsize=None, netns=None):
        path = executable or self.executable or os.environ.get("TARNHOLD_SERVER")
        if not path:
            self.fail("TARNHOLD_SERVER is not set")
        server = ServerProcess(path, args, files=files, nofile=nofile, env=env, fsize=fsize,
                               netns=netns)
        self.addCleanup(server.cleanup)
        return server.start(listen=listen)

    def connect(self, port, timeout=10):
        client = Client(port, timeout=timeout)
        self.addCleanup(client.close)
        return client
