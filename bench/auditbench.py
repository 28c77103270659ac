"""What hashed passwords and the transfer log cost, side by side in one run
on loopback: tarnhold against itself with each setting off and on.

    auditbench.py [--tarnhold PATH] [--rounds N] [--logins N] [--small N]

Rows (medians of interleaved rounds, off and on in alternating order):
  - logins per second, one after the other (connect, USER, PASS, QUIT),
    password_storage plain (a plain password) against hashed (an argon2id
    hash stored);
  - 20 logins at once: the time until all 20 are in, and the server's peak
    resident memory (VmHWM of a server started afresh for the round);
  - the small-files row of ftpbench.py (one control connection, PASV and
    RETR per 4 KiB file) with transfer_log off against on.
The load average is printed before and after: the machine may be shared.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftpbench  # noqa: E402
from ftpbench import LOOPBACK, Data, SmallFiles, Tarnhold, load_average, login, logout  # noqa: E402

import ftplib  # noqa: E402


class AuditTarnhold(Tarnhold):
    """Tarnhold with a tarnhold.conf of its own and, when given, a stored
    password text in place of the plain one."""

    def __init__(self, workdir, executable, data_dir, name, conf="", stored=None):
        super().__init__(workdir, executable, data_dir, name=name)
        self.conf = conf
        self.stored_password = stored


def hash_of(executable, password):
    """The argon2id string `tarnhold account password` stores."""
    folder = tempfile.mkdtemp(prefix="auditbench-hash-")
    try:
        run = lambda *args, stdin=b"": subprocess.run(
            [executable, "--config-dir", folder] + list(args), input=stdin, check=True,
            capture_output=True)
        run("option", "set", "password_storage", "hashed")
        run("account", "add", "x")
        run("account", "password", "x", stdin=password.encode() + b"\n")
        with open(os.path.join(folder, "tarnhold.bot"), newline="") as f:
            lines = f.read().split("\r\n")
        return next(line for line in lines if line.startswith("$argon2id$"))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def one_login(server):
    ftp = ftplib.FTP(timeout=60)
    ftp.connect(LOOPBACK, server.port)
    ftp.login(server.user, server.password)
    logout(ftp)


def logins_per_second(server, count):
    start = time.perf_counter()
    for _ in range(count):
        one_login(server)
    return count / (time.perf_counter() - start)


def logins_at_once(server, count=20):
    """Seconds until `count` clients that log in together are all in."""
    clients = []
    for _ in range(count):
        ftp = ftplib.FTP(timeout=60)
        ftp.connect(LOOPBACK, server.port)
        ftp.sendcmd("USER " + server.user)
        clients.append(ftp)
    barrier = threading.Barrier(count + 1)
    errors = []

    def go(ftp):
        barrier.wait()
        try:
            ftp.sendcmd("PASS " + server.password)
        except ftplib.Error as e:
            errors.append(e)

    threads = [threading.Thread(target=go, args=(c,)) for c in clients]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - start
    for ftp in clients:
        logout(ftp)
    if errors:
        raise ftpbench.BenchError("a login failed: %r" % errors[0])
    return elapsed


def interleaved(rounds, pair, measure):
    """Medians of measure(server) for the two servers of pair, run in
    alternating order round by round."""
    values = {s.name: [] for s in pair}
    for r in range(rounds):
        for server in (pair if r % 2 == 0 else pair[::-1]):
            values[server.name].append(measure(server))
    return [statistics.median(values[s.name]) for s in pair]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tarnhold", default="build/tarnhold")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--logins", type=int, default=40)
    parser.add_argument("--small", type=int, default=500)
    parser.add_argument("--only", choices=("logins", "small"), help="one group of rows only")
    args = parser.parse_args(argv)
    executable = os.path.abspath(args.tarnhold)

    print("load average before: %s" % load_average(), flush=True)
    workdir = tempfile.mkdtemp(prefix="auditbench-")
    servers = []
    try:
        data_dir = os.path.join(workdir, "data")
        os.mkdir(data_dir)
        sizes = dict(ftpbench.FULL, small_count=args.small)
        data = Data(data_dir, sizes)
        os.makedirs(os.path.join(data_dir, "small"))
        for i in range(sizes["small_count"]):
            data.write("small/s%04d.bin" % i, sizes["small_size"])
        hashed = hash_of(executable, Tarnhold.password)

        plain = AuditTarnhold(workdir, executable, data_dir, "plain")
        hashing = AuditTarnhold(workdir, executable, data_dir, "hashed",
                                conf="password_storage = hashed\n", stored=hashed)
        logged = AuditTarnhold(workdir, executable, data_dir, "xferlog",
                               conf="transfer_log = xferlog\n")
        servers = [plain, hashing, logged]
        for s in servers:
            s.start()
        rows = []
        logins = args.only in (None, "logins")
        smalls = args.only in (None, "small")

        off, on = (0, 0) if not logins else interleaved(args.rounds, [plain, hashing],
                              lambda s: logins_per_second(s, args.logins))
        if logins:
            rows.append(("%d logins one after the other" % args.logins, "logins/s", off, on))

        def at_once(server):
            # A fresh process for each round: VmHWM is a high-water mark.
            server.stop()
            server.start()
            seconds = logins_at_once(server)
            return seconds, server.peak_rss() / ftpbench.MiB

        # Time and memory of the same rounds, plain and hashed in turns.
        times = {s.name: [] for s in (plain, hashing)}
        peaks = {s.name: [] for s in (plain, hashing)}
        for r in range(max(3, args.rounds // 3) if logins else 0):
            for s in ((plain, hashing) if r % 2 == 0 else (hashing, plain)):
                seconds, peak = at_once(s)
                times[s.name].append(seconds)
                peaks[s.name].append(peak)
        if logins:
            rows.append(("20 logins at once: time until all are in", "s",
                         statistics.median(times["plain"]), statistics.median(times["hashed"])))
            rows.append(("20 logins at once: peak resident memory", "MiB",
                         statistics.median(peaks["plain"]), statistics.median(peaks["hashed"])))

        if smalls:
            small = SmallFiles(data)
            off, on = interleaved(args.rounds * 3, [plain, logged],
                                  lambda s: small.measure(s, 0)[0])
            rows.append(("%d files of 4 KiB, transfer_log off / on" % sizes["small_count"],
                         "files/s", off, on))
        written = 0
        if smalls:
            logged.stop()  # writes what is queued
            with open(os.path.join(logged.config_dir, "xferlog")) as f:
                written = sum(1 for _ in f)

        print("%-48s %12s %12s %8s" % ("row", "off", "on", "on/off"))
        for label, unit, off, on in rows:
            print("%-48s %9.2f %-2s %9.2f %-2s %8.3f" % (label, off, unit[:2], on, unit[:2], on / off))
        print("transfer log lines written: %d" % written)
        print("load average after: %s" % load_average(), flush=True)
    finally:
        for s in servers:
            s.stop()
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
