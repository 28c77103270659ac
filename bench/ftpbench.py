#!/usr/bin/env python3
"""Tarnhold against vsftpd, side by side on loopback.

Both servers run for the whole benchmark, each on a free loopback port of
its own and serving the same data folder. Every workload runs in turns
(tarnhold, vsftpd, tarnhold, vsftpd, ...) for a number of rounds; the table
shows the medians and their ratio. Every transfer is checked: size and
BLAKE2b hash of what was downloaded, of what an upload left on disk, and the
names in a listing.

Usually started through bench/run.sh, which installs vsftpd when missing.
    ftpbench.py [--quick] [--rounds N] [--warmup N] [--only tarnhold|vsftpd]
                [--tarnhold PATH] [--vsftpd PATH] [--tmpdir DIR]
                [--workloads download,upload,small,list,clients,logins,noop] [--verbose]

With --desktop (bench/desktop.sh runs it under Xvfb), the two servers are
tarnhold's desktop console and tarnhold headless instead: what the window
costs the sessions that report to it.
"""

import argparse
import ftplib
import hashlib
import os
import pwd
import random
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

MiB = 1 << 20
LOOPBACK = "127.0.0.1"
WRITE_BLOCK = 4 * MiB
TIMEOUT = 120  # seconds for any single control or data operation

FULL = {"download": 1024 * MiB, "upload": 512 * MiB, "small_count": 500, "small_size": 4096,
        "list_count": 10000, "clients": 20, "client_size": 64 * MiB, "logins": 500, "noops": 5000,
        "rounds": 5}
QUICK = {"download": 64 * MiB, "upload": 32 * MiB, "small_count": 100, "small_size": 4096,
         "list_count": 1000, "clients": 4, "client_size": 8 * MiB, "logins": 100, "noops": 1000,
         "rounds": 3}

# Tarnhold serves at most this many control connections at once; the
# concurrent workload never opens more.
CONNECTION_LIMIT = 20


class BenchError(Exception):
    pass


def log(text):
    print(text, file=sys.stderr, flush=True)


def size_text(n):
    if n >= 1 << 30 and n % (1 << 30) == 0:
        return "%d GiB" % (n >> 30)
    if n >= MiB and n % MiB == 0:
        return "%d MiB" % (n >> 20)
    if n % 1024 == 0:
        return "%d KiB" % (n >> 10)
    return "%d B" % n


# ---------------------------------------------------------------- ports

# The protocol tests' harness already chooses ports the same way: a free one
# above the passive range, outside the kernel's ephemeral range, never 21,
# and checks listening without connecting.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "protocol"))
from harness import free_port, port_is_listening  # noqa: E402


# ---------------------------------------------------------------- servers

class Server:
    """A server process started by the benchmark and stopped by its id."""

    name = ""
    user = ""
    password = ""

    def __init__(self, workdir):
        self.workdir = workdir
        self.port = None
        self.process = None
        self.log_path = os.path.join(workdir, self.name + ".log")

    def argv(self):
        raise NotImplementedError

    def prepare(self):
        """Writes the configuration for self.port."""
        raise NotImplementedError

    def start(self):
        for _ in range(3):
            self.port = free_port()
            self.prepare()
            with open(self.log_path, "ab") as out:
                # A session of its own: Ctrl+C reaches only the benchmark,
                # which then stops the server itself.
                self.process = subprocess.Popen(self.argv(), stdin=subprocess.DEVNULL, stdout=out,
                                                stderr=subprocess.STDOUT, start_new_session=True)
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline and self.process.poll() is None:
                if port_is_listening(self.port):
                    return
                time.sleep(0.05)
            self.stop()
        raise BenchError("%s did not start listening; its output:\n%s" % (self.name, self.log_tail()))

    def stop(self):
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def check_running(self):
        if self.process is None or self.process.poll() is not None:
            raise BenchError("%s has ended; its output:\n%s" % (self.name, self.log_tail()))

    def log_tail(self, lines=30):
        try:
            with open(self.log_path, "rb") as f:
                return b"".join(f.readlines()[-lines:]).decode("utf-8", "replace")
        except OSError:
            return "(no output)"


