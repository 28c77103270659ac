#!/usr/bin/env python3
"""Tarnhold against vsftpd, pure-ftpd and ProFTPD, side by side on loopback.

Every server runs for the whole benchmark, each on a free loopback port of
its own and serving the same data folder. Every workload runs in turns
(tarnhold, vsftpd, pure-ftpd, proftpd, tarnhold, ...) for a number of
rounds; the table shows each server's median and tarnhold's ratio to the
best peer of the row. Every transfer is checked: size and BLAKE2b hash of
what was downloaded, of what an upload left on disk, and the names in a
listing.

Usually started through bench/run.sh, which unpacks the peers' Debian
packages into build/bench-peers (never installing them).
    ftpbench.py [--quick] [--rounds N] [--warmup N] [--only NAME[,NAME...]]
                [--tarnhold PATH] [--before PATH] [--fetch PATH] [--floor PATH|none]
                [--peers DIR] [--tmpdir DIR]
                [--workloads NAME[,NAME...]] [--ipv6] [--verbose]

Rows come in groups: a workload names the capabilities it needs of a peer
("epsv", "mlsd", ...) and the feature bits tarnhold needs for it; it runs
on every peer that has them and on a tarnhold started with exactly those
bits. A further group (TLS, say) is a Workload subclass with its own needs
and features, an entry in WORKLOADS (not in DEFAULT_WORKLOADS for an
optional group), and the capability (plus Vsftpd.extra_settings) on the
peers that serve it.

With --ipv6, the same tarnhold runs once more with ipv6 = yes in its
tarnhold.conf, its clients connecting over ::1, in turns with the others:
the rows that IPv6 clients can run (download, upload, small files with
ftplib, the concurrent clients) get a column "ipv6" and its ratio to
tarnhold over IPv4 (above 0.95 is the goal).

With --desktop (bench/desktop.sh runs it under Xvfb), the two servers are
tarnhold's desktop console and tarnhold headless instead: what the window
costs the sessions that report to it.
"""

import argparse
import ftplib
import hashlib
import os
import pwd
import grp
import shutil
import signal
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import warnings

MiB = 1 << 20
LOOPBACK = "127.0.0.1"
WRITE_BLOCK = 4 * MiB
TIMEOUT = 120  # seconds for any single control or data operation

FULL = {"download": 1024 * MiB, "upload": 512 * MiB, "small_count": 500, "small_size": 4096,
        "list_count": 10000, "modern_list_count": 1000, "clients": 20, "client_size": 64 * MiB,
        "logins": 500, "noops": 5000, "rounds": 5}
QUICK = {"download": 64 * MiB, "upload": 32 * MiB, "small_count": 100, "small_size": 4096,
         "list_count": 1000, "modern_list_count": 200, "clients": 4, "client_size": 8 * MiB,
         "logins": 100, "noops": 1000, "rounds": 3}

# Tarnhold serves at most this many control connections at once; the
# concurrent workload never opens more.
CONNECTION_LIMIT = 20

# Tarnhold's feature bit for the modern client commands (EPSV, MLSD, ...).
MODERN = 0x1


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
from harness import ReusingFTP_TLS, free_port, port_is_listening  # noqa: E402


# ---------------------------------------------------------------- processes

def process_tree(pid):
    """A process and all its descendants (forking servers keep an idle
    child or two)."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        children.setdefault(int(fields[1]), []).append(int(entry))
    tree = []
    todo = [pid]
    while todo:
        p = todo.pop()
        tree.append(p)
        todo.extend(children.get(p, []))
    return tree


def process_tree_rss(pid):
    """Resident memory in bytes of a process and all its descendants."""
    return sum(status_bytes(p, "VmRSS") for p in process_tree(pid))


def set_tree_affinity(pid, cpus):
    """Every thread of a process and its descendants onto cpus; what they
    start later inherits it."""
    for p in process_tree(pid):
        try:
            tasks = os.listdir("/proc/%d/task" % p)
        except OSError:
            continue
        for t in tasks:
            try:
                os.sched_setaffinity(int(t), cpus)
            except OSError:
                pass  # ended meanwhile


def status_bytes(pid, field):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


# ---------------------------------------------------------------- servers

class Server:
    """A server process started by the benchmark and stopped by its id.

    column: the table column it fills. capabilities: what it offers beyond
    PASV, RETR, STOR and LIST, matched against Workload.needs."""

    name = ""
    column = ""
    user = ""
    password = ""
    capabilities = frozenset()
    host = LOOPBACK  # where its clients connect

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

    def serves(self, workload):
        return workload.needs <= self.capabilities

    def version(self):
        return ""

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
            # The whole session: forking servers leave no session behind.
            try:
                os.killpg(self.process.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.process = None

    def check_running(self):
        if self.process is None or self.process.poll() is not None:
            raise BenchError("%s has ended; its output:\n%s" % (self.name, self.log_tail()))

    def rss(self):
        self.check_running()
        return process_tree_rss(self.process.pid)

    def peak_rss(self):
        self.check_running()
        return status_bytes(self.process.pid, "VmHWM")

    def log_tail(self, lines=30):
        try:
            with open(self.log_path, "rb") as f:
                return b"".join(f.readlines()[-lines:]).decode("utf-8", "replace")
        except OSError:
            return "(no output)"


class Tarnhold(Server):
    """Headless, with a settings folder of its own and one account whose
    home is the data folder; features are the bits of the server option
    `features` (0: the design's behaviour)."""

    column = "tarnhold"
    user = "bench"
    password = "bench-secret"

    # read 0x40, write 0x20, delete 0x10, list 0x04, create 0x02
    RIGHTS = 0x76

    def __init__(self, workdir, executable, data_dir, features=0, name=None, column=None):
        base = column or self.column
        self.name = name or (base if features == 0 else "%s-0x%x" % (base, features))
        self.column = base
        super().__init__(workdir)
        self.executable = executable
        self.data_dir = data_dir
        self.features = features
        self.config_dir = os.path.join(workdir, self.name + "-config")
        os.mkdir(self.config_dir, 0o700)
        self.capabilities = frozenset({"epsv", "mlsd"} if features & MODERN else ())

    def serves(self, workload):
        # Each row runs on the tarnhold with exactly the bits it needs.
        return workload.features == self.features

    def argv(self):
        return [self.executable, "--headless", "--config-dir", self.config_dir]

    # "Max user limit", the bench account's "Max logins", its stored
    # password (None: self.password) and tarnhold.conf's text (None: no
    # file), which the variants below change.
    max_users = 100
    max_logins = 10
    stored_password = None
    conf = None

    def prepare(self):
        options = [self.port, self.features, "f4240", "f4240", self.max_users, 0, 1, 0, 300]
        anonymous = ["Public FTP Account", "", "", "", "", 0, "f4240", "f4240", 300, 10, 0, 0, 0, 0, 0]
        password = self.password if self.stored_password is None else self.stored_password
        account = ["Bench", self.user, password, self.data_dir, "", 0, "f4240", "f4240", 300,
                   self.max_logins, 1, 0, 0, 0, 0]
        lines = ["SRVROPT+!~*#$"] + [str(v) for v in options]
        lines += ["ANONACCT+!~*#$"] + [str(v) for v in anonymous]
        lines += ["REGACCT+!~*#$"] + [str(v) for v in account]
        lines += ["ACCPATH+!~*#$", self.data_dir, "%x" % self.RIGHTS, "0"]
        lines += ["BLKLIST+!~*#$"]
        files = [("tarnhold.bot", "\r\n".join(lines) + "\r\n")]
        if self.conf is not None:
            files.append(("tarnhold.conf", self.conf))
        for name, text in files:
            path = os.path.join(self.config_dir, name)
            with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w",
                      newline="") as f:
                f.write(text)

    def version(self):
        return "%s (build type %s)" % (self.executable, tarnhold_build_type(self.executable))


