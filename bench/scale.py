#!/usr/bin/env python3
"""Tarnhold with apply_limits = yes against vsftpd, pure-ftpd and ProFTPD
(their own connection limits raised) at many sessions, side by side in
one run on loopback:

  - memory of each server (RSS and PSS summed over all its processes)
    with 10, 100 and 1,000 logged-in idle sessions, and per session
    (what the sessions added to the server's memory at rest, over their
    number): how it grows;
  - 200 clients downloading one file each at once: all together, and the
    slowest client's own rate while all run (as in ftpbench.py).

    bench/run.sh scale [--sessions 10,100,1000] [--clients 200] [--client-size MiB]
                       [--rounds 3] [--only tarnhold,vsftpd,...]

Each table starts and ends with the load average; ratios are tarnhold's
against the best peer of the row (above 1: tarnhold better)."""

import argparse
import os
import pwd
import shutil
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftpbench as fb  # noqa: E402
import sessions as ss  # noqa: E402


def measure_sessions(server, steps):
    """Footprints at rest with 0 and then each number of sessions in
    steps, opened cumulatively; every session is closed at the end."""
    pid = server.process.pid
    time.sleep(1)
    prints = {0: ss.Footprint(pid)}
    held = []
    try:
        for n in steps:
            held += ss.open_sessions(server, n - len(held))
            time.sleep(2)  # settled: forked helpers started, pages touched
            prints[n] = ss.Footprint(pid)
    finally:
        ss.close_sessions(held)
    # The next server starts from a quiet machine.
    ss.wait_until(lambda: ss.Footprint(pid).processes <= prints[0].processes and
                  ss.Footprint(pid).threads <= prints[0].threads, 60)
    return prints


class ManyDownloads(fb.Concurrent):
    """The clients row of ftpbench.py for hundreds of clients. There the
    slowest client is measured up to the moment the first client has its
    whole file; with hundreds of clients started by one Python process the
    first is through before the last has sent its RETR, so every server
    would show 0. Here each client's rate runs from its first byte to its
    last: the slowest is the least any client got while the others ran."""

    @staticmethod
    def slowest(progress, start):
        return min(p[-1][1] / fb.MiB / max(p[-1][0] - p[0][0], 1e-6) for p in progress)


def table(title, header, rows):
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    print("\n" + title)
    for r in [header] + rows:
        print("  ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w)
                        for i, (c, w) in enumerate(zip(r, widths))).rstrip())


def ratio_text(mine, peers, lower_is_better):
    """tarnhold against the best peer: above 1 is better."""
    if not peers:
        return "-"
    best = (min if lower_is_better else max)(peers, key=peers.get)
    over, under = (peers[best], mine) if lower_is_better else (mine, peers[best])
    return ("%.2f %s" % (over / under, best)) if under > 0 else "inf %s" % best


def idle_tables(servers, steps, rounds):
    """Memory at 0 and each number of idle sessions, total and per session."""
    load_before = ss.load_text()
    results = {s.name: [] for s in servers}
    for r in range(rounds):
        for s in servers:
            results[s.name].append(measure_sessions(s, steps))
            print("scale: round %d %s: %s" % (r + 1, s.name, results[s.name][-1][steps[-1]].text()),
                  flush=True)
    load_after = ss.load_text()

    def median(name, n, what):
        return statistics.median(getattr(p[n], what) for p in results[name])

    def per_session(name, n, what):
        return statistics.median((getattr(p[n], what) - getattr(p[0], what)) / n
                                 for p in results[name])

    subject = servers[0].name
    peers = [s.name for s in servers[1:]]
    rows = []
    for n in [0] + steps:
        for what in ("rss", "pss"):
            values = {s.name: median(s.name, n, what) for s in servers}
            rows.append(["%d sessions, %s" % (n, what.upper())] +
                        ["%.2f" % (values[s.name] / fb.MiB) for s in servers] +
                        [ratio_text(values[subject], {k: values[k] for k in peers}, True)])
    print("\n" + load_before)
    table("Total memory of each server (MiB, all its processes; median of %d rounds)" % rounds,
          ["sessions"] + [s.name for s in servers] + ["%s vs best peer" % subject], rows)
    rows = []
    for n in steps:
        for what in ("rss", "pss"):
            values = {s.name: per_session(s.name, n, what) for s in servers}
            rows.append(["%d sessions, %s" % (n, what.upper())] +
                        ["%.1f" % (values[s.name] / ss.KiB) for s in servers] +
                        [ratio_text(values[subject], {k: values[k] for k in peers}, True)])
    table("Memory per session (KiB: added memory over the number of sessions)",
          ["sessions"] + [s.name for s in servers] + ["%s vs best peer" % subject], rows)
    procs = ["%s %d/%d" % (s.name, median(s.name, steps[-1], "processes"),
                           median(s.name, steps[-1], "threads")) for s in servers]
    print("Processes/threads at %d sessions: %s" % (steps[-1], ", ".join(procs)))
    print(load_after)