class Tarnhold(Server):
    name = "tarnhold"
    user = "bench"
    password = "bench-secret"

    # read 0x40, write 0x20, delete 0x10, list 0x04, create 0x02
    RIGHTS = 0x76

    def __init__(self, workdir, executable, data_dir):
        super().__init__(workdir)
        self.executable = executable
        self.data_dir = data_dir
        self.config_dir = os.path.join(workdir, "tarnhold-config")
        os.mkdir(self.config_dir, 0o700)

    def argv(self):
        return [self.executable, "--headless", "--config-dir", self.config_dir]

    def prepare(self):
        options = [self.port, 0, "f4240", "f4240", 100, 0, 1, 0, 300]
        anonymous = ["Public FTP Account", "", "", "", "", 0, "f4240", "f4240", 300, 10, 0, 0, 0, 0, 0]
        account = ["Bench", self.user, self.password, self.data_dir, "", 0, "f4240", "f4240", 300, 10, 1,
                   0, 0, 0, 0]
        lines = ["SRVROPT+!~*#$"] + [str(v) for v in options]
        lines += ["ANONACCT+!~*#$"] + [str(v) for v in anonymous]
        lines += ["REGACCT+!~*#$"] + [str(v) for v in account]
        lines += ["ACCPATH+!~*#$", self.data_dir, "%x" % self.RIGHTS, "0"]
        lines += ["BLKLIST+!~*#$"]
        path = os.path.join(self.config_dir, "tarnhold.bot")
        with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w", newline="") as f:
            f.write("\r\n".join(lines) + "\r\n")


class TarnholdDesktop(Tarnhold):
    """The same executable with its desktop console, on the display that
    DISPLAY names."""
    name = "desktop"

    def __init__(self, workdir, executable, data_dir):
        Server.__init__(self, workdir)
        self.executable = executable
        self.data_dir = data_dir
        self.config_dir = os.path.join(workdir, "desktop-config")
        os.mkdir(self.config_dir, 0o700)

    def argv(self):
        return [self.executable, "--config-dir", self.config_dir]


class Vsftpd(Server):
    """vsftpd's own binary with a configuration of its own: anonymous
    logins (no local user needed), chrooted into the data folder, uploads
    allowed. The system's vsftpd service is never touched."""

    name = "vsftpd"
    user = "anonymous"
    password = "bench@localhost"

    def __init__(self, workdir, executable, data_dir, ftp_user):
        super().__init__(workdir)
        self.executable = executable
        self.data_dir = data_dir
        self.ftp_user = ftp_user
        self.conf_path = os.path.join(workdir, "vsftpd.conf")
        # vsftpd wants an empty folder, owned by root and not writable by others.
        self.empty_dir = os.path.join(workdir, "vsftpd-empty")
        os.mkdir(self.empty_dir, 0o755)

    def argv(self):
        return [self.executable, self.conf_path]

    def prepare(self):
        settings = {
            "listen": "YES", "listen_ipv6": "NO", "listen_address": LOOPBACK, "listen_port": self.port,
            "background": "NO", "seccomp_sandbox": "NO",
            "anonymous_enable": "YES", "local_enable": "NO", "no_anon_password": "YES",
            "ftp_username": self.ftp_user, "anon_root": self.data_dir,
            "write_enable": "YES", "anon_upload_enable": "YES", "anon_mkdir_write_enable": "NO",
            "anon_other_write_enable": "NO", "anon_umask": "022",
            "pasv_enable": "YES", "connect_from_port_20": "NO",
            "secure_chroot_dir": self.empty_dir,
            "xferlog_enable": "NO", "syslog_enable": "NO", "dirmessage_enable": "NO",
            "max_clients": 0, "max_per_ip": 0,
            "idle_session_timeout": 600, "data_connection_timeout": 300,
        }
        # vsftpd insists that its configuration file belongs to the user who runs it.
        with open(self.conf_path, "w") as f:
            f.write("".join("%s=%s\n" % item for item in settings.items()))


# ---------------------------------------------------------------- data