class TarnholdIPv6(Tarnhold):
    """The same executable with ipv6 = yes, its clients on ::1."""

    column = "ipv6"
    host = "::1"

    def __init__(self, workdir, executable, data_dir, features=0):
        super().__init__(workdir, executable, data_dir, features, column="ipv6")

    conf = "ipv6 = yes\n"

    def serves(self, workload):
        return workload.over_ipv6 and super().serves(workload)


class TarnholdDesktop(Tarnhold):
    """The same executable with its desktop console, on the display that
    DISPLAY names."""

    column = "desktop"

    def __init__(self, workdir, executable, data_dir, features=0):
        super().__init__(workdir, executable, data_dir, features)

    def argv(self):
        return [self.executable, "--config-dir", self.config_dir]


class Floor(Server):
    """bench/ftp_floor.cpp: the least a server can do for the small-file
    rows (canned replies, the file read and sent, one session at a time).
    Not a peer: its column shows how near tarnhold comes to the loopback
    floor, and it serves no other row."""

    name = "floor"
    column = "floor"
    user = "bench"
    password = "bench"
    capabilities = frozenset({"epsv"})

    def __init__(self, workdir, executable, data_dir):
        super().__init__(workdir)
        self.executable = executable
        self.data_dir = data_dir

    def serves(self, workload):
        return isinstance(workload, SmallFiles)

    def argv(self):
        return [self.executable, str(self.port), self.data_dir]

    def prepare(self):
        pass

    def version(self):
        return self.executable


class Peer(Server):
    """An established server's binary, unpacked from its Debian package into
    the peers folder (bench/run.sh does that) and run with a configuration
    of its own; its system service is never involved. Sessions run as the
    unprivileged local account given, whose home must exist."""

    column = None
    package = ""
    binary = ""

    def __init__(self, workdir, peers_root, data_dir, account):
        self.column = self.name
        super().__init__(workdir)
        self.peers_root = peers_root
        self.executable = os.path.join(peers_root, self.binary.lstrip("/"))
        self.data_dir = data_dir
        self.account = account
        self.group = grp.getgrgid(account.pw_gid).gr_name
        if not os.access(self.executable, os.X_OK):
            raise BenchError("%s is missing; bench/run.sh unpacks it" % self.executable)

    def version(self):
        return "%s %s" % (self.package, deb_version(self.peers_root, self.package))


class Vsftpd(Peer):
    """Anonymous logins (no local user needed), chrooted into the data
    folder, uploads allowed."""

    name = "vsftpd"
    package = "vsftpd"
    binary = "/usr/sbin/vsftpd"
    user = "anonymous"
    password = "bench@localhost"
    capabilities = frozenset({"epsv"})
    extra_settings = {}  # what an optional row group adds to the configuration

    def __init__(self, *args):
        super().__init__(*args)
        self.conf_path = os.path.join(self.workdir, "vsftpd.conf")
        # vsftpd wants an empty folder, owned by root and not writable by others.
        self.empty_dir = os.path.join(self.workdir, "vsftpd-empty")
        os.mkdir(self.empty_dir, 0o755)

    def argv(self):
        return [self.executable, self.conf_path]

    def prepare(self):
        settings = {
            "listen": "YES", "listen_ipv6": "NO", "listen_address": LOOPBACK, "listen_port": self.port,
            "background": "NO", "seccomp_sandbox": "NO",
            "anonymous_enable": "YES", "local_enable": "NO", "no_anon_password": "YES",
            "ftp_username": self.account.pw_name, "anon_root": self.data_dir,
            "write_enable": "YES", "anon_upload_enable": "YES", "anon_mkdir_write_enable": "NO",
            "anon_other_write_enable": "NO", "anon_umask": "022",
            "pasv_enable": "YES", "connect_from_port_20": "NO",
            "secure_chroot_dir": self.empty_dir,
            "xferlog_enable": "NO", "syslog_enable": "NO", "dirmessage_enable": "NO",
            "max_clients": 0, "max_per_ip": 0,
            "idle_session_timeout": 600, "data_connection_timeout": 300,
        }
        settings.update(self.extra_settings)
        # vsftpd insists that its configuration file belongs to the user who runs it.
        with open(self.conf_path, "w") as f:
            f.write("".join("%s=%s\n" % item for item in settings.items()))


