#!/usr/bin/env python3
"""Soak: tarnhold with apply_limits = yes on loopback while clients come
and go in waves for a bounded time (30 minutes by default). Each wave
opens a number of logged-in sessions (cycling through --waves), and while
they are idle a few more clients download a file and list the folder;
then every client leaves, half with QUIT, half by closing. After each wave
the server's memory (RSS and PSS), descriptors and threads are measured
once its sessions have ended, and must come back to the values it had
before the first wave (memory within a small margin: see the end).

    bench/run.sh soak [--minutes 30] [--waves 1000,200,600] [--tarnhold build/tarnhold]

Loopback only; nothing but the server it starts and its temporary folder
is touched."""

import argparse
import os
import shutil
import signal
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftpbench as fb  # noqa: E402
import sessions as ss  # noqa: E402

ACTIVE_CLIENTS = 32
FILE_SIZE = 4 * fb.MiB
FILE_COUNT = 8


def make_data(folder):
    data = fb.Data(folder, {})
    os.chmod(folder, 0o755)
    for i in range(FILE_COUNT):
        data.write("f%d.bin" % i, FILE_SIZE)
    return data


def active_client(server, data, i):
    """A client that downloads a file (checked) and lists, then leaves."""
    ftp = fb.login(server)
    try:
        name = "f%d.bin" % (i % FILE_COUNT)
        buffer = bytearray(FILE_SIZE)
        got = fb.receive(ftp, "RETR " + name, buffer)
        data.check(name, buffer, got)
        names = ftp.nlst()
        if name not in names:
            raise fb.BenchError("NLST lacks %s: %r" % (name, names))
    finally:
        fb.logout(ftp)


def wave(server, data, count):
    """One wave; returns the footprint while all of it was connected."""
    sessions = ss.open_sessions(server, count)
    try:
        peak = ss.Footprint(server.process.pid)
        with ThreadPoolExecutor(8) as pool:
            list(pool.map(lambda i: active_client(server, data, i), range(ACTIVE_CLIENTS)))
        # Still all there after the active ones came and went.
        probe = sessions[len(sessions) // 2]
        if not probe.command("NOOP").startswith(b"200"):
            raise fb.BenchError("an idle session did not answer NOOP")
    finally:
        half = len(sessions) // 2
        ss.close_sessions(sessions[:half], quit=True)
        ss.close_sessions(sessions[half:], quit=False)
    return peak


def settled(server, start):
    """Waits until the server holds no more threads and descriptors than
    at the start (its sessions have ended), then a moment more."""
    pid = server.process.pid
    ss.wait_until(lambda: (lambda f: f.threads <= start.threads and f.fds <= start.fds)(
        ss.Footprint(pid)), 60)
    time.sleep(2)
    return ss.Footprint(pid)


def main(argv):
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--minutes", type=float, default=30)
    p.add_argument("--waves", default="1000,200,600", help="sessions per wave, in turn")
    p.add_argument("--tarnhold", default=os.path.join(root, "build", "tarnhold"))
    p.add_argument("--tmpdir", default=None)
    args = p.parse_args(argv)
    sizes = [int(n) for n in args.waves.split(",")]
    ss.raise_descriptor_limit()

    workdir = tempfile.mkdtemp(prefix="tarnhold-soak-", dir=args.tmpdir)
    server = None
    try:
        os.chmod(workdir, 0o755)
        data_dir = os.path.join(workdir, "data")
        os.mkdir(data_dir)
        data = make_data(data_dir)
        server = ss.TarnholdLimits(workdir, os.path.abspath(args.tarnhold), data_dir)
        server.start()
        print("soak: %s on port %d, waves of %s sessions plus %d downloading clients, %g minutes"
              % (server.version(), server.port, args.waves, ACTIVE_CLIENTS, args.minutes), flush=True)
        time.sleep(2)
        start = ss.Footprint(server.process.pid)
        print("start          %s  %s" % (start.text(), ss.load_text()), flush=True)
        began = time.monotonic()
        n = 0
        afters = []
        while time.monotonic() - began < args.minutes * 60:
            count = sizes[n % len(sizes)]
            n += 1
            peak = wave(server, data, count)
            server.check_running()
            after = settled(server, start)
            afters.append(after)
            print("wave %3d %5d  peak %s" % (n, count, peak.text()), flush=True)
            print("         after %s  %s  t=%.0fs" % (after.text(), ss.load_text(),
                                                      time.monotonic() - began), flush=True)
        last = afters[-1]
        most = max(a.rss for a in afters)
        print("\nsoak: %d waves in %.1f minutes; after every wave threads %s, descriptors %s;"
              % (n, (time.monotonic() - began) / 60,
                 "back to %d" % start.threads if all(a.threads == start.threads for a in afters)
                 else "NOT back (%s)" % sorted({a.threads for a in afters}),
                 "back to %d" % start.fds if all(a.fds == start.fds for a in afters)
                 else "NOT back (%s)" % sorted({a.fds for a in afters})))
        print("      RSS at start %.2f MiB, after the first wave %.2f, after the last %.2f, "
              "highest after a wave %.2f; PSS at start %.2f, after the last %.2f MiB"
              % (start.rss / fb.MiB, afters[0].rss / fb.MiB, last.rss / fb.MiB, most / fb.MiB,
                 start.pss / fb.MiB, last.pss / fb.MiB), flush=True)
    finally:
        if server is not None:
            server.stop()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    # Stopped from outside, it still stops its server and removes its folder.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        main(sys.argv[1:])
    except fb.BenchError as e:
        print("soak: %s" % e, file=sys.stderr)
        sys.exit(1)