class Data:
    """The files served, created once: real random data (no sparse files,
    so that reading them costs what reading a file costs)."""

    def __init__(self, root, sizes):
        self.root = root
        self.sizes = sizes
        self.hashes = {}  # path relative to root -> (size, digest)
        self.upload_source = b""
        self.upload_digest = b""

    def write(self, relative, size):
        h = hashlib.blake2b()
        path = os.path.join(self.root, relative)
        with open(path, "wb") as f:
            left = size
            while left:
                block = os.urandom(min(WRITE_BLOCK, left))
                f.write(block)
                h.update(block)
                left -= len(block)
        os.chmod(path, 0o644)
        self.hashes[relative] = (size, h.digest())

    def create(self, ftp_uid, ftp_gid):
        s = self.sizes
        os.chmod(self.root, 0o755)
        for folder in ("small", "many", "multi", "up"):
            os.mkdir(os.path.join(self.root, folder), 0o755)
        # Uploads land in up/, which vsftpd's anonymous user must be able to write.
        if os.geteuid() == 0:
            os.chown(os.path.join(self.root, "up"), ftp_uid, ftp_gid)
        self.write("big.bin", s["download"])
        for i in range(s["clients"]):
            self.write("multi/m%02d.bin" % i, s["client_size"])
        for i in range(s["small_count"]):
            self.write("small/s%04d.bin" % i, s["small_size"])
        for i in range(s["list_count"]):
            with open(os.path.join(self.root, "many", "e%05d" % i), "wb"):
                pass
        self.upload_source = os.urandom(s["upload"])
        self.upload_digest = hashlib.blake2b(self.upload_source).digest()
        os.sync()

    def check(self, relative, received, count):
        size, digest = self.hashes[relative]
        if count != size:
            raise BenchError("%s: received %d bytes, expected %d" % (relative, count, size))
        if hashlib.blake2b(memoryview(received)[:count]).digest() != digest:
            raise BenchError("%s: received data differs from the file" % relative)


# ---------------------------------------------------------------- client

def login(server):
    server.check_running()
    ftp = ftplib.FTP(timeout=TIMEOUT)
    ftp.connect(LOOPBACK, server.port)
    ftp.login(server.user, server.password)
    ftp.voidcmd("TYPE I")
    return ftp


def logout(ftp):
    """QUIT, then wait until the server closes the connection, so that the
    session is gone before the next workload opens its connections."""
    try:
        ftp.sendcmd("QUIT")
        ftp.sock.settimeout(10)
        while ftp.sock.recv(4096):
            pass
    except (OSError, EOFError, ftplib.Error):
        pass
    finally:
        ftp.close()


def receive(ftp, command, buffer):
    """Runs a download command into buffer; returns the byte count. More
    bytes than the buffer holds is an error."""
    view = memoryview(buffer)
    size = len(buffer)
    got = 0
    conn = ftp.transfercmd(command)
    with conn:
        while got < size:
            n = conn.recv_into(view[got:])
            if n == 0:
                break
            got += n
        if got == size and conn.recv(1):
            raise BenchError("%s: more data than the file holds" % command)
    ftp.voidresp()
    return got


def receive_all(ftp, command):
    parts = []
    conn = ftp.transfercmd(command)
    with conn:
        while True:
            chunk = conn.recv(1 << 16)
            if not chunk:
                break
            parts.append(chunk)
    ftp.voidresp()
    return b"".join(parts)


def send(ftp, command, data):
    conn = ftp.transfercmd(command)
    with conn:
        conn.sendall(memoryview(data))
        conn.shutdown(socket.SHUT_WR)
    ftp.voidresp()


# ---------------------------------------------------------------- workloads

class Workload:
    """One row of the table. run() returns the measured seconds after
    checking the result; the value shown is throughput (MiB/s) for
    transfers and seconds for the others."""

    throughput = True

    def __init__(self, data):
        self.data = data
        self.sizes = data.sizes

    def label(self):
        raise NotImplementedError

    def volume(self):
        """Bytes moved, for throughput."""
        return 0

    def run(self, server, round_no):
        raise NotImplementedError


class Download(Workload):
    def __init__(self, data):
        super().__init__(data)
        self.buffer = bytearray(self.sizes["download"])

    def label(self):
        return "download %s" % size_text(self.sizes["download"])

    def volume(self):
        return self.sizes["download"]

    def run(self, server, round_no):
        ftp = login(server)
        try:
            start = time.perf_counter()
            got = receive(ftp, "RETR big.bin", self.buffer)
            elapsed = time.perf_counter() - start
        finally:
            logout(ftp)
        self.data.check("big.bin", self.buffer, got)
        return elapsed


class Upload(Workload):
    def label(self):
        return "upload %s" % size_text(self.sizes["upload"])

    def volume(self):
        return self.sizes["upload"]

    def run(self, server, round_no):
        name = "up/%s.bin" % server.name  # removed after each run
        path = os.path.join(self.data.root, name)
        # Earlier writes are on disk before the clock starts, for either server.
        os.sync()
        ftp = login(server)
        try:
            start = time.perf_counter()
            send(ftp, "STOR " + name, self.data.upload_source)
            elapsed = time.perf_counter() - start
        finally:
            logout(ftp)
        try:
            size = os.path.getsize(path)
            if size != len(self.data.upload_source):
                raise BenchError("%s: stored %d bytes, sent %d" % (name, size, len(self.data.upload_source)))
            h = hashlib.blake2b()
            with open(path, "rb") as f:
                while True:
                    block = f.read(WRITE_BLOCK)
                    if not block:
                        break
                    h.update(block)
            if h.digest() != self.data.upload_digest:
                raise BenchError("%s: stored data differs from what was sent" % name)
        finally:
            if os.path.exists(path):
                os.remove(path)
        return elapsed