def main(argv):
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--sessions", default="10,100,1000")
    p.add_argument("--clients", type=int, default=200)
    p.add_argument("--client-size", type=int, default=8, help="MiB per downloading client")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--parts", default="idle,downloads", help="idle, downloads or both")
    p.add_argument("--only", default="tarnhold,vsftpd,pure-ftpd,proftpd")
    p.add_argument("--tarnhold", default=os.path.join(root, "build", "tarnhold"))
    p.add_argument("--peers", default=os.path.join(root, "build", "bench-peers", "root"))
    p.add_argument("--account", default="ftpbench")
    p.add_argument("--tmpdir", default=None)
    args = p.parse_args(argv)
    steps = [int(n) for n in args.sessions.split(",")]
    names = [n.strip() for n in args.only.split(",")]
    ss.raise_descriptor_limit()
    account = pwd.getpwnam(args.account)

    sizes = {"download": fb.MiB, "upload": fb.MiB, "small_count": 1, "small_size": 4096,
             "list_count": 1, "modern_list_count": 1, "clients": args.clients,
             "client_size": args.client_size * fb.MiB}
    workdir = tempfile.mkdtemp(prefix="tarnhold-scale-", dir=args.tmpdir)
    servers = []
    try:
        os.chmod(workdir, 0o755)
        data_dir = os.path.join(workdir, "data")
        os.mkdir(data_dir)
        data = fb.Data(data_dir, sizes)
        data.create(account)
        if "tarnhold" in names:
            servers.append(ss.TarnholdLimits(workdir, os.path.abspath(args.tarnhold), data_dir))
        for n in names:
            if n in ss.PEERS_MANY:
                servers.append(ss.PEERS_MANY[n](workdir, os.path.abspath(args.peers), data_dir, account))
        for s in servers:
            s.start()
            print("scale: %s listens on port %d: %s" % (s.name, s.port, s.version()), flush=True)

        parts = args.parts.split(",")
        if "idle" in parts:
            idle_tables(servers, steps, args.rounds)
        if "downloads" in parts:
            download_table(servers, ManyDownloads(data), args)
        for s in servers:
            s.check_running()
    finally:
        for s in servers:
            s.stop()
        shutil.rmtree(workdir, ignore_errors=True)


def download_table(servers, workload, args):
    """Many clients downloading at once: all together and the slowest."""
    subject = servers[0].name
    peers = [s.name for s in servers[1:]]
    load_before = ss.load_text()
    values = {s.name: [] for s in servers}
    for r in range(args.rounds):
        for s in servers:
            values[s.name].append(workload.measure(s, r))
    load_after = ss.load_text()
    rows = []
    for i, label in enumerate(("all together", "slowest client")):
        med = {s.name: statistics.median(v[i] for v in values[s.name]) for s in servers}
        rows.append([label] + ["%.1f" % med[s.name] for s in servers] +
                    [ratio_text(med[subject], {k: med[k] for k in peers}, False)])
    print("\n" + load_before)
    table("%d clients downloading %d MiB each at once (MiB/s, median of %d rounds)"
          % (args.clients, args.client_size, args.rounds),
          ["rate"] + [s.name for s in servers] + ["%s vs best peer" % subject], rows)
    print(load_after)


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except fb.BenchError as e:
        print("scale: %s" % e, file=sys.stderr)
        sys.exit(1)
