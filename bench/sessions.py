"""Helpers of the many-session benchmarks (scale.py, soak.py): raw FTP
control connections opened and logged in by a pool of threads, and what a
server's processes hold (memory as RSS and PSS, descriptors, threads)."""

import os
import socket
import threading
from concurrent.futures import ThreadPoolExecutor

import ftpbench as fb

KiB = 1 << 10


def raise_descriptor_limit():
    """The benchmark's own soft limit up to the hard one: it holds a socket
    per session, and the servers it starts inherit the limit."""
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


def load_text():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def _pss_bytes(pid):
    try:
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1]) * KiB
    except OSError:
        pass
    return 0


def _count(path):
    try:
        return len(os.listdir(path))
    except OSError:
        return 0


class Footprint:
    """What a server holds over all its processes: rss and pss in bytes,
    descriptors, threads and processes."""

    def __init__(self, pid):
        tree = fb.process_tree(pid)
        self.processes = len(tree)
        self.rss = sum(fb.status_bytes(p, "VmRSS") for p in tree)
        # The part of RSS that is the processes' own (heap, stacks), not
        # pages of the program and its libraries.
        self.anon = sum(fb.status_bytes(p, "RssAnon") for p in tree)
        self.pss = sum(_pss_bytes(p) for p in tree)
        self.fds = sum(_count("/proc/%d/fd" % p) for p in tree)
        self.threads = sum(_count("/proc/%d/task" % p) for p in tree)

    def text(self):
        return ("RSS %7.2f MiB (anonymous %7.2f)  PSS %7.2f MiB  fds %5d  threads %5d  "
                "processes %4d" % (self.rss / fb.MiB, self.anon / fb.MiB, self.pss / fb.MiB,
                                   self.fds, self.threads, self.processes))


class Session:
    """One control connection, read a reply at a time."""

    def __init__(self, port, timeout=120):
        self.sock = socket.create_connection((fb.LOOPBACK, port), timeout=timeout)
        self.pending = b""

    def reply(self):
        """The reply's last line (multi-line replies end with "ddd ")."""
        while True:
            while b"\r\n" not in self.pending:
                chunk = self.sock.recv(4096)
                if not chunk:
                    raise fb.BenchError("connection closed; got %r" % self.pending)
                self.pending += chunk
            line, self.pending = self.pending.split(b"\r\n", 1)
            if len(line) >= 4 and line[:3].isdigit() and line[3:4] == b" ":
                return line

    def command(self, text):
        self.sock.sendall(text.encode() + b"\r\n")
        return self.reply()

    def close(self, quit=True):
        try:
            if quit:
                self.sock.sendall(b"QUIT\r\n")
                self.sock.settimeout(10)
                while self.sock.recv(4096):
                    pass
        except OSError:
            pass
        finally:
            self.sock.close()


def log_in(server):
    session = Session(server.port)
    try:
        greeting = session.reply()
        if not greeting.startswith(b"220"):
            raise fb.BenchError("%s: greeting %r" % (server.name, greeting))
        reply = session.command("USER " + server.user)
        if reply.startswith(b"331"):
            reply = session.command("PASS " + server.password)
        if not reply.startswith(b"230"):
            raise fb.BenchError("%s: login refused: %r" % (server.name, reply))
    except BaseException:
        session.close(quit=False)
        raise
    return session


def open_sessions(server, count, workers=16):
    """count sessions logged in to server, opened by a pool of threads."""
    with ThreadPoolExecutor(workers) as pool:
        futures = [pool.submit(log_in, server) for _ in range(count)]
        sessions, errors = [], []
        for f in futures:
            try:
                sessions.append(f.result())
            except Exception as e:
                errors.append(e)
    if errors:
        close_sessions(sessions)
        raise fb.BenchError("%d of %d logins failed, first: %r" % (len(errors), count, errors[0]))
    return sessions


def close_sessions(sessions, workers=16, quit=True):
    with ThreadPoolExecutor(workers) as pool:
        list(pool.map(lambda s: s.close(quit), sessions))


def wait_until(condition, timeout):
    """Polls condition every 0.2 s; True once it holds."""
    done = threading.Event()
    deadline = timeout / 0.2
    while deadline > 0:
        if condition():
            return True
        done.wait(0.2)
        deadline -= 1
    return condition()


# ---------------------------------------------------------------- servers with room for many

class TarnholdLimits(fb.Tarnhold):
    """tarnhold with apply_limits = yes, "Max user limit" 0 (none) and the
    bench account's "Max logins" 0 (any number): as many sessions as the
    clients open. With a passive port range too, as an owner serving
    hundreds of clients sets one: without it each session starts its
    passive ports from the clock, and 200 sessions that log in within a
    few milliseconds start at the same few ports and run out of their 128
    attempts ("502 All data ports are in use")."""

    max_users = 0
    max_logins = 0
    conf = "apply_limits = yes\npassive_ports = 10000-32000\n"


# The peers' own limits, raised well past the sessions opened here.
PEER_LIMIT = 4000


class PureFtpdMany(fb.PureFtpd):
    def argv(self):
        argv = super().argv()
        for option in ("--maxclientsnumber", "--maxclientsperip"):
            argv[argv.index(option) + 1] = str(PEER_LIMIT)
        return argv


class ProftpdMany(fb.Proftpd):
    def prepare(self):
        super().prepare()
        with open(self.conf_path) as f:
            text = f.read()
        with open(self.conf_path, "w") as f:
            f.write(text.replace("MaxInstances 100", "MaxInstances %d" % PEER_LIMIT))


# vsftpd already runs with max_clients and max_per_ip 0 (no limit).
PEERS_MANY = {"vsftpd": fb.Vsftpd, "pure-ftpd": PureFtpdMany, "proftpd": ProftpdMany}