class SmallFiles(Workload):
    throughput = False

    def label(self):
        return "%d files of %s" % (self.sizes["small_count"], size_text(self.sizes["small_size"]))

    def run(self, server, round_no):
        names = ["s%04d.bin" % i for i in range(self.sizes["small_count"])]
        buffers = [bytearray(self.sizes["small_size"]) for _ in names]
        counts = []
        ftp = login(server)
        try:
            ftp.cwd("small")
            start = time.perf_counter()
            for name, buffer in zip(names, buffers):
                counts.append(receive(ftp, "RETR " + name, buffer))
            elapsed = time.perf_counter() - start
        finally:
            logout(ftp)
        for name, buffer, count in zip(names, buffers, counts):
            self.data.check("small/" + name, buffer, count)
        return elapsed


class Listing(Workload):
    throughput = False

    def label(self):
        return "LIST of {:,} files".format(self.sizes["list_count"])

    def run(self, server, round_no):
        ftp = login(server)
        try:
            ftp.cwd("many")
            start = time.perf_counter()
            text = receive_all(ftp, "LIST")
            elapsed = time.perf_counter() - start
        finally:
            logout(ftp)
        # Names hold no blanks: the last word of a line is its name.
        names = [line.split()[-1] for line in text.decode("latin-1").split("\r\n") if line.strip()]
        listed = sorted(n for n in names if n.startswith("e"))
        expected = ["e%05d" % i for i in range(self.sizes["list_count"])]
        if listed != expected:
            raise BenchError("LIST shows %d of the %d files (%d lines)" % (len(set(listed) & set(expected)),
                                                                         len(expected), len(names)))
        return elapsed


class Concurrent(Workload):
    def __init__(self, data):
        super().__init__(data)
        self.buffers = [bytearray(self.sizes["client_size"]) for _ in range(self.sizes["clients"])]

    def label(self):
        return "%d clients x %s" % (self.sizes["clients"], size_text(self.sizes["client_size"]))

    def volume(self):
        return self.sizes["clients"] * self.sizes["client_size"]

    def run(self, server, round_no):
        count = self.sizes["clients"]
        # The sessions of the previous workload are gone (logout waited for
        # the server's close); a moment more lets the server unregister them.
        time.sleep(0.5)
        clients = []
        try:
            for _ in range(count):
                clients.append(login(server))
            barrier = threading.Barrier(count + 1)
            counts = [0] * count
            errors = []

            def download(i):
                try:
                    barrier.wait()
                    counts[i] = receive(clients[i], "RETR multi/m%02d.bin" % i, self.buffers[i])
                except Exception as e:  # reported by the main thread
                    errors.append("client %d: %r" % (i, e))

            threads = [threading.Thread(target=download, args=(i,), daemon=True) for i in range(count)]
            for t in threads:
                t.start()
            barrier.wait()
            start = time.perf_counter()
            for t in threads:
                t.join()
            elapsed = time.perf_counter() - start
            if errors:
                raise BenchError("; ".join(errors))
        finally:
            for ftp in clients:
                logout(ftp)
        for i in range(count):
            self.data.check("multi/m%02d.bin" % i, self.buffers[i], counts[i])
        return elapsed


class Logins(Workload):
    """Connections one after the other, each logging in and out: every
    login and every end is a line in the owner's log."""
    throughput = False

    def label(self):
        return "%d logins" % self.sizes["logins"]

    def run(self, server, round_no):
        start = time.perf_counter()
        for _ in range(self.sizes["logins"]):
            logout(login(server))
        return time.perf_counter() - start


class Noops(Workload):
    throughput = False

    def label(self):
        return "{:,} NOOPs".format(self.sizes["noops"])

    def run(self, server, round_no):
        ftp = login(server)
        try:
            start = time.perf_counter()
            for _ in range(self.sizes["noops"]):
                ftp.voidcmd("NOOP")
            elapsed = time.perf_counter() - start
        finally:
            logout(ftp)
        return elapsed


# ---------------------------------------------------------------- report