class PureFtpd(Peer):
    """A virtual user of its own password database, mapped to the
    unprivileged account and chrooted into the data folder. Anonymous
    logins would need an ftp account whose home is the data folder."""

    name = "pure-ftpd"
    package = "pure-ftpd"
    binary = "/usr/sbin/pure-ftpd"
    user = "bench"
    password = "bench-secret"
    capabilities = frozenset({"epsv", "mlsd"})

    def __init__(self, *args):
        super().__init__(*args)
        self.passwd_path = os.path.join(self.workdir, "pureftpd.passwd")
        self.pdb_path = os.path.join(self.workdir, "pureftpd.pdb")
        self.pid_path = os.path.join(self.workdir, "pure-ftpd.pid")
        # SHA-512 crypt: what pure-pw's own default (argon2id) would cost
        # at each login is no part of what is measured.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            import crypt  # deprecated, still in Python 3.11 and 3.12
            hashed = crypt.crypt(self.password, crypt.mksalt(crypt.METHOD_SHA512))
        with open(os.open(self.passwd_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
            f.write("%s:%s:%d:%d::%s/./::::::::::::\n" % (self.user, hashed, self.account.pw_uid,
                                                        self.account.pw_gid, self.data_dir))
        pure_pw = os.path.join(self.peers_root, "usr/bin/pure-pw")
        subprocess.run([pure_pw, "mkdb", self.pdb_path, "-f", self.passwd_path], check=True,
                       stdin=subprocess.DEVNULL, capture_output=True)

    def argv(self):
        return [self.executable, "--bind", "%s,%d" % (LOOPBACK, self.port), "--ipv4only",
                "--login", "puredb:" + self.pdb_path, "--noanonymous", "--chrooteveryone",
                "--dontresolve", "--minuid", "1", "--maxclientsnumber", "50",
                "--maxclientsperip", "50", "--pidfile", self.pid_path, "--syslogfacility", "none",
                "--umask", "133:022"]

    def prepare(self):
        pass


class Proftpd(Peer):
    """Anonymous logins as the unprivileged account, in the data folder,
    uploads allowed; only the modules built into the binary."""

    name = "proftpd"
    package = "proftpd-core"
    binary = "/usr/sbin/proftpd"
    user = "anonymous"
    password = "bench@localhost"
    capabilities = frozenset({"epsv", "mlsd"})

    def __init__(self, *args):
        super().__init__(*args)
        self.conf_path = os.path.join(self.workdir, "proftpd.conf")

    def argv(self):
        return [self.executable, "--nodaemon", "--config", self.conf_path]

    def prepare(self):
        w = self.workdir
        text = """\
ServerType standalone
ServerName "bench"
ServerIdent off
DefaultServer on
UseIPv6 off
DefaultAddress {loopback}
SocketBindTight on
Port {port}
User {user}
Group {group}
PidFile {w}/proftpd.pid
ScoreboardFile {w}/proftpd.scoreboard
SystemLog {w}/proftpd-system.log
TransferLog none
WtmpLog off
UseReverseDNS off
DelayEngine off
ControlsEngine off
AuthPAM off
AuthOrder mod_auth_unix.c
MaxInstances 100
Umask 022
AllowOverwrite on
<Anonymous {data}>
  User {user}
  Group {group}
  UserAlias anonymous {user}
  RequireValidShell off
  MaxClients none
  <Limit WRITE>
    AllowAll
  </Limit>
</Anonymous>
""".format(loopback=LOOPBACK, port=self.port, user=self.account.pw_name, group=self.group, w=w,
           data=self.data_dir)
        with open(self.conf_path, "w") as f:
            f.write(text)


PEERS = {"vsftpd": Vsftpd, "pure-ftpd": PureFtpd, "proftpd": Proftpd}


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

    def create(self, account):
        s = self.sizes
        os.chmod(self.root, 0o755)
        for folder in ("small", "many", "modern", "multi", "up"):
            os.mkdir(os.path.join(self.root, folder), 0o755)
        # Uploads land in up/, which the peers' unprivileged account must be able to write.
        if account is not None:
            os.chown(os.path.join(self.root, "up"), account.pw_uid, account.pw_gid)
        self.write("big.bin", s["download"])
        for i in range(s["clients"]):
            self.write("multi/m%02d.bin" % i, s["client_size"])
        for i in range(s["small_count"]):
            self.write("small/s%04d.bin" % i, s["small_size"])
        for folder, count in (("many", s["list_count"]), ("modern", s["modern_list_count"])):
            for i in range(count):
                with open(os.path.join(self.root, folder, "e%05d" % i), "wb"):
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

    def check_stored(self, relative, size, digest):
        """Checks what an upload left on disk, then removes it."""
        path = os.path.join(self.root, relative)
        try:
            stored = os.path.getsize(path)
            if stored != size:
                raise BenchError("%s: stored %d bytes, sent %d" % (relative, stored, size))
            h = hashlib.blake2b()
            with open(path, "rb") as f:
                while True:
                    block = f.read(WRITE_BLOCK)
                    if not block:
                        break
                    h.update(block)
            if h.digest() != digest:
                raise BenchError("%s: stored data differs from what was sent" % relative)
        finally:
            if os.path.exists(path):
                os.remove(path)

    def check_names(self, what, names, folder, count):
        listed = sorted(n for n in names if n.startswith("e"))
        expected = ["e%05d" % i for i in range(count)]
        if listed != expected:
            raise BenchError("%s of %s shows %d of the %d files (%d lines)"
                             % (what, folder, len(set(listed) & set(expected)), len(expected), len(names)))


# ---------------------------------------------------------------- client

class ExtendedPassiveFTP(ftplib.FTP):
    """ftplib asks for EPSV only over IPv6; this one always does."""

    def makepasv(self):
        return ftplib.parse229(self.sendcmd("EPSV"), self.sock.getpeername())


def login(server, epsv=False):
    server.check_running()
    ftp = (ExtendedPassiveFTP if epsv else ftplib.FTP)(timeout=TIMEOUT)
    ftp.connect(server.host, server.port)
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


def receive(ftp, command, buffer, progress=None):
    """Runs a download command into buffer; returns the byte count. More
    bytes than the buffer holds is an error. progress, a list, gets
    (time, bytes so far) after every receive."""
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
            if progress is not None:
                progress.append((time.perf_counter(), got))
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

class Row:
    """One line of the table. unit: MiB/s, files/s (higher is better), s or
    MiB (lower is better)."""

    def __init__(self, label, unit):
        self.label = label
        self.unit = unit

    @property
    def higher_is_better(self):
        return self.unit in ("MiB/s", "files/s")

    def text(self, value):
        return "%.2f MiB" % value if self.unit == "MiB" else (
            "%.3f s" % value if self.unit == "s" else "%.1f %s" % (value, self.unit))


class Workload:
    """A measurement that fills one or more rows. measure() checks the
    result and returns one value per row, in the rows' units.

    needs: what a peer must offer to run it; features: the bits tarnhold
    runs it with.

    A one-row workload may instead give label(), volume() (bytes, for a
    transfer) and throughput, with run() returning seconds: its row is
    MiB/s when throughput is true, else seconds."""

    needs = frozenset()
    features = 0
    throughput = True
    # Whether it runs over ::1 too (--ipv6): its clients are ftplib's.
    over_ipv6 = False
    # Rows that take a fraction of a second run this many times the rounds:
    # on a busy machine one burst of load moves a short median a lot.
    round_factor = 1

    def __init__(self, data):
        self.data = data
        self.sizes = data.sizes

    def rows(self):
        return [Row(self.label(), "MiB/s" if self.throughput else "s")]

    def label(self):
        raise NotImplementedError

    def volume(self):
        return 0

    def measure(self, server, round_no):
        seconds = self.run(server, round_no)
        return [self.volume() / MiB / seconds if self.throughput else seconds]

    def run(self, server, round_no):
        raise NotImplementedError


class Download(Workload):
    over_ipv6 = True

    def __init__(self, data):
        super().__init__(data)
        self.buffer = bytearray(self.sizes["download"])

    def rows(self):
        return [Row("download %s" % size_text(self.sizes["download"]), "MiB/s")]

    def measure(self, server, round_no):
        ftp = login(server)
        try:
            start = time.perf_counter()
            got = receive(ftp, "RETR big.bin", self.buffer)
            elapsed = time.perf_counter() - start
        finally:
            logout(ftp)
        self.data.check("big.bin", self.buffer, got)
        return [self.sizes["download"] / MiB / elapsed]


class Upload(Workload):
    over_ipv6 = True

    def rows(self):
        return [Row("upload %s" % size_text(self.sizes["upload"]), "MiB/s")]

    def measure(self, server, round_no):
        name = "up/%s.bin" % server.name  # removed after each run
        # Earlier writes are on disk before the clock starts, for every server.
        os.sync()
        ftp = login(server)
        try:
            start = time.perf_counter()
            send(ftp, "STOR " + name, self.data.upload_source)
            elapsed = time.perf_counter() - start
        finally:
            logout(ftp)
        self.data.check_stored(name, len(self.data.upload_source), self.data.upload_digest)
        return [len(self.data.upload_source) / MiB / elapsed]


class SmallFiles(Workload):
    """One control connection; a data connection (PASV) and a RETR per file."""

    epsv = False
    round_factor = 3
    over_ipv6 = True  # where ftplib asks for EPSV whatever epsv says

    def rows(self):
        return [Row("%d files of %s%s" % (self.sizes["small_count"], size_text(self.sizes["small_size"]),
                                          ", EPSV" if self.epsv else ""), "files/s")]

    def measure(self, server, round_no):
        names = ["s%04d.bin" % i for i in range(self.sizes["small_count"])]
        buffers = [bytearray(self.sizes["small_size"]) for _ in names]
        counts = []
        ftp = login(server, self.epsv)
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
        return [len(names) / elapsed]


class SmallFilesEpsv(SmallFiles):
    needs = frozenset({"epsv"})
    features = MODERN
    epsv = True


class SmallFilesNative(SmallFiles):
    """The same fetches by bench/ftp_fetch.cpp, a client that costs next to
    nothing itself: ftplib's own time per file hides much of the servers'."""

    client = None  # the ftp_fetch executable; main() sets it
    over_ipv6 = False  # ftp_fetch speaks IPv4

    def rows(self):
        return [Row("%d files of %s%s, C client" % (self.sizes["small_count"], size_text(self.sizes["small_size"]),
                                                    ", EPSV" if self.epsv else ""), "files/s")]

    def measure(self, server, round_no):
        server.check_running()
        names = ["s%04d.bin" % i for i in range(self.sizes["small_count"])]
        out = tempfile.mkdtemp(prefix="fetched-", dir=os.path.dirname(self.data.root))
        try:
            done = subprocess.run([self.client, str(server.port), server.user, server.password, "small",
                                   "epsv" if self.epsv else "pasv", out] + names,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT,
                                  preexec_fn=self.client_preexec)
            if done.returncode != 0:
                raise BenchError("ftp_fetch against %s: %s" % (server.name, done.stderr.decode(errors="replace")))
            elapsed = float(done.stdout)
            for name in names:
                with open(os.path.join(out, name), "rb") as f:
                    received = f.read()
                self.data.check("small/" + name, received, len(received))
        finally:
            shutil.rmtree(out, ignore_errors=True)
        return [len(names) / elapsed]

    def client_preexec(self):
        pass


class SmallFilesNativeEpsv(SmallFilesNative):
    needs = frozenset({"epsv"})
    features = MODERN
    epsv = True


class SmallFilesOneCpu(SmallFilesNative):
    """The C client's fetches with the server and the client on one CPU.
    Spread over two, each file waits for a few wake-ups across CPUs, and
    where the scheduler happens to place a session moves a row by a factor
    of three; on one CPU the row shows the work each server does per file."""

    cpu = 0

    def rows(self):
        return [Row("%d files of %s%s, C client, one CPU" % (self.sizes["small_count"],
                                                            size_text(self.sizes["small_size"]),
                                                            ", EPSV" if self.epsv else ""), "files/s")]

    def measure(self, server, round_no):
        server.check_running()
        everywhere = os.sched_getaffinity(0)
        set_tree_affinity(server.process.pid, {self.cpu})
        try:
            return super().measure(server, round_no)
        finally:
            set_tree_affinity(server.process.pid, everywhere)

    def client_preexec(self):
        os.sched_setaffinity(0, {self.cpu})


class SmallFilesOneCpuEpsv(SmallFilesOneCpu):
    needs = frozenset({"epsv"})
    features = MODERN
    epsv = True


class Listing(Workload):
    """A listing of one folder of empty files, timed from the command to its
    226."""

    folder = "many"
    count_key = "list_count"
    command = "LIST"
    epsv = False
    round_factor = 3

    def rows(self):
        return [Row("{} of {:,} files{}".format(self.command, self.sizes[self.count_key],
                                                ", EPSV" if self.epsv else ""), "s")]

    def names(self, text):
        # Names hold no blanks: the last word of a line is its name.
        return [line.split()[-1] for line in text.split("\r\n") if line.strip()]

    def measure(self, server, round_no):
        ftp = login(server, self.epsv)
        try:
            ftp.cwd(self.folder)
            start = time.perf_counter()
            text = receive_all(ftp, self.command)
            elapsed = time.perf_counter() - start
        finally:
            logout(ftp)
        self.data.check_names(self.command, self.names(text.decode("latin-1")), self.folder,
                              self.sizes[self.count_key])
        return [elapsed]


class ListingEpsv(Listing):
    needs = frozenset({"epsv"})
    features = MODERN
    folder = "modern"
    count_key = "modern_list_count"
    epsv = True


class MachineListing(ListingEpsv):
    needs = frozenset({"epsv", "mlsd"})
    command = "MLSD"

    def names(self, text):
        # facts; facts; ... then one space and the name
        return [line.split(" ", 1)[1] for line in text.split("\r\n") if " " in line]


class Concurrent(Workload):
    """Clients downloading one file each at once: all clients together, and
    the slowest client's own rate while all of them run, that is until the
    first one has its whole file (fairness: an unfair server lets some
    finish early while others crawl)."""

    over_ipv6 = True

    def __init__(self, data):
        super().__init__(data)
        self.buffers = [bytearray(self.sizes["client_size"]) for _ in range(self.sizes["clients"])]

    def rows(self):
        label = "%d clients x %s" % (self.sizes["clients"], size_text(self.sizes["client_size"]))
        return [Row(label + ", all", "MiB/s"), Row(label + ", slowest", "MiB/s")]

    def measure(self, server, round_no):
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
            progress = [[] for _ in range(count)]
            errors = []

            def download(i):
                try:
                    barrier.wait()
                    counts[i] = receive(clients[i], "RETR multi/m%02d.bin" % i, self.buffers[i], progress[i])
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
        return [count * self.sizes["client_size"] / MiB / elapsed, self.slowest(progress, start)]

    @staticmethod
    def slowest(progress, start):
        """The slowest client's MiB/s: its bytes at the moment the first
        client had its whole file. progress: each client's (time, bytes)."""
        first = min(p[-1][0] for p in progress)
        slowest = min(max((n for t, n in p if t <= first), default=0) for p in progress)
        return slowest / MiB / (first - start)


class IdleMemory(Workload):
    """Resident memory of a freshly started server (its process and any
    children) once it listens and has settled: each round restarts it."""

    def rows(self):
        return [Row("idle memory (RSS)", "MiB")]

    def measure(self, server, round_no):
        server.stop()
        server.start()
        time.sleep(1.0)
        return [server.rss() / MiB]


class Logins(Workload):
    """Connections one after the other, each logging in and out: every
    login and every end is a line in the owner's log."""

    def rows(self):
        return [Row("%d logins" % self.sizes["logins"], "s")]

    def measure(self, server, round_no):
        start = time.perf_counter()
        for _ in range(self.sizes["logins"]):
            logout(login(server))
        return [time.perf_counter() - start]


class Noops(Workload):
    def rows(self):
        return [Row("{:,} NOOPs".format(self.sizes["noops"]), "s")]

    def measure(self, server, round_no):
        ftp = login(server)
        try:
            start = time.perf_counter()
            for _ in range(self.sizes["noops"]):
                ftp.voidcmd("NOOP")
            elapsed = time.perf_counter() - start
        finally:
            logout(ftp)
        return [elapsed]


# ---------------------------------------------------------------- FTPS

# An optional group: tarnhold with FTPS (0x2) against vsftpd with
# ssl_enable (pure-ftpd and ProFTPD are built here without TLS). One file
# each way over TLS 1.2, the newest version Debian's vsftpd 3.0.3 serves
# transfers with, and AES-128-GCM for both servers.
FTPS = 0x2
TLS_SIZES = {"full": 1024 * MiB, "quick": 64 * MiB}
TLS_CIPHER = "ECDHE-ECDSA-AES128-GCM-SHA256"


def offer_tls(workdir, data, sizes):
    """vsftpd gets a pair made here with openssl and serves TLS; tarnhold
    makes its own self-signed pair at Start."""
    cert = os.path.join(workdir, "vsftpd.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                    "/CN=localhost", "-keyout", cert, "-out", cert],
                   check=True, capture_output=True)
    os.chmod(cert, 0o644)
    Vsftpd.extra_settings = {
        "ssl_enable": "YES", "allow_anon_ssl": "YES", "force_anon_logins_ssl": "NO",
        "force_anon_data_ssl": "NO", "require_ssl_reuse": "YES", "ssl_ciphers": TLS_CIPHER,
        "rsa_cert_file": cert, "rsa_private_key_file": cert,
    }
    Vsftpd.capabilities = Vsftpd.capabilities | {"tls"}
    size = TLS_SIZES["quick" if sizes["download"] < TLS_SIZES["full"] else "full"]
    sizes["tls"] = size
    data.write("tls.bin", size)
    data.tls_source = os.urandom(size)
    data.tls_digest = hashlib.blake2b(data.tls_source).digest()
    os.sync()


def tls_login(server):
    server.check_running()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    context.maximum_version = ssl.TLSVersion.TLSv1_2
    context.set_ciphers(TLS_CIPHER)
    ftp = ReusingFTP_TLS(context=context, timeout=TIMEOUT)
    ftp.connect(LOOPBACK, server.port)
    ftp.auth()
    ftp.login(server.user, server.password)
    ftp.prot_p()
    ftp.voidcmd("TYPE I")
    return ftp


class TlsDownload(Workload):
    needs = frozenset({"tls"})
    features = FTPS

    def __init__(self, data):
        super().__init__(data)
        self.buffer = bytearray(self.sizes["tls"])

    def label(self):
        return "TLS download %s" % size_text(self.sizes["tls"])

    def volume(self):
        return self.sizes["tls"]

    def run(self, server, round_no):
        ftp = tls_login(server)
        try:
            start = time.perf_counter()
            got = receive(ftp, "RETR tls.bin", self.buffer)
            elapsed = time.perf_counter() - start
        finally:
            logout(ftp)
        self.data.check("tls.bin", self.buffer, got)
        return elapsed


class TlsUpload(Workload):
    needs = frozenset({"tls"})
    features = FTPS

    def label(self):
        return "TLS upload %s" % size_text(self.sizes["tls"])

    def volume(self):
        return self.sizes["tls"]

    def run(self, server, round_no):
        name = "up/tls-%s.bin" % server.name  # removed after each run
        os.sync()
        ftp = tls_login(server)
        try:
            start = time.perf_counter()
            conn = ftp.transfercmd("STOR " + name)
            conn.sendall(memoryview(self.data.tls_source))
            # close_notify tells the server that nothing was cut.
            conn.unwrap().close()
            ftp.voidresp()
            elapsed = time.perf_counter() - start
        finally:
            logout(ftp)
        self.data.check_stored(name, len(self.data.tls_source), self.data.tls_digest)
        return elapsed


TLS_WORKLOADS = {"tlsdownload": TlsDownload, "tlsupload": TlsUpload}



# In table order. DEFAULT_WORKLOADS runs without --workloads.
WORKLOADS = {"idle": IdleMemory, "download": Download, "upload": Upload, "small": SmallFiles,
             "small-epsv": SmallFilesEpsv, "fetch": SmallFilesNative, "fetch-epsv": SmallFilesNativeEpsv,
             "fetch-1cpu": SmallFilesOneCpu, "fetch-1cpu-epsv": SmallFilesOneCpuEpsv,
             "list": Listing, "list-epsv": ListingEpsv,
             "mlsd": MachineListing, "clients": Concurrent, "logins": Logins, "noop": Noops}
WORKLOADS.update(TLS_WORKLOADS)
DEFAULT_WORKLOADS = ("idle,download,upload,small,small-epsv,fetch,fetch-epsv,fetch-1cpu,fetch-1cpu-epsv,"
                     "list,list-epsv,mlsd,clients")


# ---------------------------------------------------------------- report

def print_table(results, columns, rounds, limit=0.9, references=()):
    """The table of medians and, for the subject (the first column), its
    ratio to the best of the other columns in each row: above 1 means the
    subject is better (faster, or less memory). Rows below limit are
    marked. Reference columns (an earlier build of the subject, the
    loopback floor) are no peers: the subject's ratio to each comes last."""
    subject = columns[0]
    peers = [c for c in columns[1:] if c not in references]
    table = []
    for row, values in results:
        medians = {c: statistics.median(values[c]) for c in columns if values.get(c)}

        def ratio(other):
            mine, theirs = medians[subject], medians[other]
            return mine / theirs if row.higher_is_better else theirs / mine

        line = [row.label] + [row.text(medians[c]) if c in medians else "-" for c in columns]
        others = [c for c in peers if c in medians]
        if subject in medians and others:
            best = (max if row.higher_is_better else min)(others, key=lambda c: medians[c])
            mark = "  <-- %s behind" % subject if ratio(best) < limit else ""
            line.append("%.2f %s%s" % (ratio(best), best, mark))
        elif peers:
            line.append("-")
        for reference in references:
            if subject not in medians or reference not in medians:
                line.append("-")
            elif reference == "ipv6":
                # The other way round: how IPv6 clients fare against IPv4 ones.
                mine, theirs = medians[subject], medians[reference]
                if not (mine if row.higher_is_better else theirs):
                    line.append("-")
                else:
                    line.append("%.2f" % (theirs / mine if row.higher_is_better else mine / theirs))
            else:
                line.append("%.2f" % ratio(reference))
        table.append(line)
    header = ["workload"] + ["%s median" % c for c in columns]
    if peers:
        header.append("%s vs best peer" % subject)
    header += ["ipv6 vs %s" % subject if r == "ipv6" else "vs %s" % r for r in references]
    widths = [max(len(r[i]) for r in table + [header]) for i in range(len(header))]
    ratio_column = len(columns) + 1 if peers else None
    print()
    print("Median of %d rounds (small files and listings: %d), servers in turns, all running "
          "for the whole run." % (rounds, rounds * SmallFiles.round_factor))
    for r in [header] + table:
        cells = [c.ljust(w) if i in (0, ratio_column) else c.rjust(w)
                 for i, (c, w) in enumerate(zip(r, widths))]
        print("  ".join(cells).rstrip())
    if peers:
        print("Ratio: %s against the best other server of the row, above 1 is better "
              "(rate for MiB/s and files/s, time for s, memory for MiB)." % subject)
    if "before" in references:
        print("vs before: %s against the earlier build in the same way." % subject)
    if "ipv6" in references:
        print("ipv6 vs %s: the same build serving clients over ::1 (ipv6 = yes) against IPv4 "
              "clients (ipv6 = no), in the same way; at least 0.95 is the goal." % subject)
    if "floor" in references:
        print("vs floor: %s against bench/ftp_floor, which does no more than the small-file "
              "rows' protocol asks; the rest of a row's time is the client's and the kernel's." % subject)


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


def deb_version(peers_root, package):
    """The version bench/run.sh recorded when it unpacked the package."""
    try:
        with open(os.path.join(peers_root, "..", "versions")) as f:
            for line in f:
                name, _, version = line.strip().partition(" ")
                if name == package:
                    return version
    except OSError:
        pass
    return "unknown"


def needed_bytes(sizes):
    files = (sizes["download"] + sizes["clients"] * sizes["client_size"]
             + sizes["small_count"] * max(sizes["small_size"], 4096))
    # One upload on disk at a time, the listings' entries, and a margin.
    return files + sizes["upload"] + (sizes["list_count"] + sizes["modern_list_count"]) * 4096 + 256 * MiB


def parse_args(argv):
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    p = argparse.ArgumentParser(description="Benchmark tarnhold against vsftpd, pure-ftpd and ProFTPD on loopback.")
    p.add_argument("--quick", action="store_true", help="small sizes and 3 rounds: a smoke test")
    p.add_argument("--rounds", type=int, help="rounds per workload (default 5, quick 3)")
    p.add_argument("--warmup", type=int, default=1, help="uncounted rounds before the measured ones (default 1)")
    p.add_argument("--only", help="comma-separated servers to run (tarnhold,%s)" % ",".join(PEERS))
    p.add_argument("--tarnhold", default=os.path.join(root, "build", "tarnhold"),
                   help="tarnhold executable (default build/tarnhold)")
    p.add_argument("--before", metavar="PATH",
                   help="an earlier tarnhold executable, run as one more column with the ratio to it")
    p.add_argument("--fetch", default=os.path.join(root, "build", "bench", "ftp_fetch"),
                   help="the C client of the fetch rows (default build/bench/ftp_fetch)")
    p.add_argument("--floor", default=os.path.join(root, "build", "bench", "ftp_floor"),
                   help="the loopback floor's executable for the small-file rows "
                        "(default build/bench/ftp_floor; none: leave it out)")
    p.add_argument("--peers", default=os.path.join(root, "build", "bench-peers", "root"),
                   help="folder the peers' packages are unpacked into (default build/bench-peers/root)")
    p.add_argument("--account", default="ftpbench",
                   help="unprivileged local account the peers' sessions run as (default ftpbench)")
    p.add_argument("--tmpdir", default=None, help="folder for the temporary data (default $TMPDIR or /tmp)")
    p.add_argument("--workloads", default=DEFAULT_WORKLOADS,
                   help="comma-separated subset of %s (default %s)" % (",".join(WORKLOADS), DEFAULT_WORKLOADS))
    p.add_argument("--desktop", action="store_true",
                   help="compare tarnhold's desktop console (on $DISPLAY) with tarnhold headless")
    p.add_argument("--ipv6", action="store_true",
                   help="also tarnhold with ipv6 = yes, its clients on ::1 (column ipv6)")
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
    chosen = [w.strip() for w in args.workloads.split(",") if w.strip()]
    for w in chosen:
        if w not in WORKLOADS:
            raise BenchError("unknown workload %r" % w)
    chosen.sort(key=list(WORKLOADS).index)

    names = ["tarnhold"] + list(PEERS)
    only = [n.strip() for n in args.only.split(",")] if args.only else names
    for n in only:
        if n not in names:
            raise BenchError("unknown server %r (%s)" % (n, ", ".join(names)))
    use_tarnhold = "tarnhold" in only
    peers = [] if args.desktop else [n for n in PEERS if n in only]
    if args.desktop and not os.environ.get("DISPLAY"):
        raise BenchError("--desktop needs a display (bench/desktop.sh starts Xvfb)")
    for path in [args.tarnhold] + ([args.before] if args.before else []):
        if use_tarnhold and not os.access(path, os.X_OK):
            raise BenchError("%s is not an executable; build it first (cmake --build build)" % path)
    if peers and os.geteuid() != 0:
        raise BenchError("the peers' logins need root (chroot and user change)")

    if any(issubclass(WORKLOADS[w], SmallFilesNative) for w in chosen):
        if not os.access(args.fetch, os.X_OK):
            raise BenchError("%s is not an executable; build it first (cmake --build build "
                             "--target ftp_fetch)" % args.fetch)
        SmallFilesNative.client = os.path.abspath(args.fetch)

    base = args.tmpdir or tempfile.gettempdir()
    need = needed_bytes(sizes)
    free = shutil.disk_usage(base).free
    if free < need:
        raise BenchError("%s has %.1f GiB free; the run needs %.1f GiB" % (base, free / (1 << 30), need / (1 << 30)))

    ftp_account = None
    if peers:
        try:
            ftp_account = pwd.getpwnam(args.account)
        except KeyError:
            raise BenchError("the account %s is missing; bench/run.sh creates it" % args.account)

    workdir = tempfile.mkdtemp(prefix="tarnhold-bench-", dir=base)
    servers = []
    try:
        os.chmod(workdir, 0o755)  # the peers' unprivileged account reaches the data below it
        data_dir = os.path.join(workdir, "data")
        os.mkdir(data_dir)
        log("bench: creating %.1f GiB of data in %s" % (need / (1 << 30), workdir))
        data = Data(data_dir, sizes)
        data.create(ftp_account)
        if any(w in TLS_WORKLOADS for w in chosen):
            offer_tls(workdir, data, sizes)
        workloads = [WORKLOADS[w](data) for w in chosen]

        executable = os.path.abspath(args.tarnhold)
        if args.desktop:
            # One window per set of feature bits, as for headless below.
            for bits in sorted({w.features for w in workloads}):
                servers.append(TarnholdDesktop(workdir, executable, data_dir, bits))
        if use_tarnhold:
            for bits in sorted({w.features for w in workloads}):
                servers.append(Tarnhold(workdir, executable, data_dir, bits))
                if args.before:
                    servers.append(Tarnhold(workdir, os.path.abspath(args.before), data_dir, bits,
                                            column="before"))
                if args.ipv6 and any(w.over_ipv6 and w.features == bits for w in workloads):
                    servers.append(TarnholdIPv6(workdir, executable, data_dir, bits))
        for n in peers:
            servers.append(PEERS[n](workdir, os.path.abspath(args.peers), data_dir, ftp_account))
        if use_tarnhold and not args.desktop and args.floor != "none" and \
                any(isinstance(w, SmallFiles) for w in workloads):
            if not os.access(args.floor, os.X_OK):
                raise BenchError("%s is not an executable; build it first (cmake --build build "
                                 "--target ftp_floor) or pass --floor none" % args.floor)
            servers.append(Floor(workdir, os.path.abspath(args.floor), data_dir))
        for s in servers:
            s.start()
            log("bench: %s listens on %s port %d: %s" % (s.name, s.host, s.port, s.version()))
        if peers:
            log("bench: peers' sessions run as %s" % ftp_account.pw_name)
        log("bench: %d CPUs, %d rounds, load average %s" % (os.cpu_count() or 0, sizes["rounds"], load_average()))

        columns = []
        for s in servers:
            if s.column not in columns:
                columns.append(s.column)
        results = []
        for workload in workloads:
            rows = workload.rows()
            runners = [s for s in servers if s.serves(workload)]
            values = [{} for _ in rows]
            # Warm-up rounds (checked, not counted) fill the caches, so that
            # the first server in turn does not pay for a cold start alone.
            for round_no in range(-args.warmup, sizes["rounds"] * workload.round_factor):
                for s in runners:
                    measured = workload.measure(s, round_no)
                    if round_no < 0:
                        continue
                    for row, v, value in zip(rows, values, measured):
                        v.setdefault(s.column, []).append(value)
                        if args.verbose:
                            log("bench: %-32s round %d %-10s %s" % (row.label, round_no + 1, s.name,
                                                                   row.text(value)))
            log("bench: %s done" % ", ".join(r.label for r in rows))
            results.extend(zip(rows, values))
        for s in servers:
            s.check_running()
        # The desktop console may cost the sessions at most a twentieth.
        references = [c for c in ("before", "ipv6", "floor") if c in columns and use_tarnhold]
        print_table(results, columns, sizes["rounds"], limit=0.95 if args.desktop else 0.9,
                    references=references)
        print("All transfers verified (size and BLAKE2b).")
        print("Memory after the run (RSS now, and the main process's peak):")
        for s in servers:
            print("  %-14s %8.2f MiB  peak %8.2f MiB" % (s.name, s.rss() / MiB, s.peak_rss() / MiB))
        print("Load average at the end: %s" % load_average())
    finally:
        for s in servers:
            s.stop()
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


def load_average():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "unknown"


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