def value_text(workload, seconds):
    if workload.throughput:
        return "%.1f MiB/s" % (workload.volume() / MiB / seconds)
    return "%.3f s" % seconds


def print_table(results, servers, rounds, limits=(0.9, 1.5)):
    """The table of medians; with two servers, the first one's ratio to the
    second, marked when its throughput is below limits[0] of the second's or
    its time above limits[1] times the second's."""
    names = [s.name for s in servers]
    rows = []
    for workload, times in results:
        medians = {n: statistics.median(times[n]) for n in names}
        row = [workload.label()] + [value_text(workload, medians[n]) for n in names]
        if len(names) == 2:
            subject, reference = names
            if workload.throughput:
                ratio = medians[reference] / medians[subject]  # throughput ratio
                kind = "throughput"
                slow = ratio < limits[0]
            else:
                ratio = medians[subject] / medians[reference]  # time ratio
                kind = "time"
                slow = ratio > limits[1]
            row.append("%.3f %s%s" % (ratio, kind, "  <-- %s behind" % subject if slow else ""))
        rows.append(row)
    header = ["workload"] + ["%s median" % n for n in names]
    if len(names) == 2:
        header.append("ratio %s/%s" % tuple(names))
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(names) + 1)]
    print()
    if len(names) == 2:
        print("Median of %d rounds, servers in turns, both running for the whole run." % rounds)
    else:
        print("Median of %d rounds, %s only." % (rounds, names[0]))
    for r in [header] + rows:
        cells = [r[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(r[1:len(names) + 1], widths[1:])]
        print("  ".join(cells + r[len(names) + 1:]).rstrip())
    if len(names) == 2:
        print("Ratios: throughput %s/%s for transfers (above 1 is faster), "
              "time %s/%s for the others (below 1 is faster)." % (tuple(names) * 2))


# ---------------------------------------------------------------- main

def tarnhold_build_type(executable):
    cache = os.path.join(os.path.dirname(os.path.abspath(executable)), "CMakeCache.txt")
    try:
        with open(cache) as f:
            for line in f:
                if line.startswith("CMAKE_BUILD_TYPE:"):
                    return line.split("=", 1)[1].strip() or "(none)"
    except OSError:
        pass
    return "unknown"


def package_version(name):
    try:
        return subprocess.run(["dpkg-query", "-W", "-f=${Version}", name], capture_output=True,
                              text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def needed_bytes(sizes):
    files = (sizes["download"] + sizes["clients"] * sizes["client_size"]
             + sizes["small_count"] * max(sizes["small_size"], 4096))
    # One upload on disk at a time, the listing's entries, and a margin.
    return files + sizes["upload"] + sizes["list_count"] * 4096 + 256 * MiB


def parse_args(argv):
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    p = argparse.ArgumentParser(description="Benchmark tarnhold against vsftpd on loopback.")
    p.add_argument("--quick", action="store_true", help="small sizes and 3 rounds: a smoke test")
    p.add_argument("--rounds", type=int, help="rounds per workload (default 5, quick 3)")
    p.add_argument("--warmup", type=int, default=1, help="uncounted rounds before the measured ones (default 1)")
    p.add_argument("--only", choices=["tarnhold", "vsftpd"], help="run one server only")
    p.add_argument("--tarnhold", default=os.path.join(root, "build", "tarnhold"),
                   help="tarnhold executable (default build/tarnhold)")
    p.add_argument("--vsftpd", default="/usr/sbin/vsftpd", help="vsftpd executable")
    p.add_argument("--tmpdir", default=None, help="folder for the temporary data (default $TMPDIR or /tmp)")
    p.add_argument("--workloads", default="download,upload,small,list,clients",
                   help="comma-separated subset of download,upload,small,list,clients,logins,noop")
    p.add_argument("--desktop", action="store_true",
                   help="compare tarnhold's desktop console (on $DISPLAY) with tarnhold headless")
    p.add_argument("--verbose", action="store_true", help="print every measurement")
    args = p.parse_args(argv)
    if args.rounds is not None and args.rounds < 1:
        p.error("--rounds must be at least 1")
    if args.warmup < 0:
        p.error("--warmup must not be negative")
    return args


def main(argv):
    args = parse_args(argv)
    sizes = dict(QUICK if args.quick else FULL)
    if args.rounds:
        sizes["rounds"] = args.rounds
    if sizes["clients"] > CONNECTION_LIMIT:
        raise BenchError("more clients than tarnhold's connection limit")
    kinds = {"download": Download, "upload": Upload, "small": SmallFiles, "list": Listing,
             "clients": Concurrent, "logins": Logins, "noop": Noops}
    chosen = [w.strip() for w in args.workloads.split(",") if w.strip()]
    for w in chosen:
        if w not in kinds:
            raise BenchError("unknown workload %r" % w)

    use_tarnhold = args.only != "vsftpd"
    use_vsftpd = args.only != "tarnhold" and not args.desktop
    if args.desktop and not os.environ.get("DISPLAY"):
        raise BenchError("--desktop needs a display (bench/desktop.sh starts Xvfb)")
    if use_tarnhold and not os.access(args.tarnhold, os.X_OK):
        raise BenchError("%s is not an executable; build it first (cmake --build build)" % args.tarnhold)
    if use_vsftpd:
        if not os.access(args.vsftpd, os.X_OK):
            raise BenchError("%s is missing; bench/run.sh installs it" % args.vsftpd)
        if os.geteuid() != 0:
            raise BenchError("vsftpd's anonymous logins need root (chroot and user change)")

    base = args.tmpdir or tempfile.gettempdir()
    need = needed_bytes(sizes)
    free = shutil.disk_usage(base).free
    if free < need:
        raise BenchError("%s has %.1f GiB free; the run needs %.1f GiB" % (base, free / (1 << 30), need / (1 << 30)))

    try:
        ftp_account = pwd.getpwnam("ftp")
    except KeyError:
        ftp_account = pwd.getpwnam("nobody")

    workdir = tempfile.mkdtemp(prefix="tarnhold-bench-", dir=base)
    servers = []
    try:
        os.chmod(workdir, 0o755)  # vsftpd's anonymous user reaches the data below it
        data_dir = os.path.join(workdir, "data")
        os.mkdir(data_dir)
        log("bench: creating %.1f GiB of data in %s" % (need / (1 << 30), workdir))
        data = Data(data_dir, sizes)
        data.create(ftp_account.pw_uid, ftp_account.pw_gid)
        workloads = [kinds[w](data) for w in chosen]

        if args.desktop:
            servers.append(TarnholdDesktop(workdir, os.path.abspath(args.tarnhold), data_dir))
        if use_tarnhold:
            servers.append(Tarnhold(workdir, os.path.abspath(args.tarnhold), data_dir))
        if use_vsftpd:
            servers.append(Vsftpd(workdir, args.vsftpd, data_dir, ftp_account.pw_name))
        for s in servers:
            s.start()
            log("bench: %s listens on %s:%d" % (s.name, LOOPBACK, s.port))
        if use_tarnhold:
            log("bench: tarnhold %s (build type %s)" % (args.tarnhold, tarnhold_build_type(args.tarnhold)))
        if use_vsftpd:
            log("bench: vsftpd %s, anonymous as %s" % (package_version("vsftpd"), ftp_account.pw_name))
        log("bench: %d CPUs, %d rounds" % (os.cpu_count() or 0, sizes["rounds"]))

        results = []
        for workload in workloads:
            times = {s.name: [] for s in servers}
            # Warm-up rounds (checked, not counted) fill the caches, so that
            # the first server in turn does not pay for a cold start alone.
            for round_no in range(-args.warmup, sizes["rounds"]):
                for s in servers:
                    seconds = workload.run(s, round_no)
                    if round_no < 0:
                        continue
                    times[s.name].append(seconds)
                    if args.verbose:
                        log("bench: %-22s round %d %-8s %s" % (workload.label(), round_no + 1, s.name,
                                                               value_text(workload, seconds)))
            log("bench: %s done" % workload.label())
            results.append((workload, times))
        for s in servers:
            s.check_running()
        # The desktop console may cost the sessions at most a fifth.
        print_table(results, servers, sizes["rounds"], limits=(0.8, 1.25) if args.desktop else (0.9, 1.5))
        print("All transfers verified (size and BLAKE2b).")
    finally:
        for s in servers:
            s.stop()
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


def on_terminate(signum, frame):
    raise KeyboardInterrupt


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, on_terminate)
    try:
        sys.exit(main(sys.argv[1:]))
    except BenchError as e:
        log("bench: FAILED: %s" % e)
        sys.exit(1)
    except (ftplib.Error, OSError, EOFError) as e:
        log("bench: FAILED: %r" % e)
        sys.exit(1)
    except KeyboardInterrupt:
        log("bench: interrupted; servers stopped and temporary data removed")
        sys.exit(130)
