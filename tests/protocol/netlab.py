"""A network lab for protocol tests: a desktop on a home network behind a
NAT router, and an "internet" host outside it, built from network
namespaces and veth pairs as root, and torn down completely afterwards.

    home 198.18.0.2 --+
                      +-- br0 198.18.0.1 [router] wan0 203.0.113.1 --- internet 203.0.113.50
    lan  198.18.0.3 --+

With ipv6=True the lab also has IPv6 from the documentation range
2001:db8::/32, routed without NAT as homes get it: home 2001:db8:1::2 and
lan 2001:db8:1::3 behind the router's 2001:db8:1::1, internet host
2001:db8:ff::50 (and ::51 of the same /64, and 2001:db8:fe::50 of another
/64) behind its 2001:db8:ff::1. The router's firewall lets IPv6 from the
internet into the home network only where allow6() opens ports.

The router forwards and masquerades the home network to the internet; the
internet host has no route to 198.18.0.0/15 and reaches the home network
only through ports the router forwards: by hand (forward) or by its own
UPnP IGD / NAT-PMP service (start_miniupnpd). Only ranges reserved for
benchmarking and documentation are used, and only inside the namespaces
the lab makes; the host's own interfaces and firewall are never touched.

    class MyTest(unittest.TestCase):
        def test_forwarded(self):
            lab = netlab.NetLab.for_test(self)   # skips when it cannot be built
            listener = lab.home.listen(5555)
            lab.forward(5555)
            client = lab.internet.client(lab.PUBLIC, 5555)

A server executable runs in the home namespace through the harness:
    server = harness.ServerProcess(path, args, netns=lab.home.netns).start()
Code of the test itself runs in a namespace inside `with lab.home.inside():`
(sockets made there stay in that namespace after the block).
"""

import atexit
import collections
import contextlib
import ctypes
import os
import re
import secrets
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import uuid
import weakref

import harness

CLONE_NEWNET = 0x40000000
NETNS_DIR = "/run/netns"
PREFIX = "tnlab"
# The skip reason when the lab itself cannot be built; ctest reports a
# test whose output says so as skipped (tests/protocol/CMakeLists.txt).
UNAVAILABLE = "network lab unavailable: "

Mapping = collections.namedtuple("Mapping", "protocol external_port address port")

_libc = ctypes.CDLL(None, use_errno=True)


def _setns(fd):
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        err = ctypes.get_errno()
        raise OSError(err, "setns: " + os.strerror(err))


def _run(argv, input=None, timeout=30, check=True):
    result = subprocess.run(argv, input=input, capture_output=True, text=True, timeout=timeout)
    if check and result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(argv), result.returncode,
                                                   result.stderr.strip()))
    return result


def _lab_namespaces():
    try:
        return sorted(n for n in os.listdir(NETNS_DIR) if n.startswith(PREFIX + "-"))
    except FileNotFoundError:
        return []


def _process_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


def _kill_inside(netns):
    """Kills whatever still runs in a namespace of a lab; returns the pids."""
    pids = [int(p) for p in _run(["ip", "netns", "pids", netns], check=False).stdout.split()]
    for pid in pids:
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)
    return pids


def _sweep_stale():
    """Removes the namespaces of labs whose process died without closing
    them (a test run killed by its time-out): they hold nothing of a live
    test, but their names and processes would linger until reboot."""
    def stale(name):
        parts = name.split("-")
        return len(parts) >= 3 and parts[1].isdigit() and not _process_alive(int(parts[1]))

    for name in filter(stale, _lab_namespaces()):
        _kill_inside(name)
        _run(["ip", "netns", "del", name], check=False)
    tmp = tempfile.gettempdir()
    for name in os.listdir(tmp):
        if name.startswith(PREFIX + "-") and stale(name):
            shutil.rmtree(os.path.join(tmp, name), ignore_errors=True)


class Host:
    """One party of the lab: a network namespace with one address."""

    def __init__(self, lab, role, netns, address):
        self.lab = lab
        self.role = role
        self.netns = netns  # the namespace's name, for `ip netns exec`
        self.address = address

    def __repr__(self):
        return "<Host %s %s>" % (self.role, self.address)

    def command(self, argv):
        """argv run inside this host's namespace."""
        return ["ip", "netns", "exec", self.netns] + list(argv)

    def run(self, argv, timeout=30, check=False, **kwargs):
        """Runs a program here to its end; its output is captured as text
        unless told otherwise. Returns the CompletedProcess."""
        kwargs.setdefault("capture_output", True)
        kwargs.setdefault("text", True)
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        return subprocess.run(self.command(argv), timeout=timeout, check=check, **kwargs)

    def popen(self, argv, **kwargs):
        """Starts a program here; the lab ends it at close if it still runs."""
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        process = subprocess.Popen(self.command(argv), **kwargs)
        self.lab._processes.append(process)
        return process

    @contextlib.contextmanager
    def inside(self):
        """The calling thread runs in this host's namespace for the block:
        sockets made there (ftplib's, harness.Client's) belong to it, and
        stay there after the block. Threads started in the block inherit it."""
        home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        target = os.open(os.path.join(NETNS_DIR, self.netns), os.O_RDONLY)
        try:
            _setns(target)
            try:
                yield self
            finally:
                # Raises when it cannot return: the rest of the test must
                # not run in the lab unnoticed.
                _setns(home)
        finally:
            os.close(target)
            os.close(home)

    def listen(self, port, address="0.0.0.0", backlog=16):
        """A TCP socket listening here (IPv6 when the address is); closed by
        the lab at close."""
        family = socket.AF_INET6 if ":" in address else socket.AF_INET
        with self.inside():
            sock = socket.socket(family, socket.SOCK_STREAM)
        self.lab._sockets.append(sock)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((address, port))
        sock.listen(backlog)
        return sock

    def client(self, address, port, timeout=10, source=None):
        """A harness.Client connected from here to address:port, from the
        address `source` of this host when given (raises OSError when it
        cannot connect); closed by the lab at close."""
        with self.inside():
            client = harness.Client(port, timeout=timeout, host=address, source=source)
        self.lab._sockets.append(client.sock)
        return client


class NetLab:
    """The lab: hosts home, lan, router and internet (Host objects), built
    by the constructor; close() (also by `with` or for_test's cleanup)
    removes every namespace, veth, process and file it made, and fails when
    something is left behind."""

    HOME_NETWORK = "198.18.0.0/24"
    ROUTER = "198.18.0.1"      # the router on the home network (gateway, UPnP, NAT-PMP)
    HOME = "198.18.0.2"        # the desktop
    LAN = "198.18.0.3"         # another machine of the owner's network
    PUBLIC = "203.0.113.1"     # the router's public address
    INTERNET = "203.0.113.50"  # a client out on the internet
    # IPv6 (ipv6=True): the home's /64 and the internet's, no NAT.
    ROUTER6 = "2001:db8:1::1"
    HOME6 = "2001:db8:1::2"
    LAN6 = "2001:db8:1::3"
    PUBLIC6 = "2001:db8:ff::1"       # the router's internet side
    INTERNET6 = "2001:db8:ff::50"    # a client out on the internet ...
    INTERNET6_SAME64 = "2001:db8:ff::51"  # ... another address of its /64
    INTERNET6_OTHER64 = "2001:db8:fe::50"  # ... and one of another /64
    STUN_PORT = 3478           # the internet host's STUN responder (UDP)
    WAN_IF = "wan0"            # the router's internet side
    LAN_IF = "br0"             # the router's home side

    _probe = None  # cached result of the namespace probe
    _open = weakref.WeakSet()

    @classmethod
    def available(cls, *programs):
        """None when the lab can be built here and every program named
        (e.g. "miniupnpd", "upnpc", "natpmpc") is installed; otherwise the
        reason, for skipTest. A lab that cannot be built at all gives a
        reason beginning with UNAVAILABLE."""
        if cls._probe is None:
            cls._probe = cls._probe_namespaces()
        if cls._probe:
            return cls._probe
        for program in programs:
            if shutil.which(program) is None:
                return "%s is not installed (scripts/install-deps.sh installs it)" % program
            if program == "miniupnpd":
                version = _run([program, "--version"], check=False)
                if "nftables" not in version.stdout + version.stderr:
                    return "miniupnpd is not the nftables build (package miniupnpd-nftables)"
        return None

    @staticmethod
    def _probe_namespaces():
        if os.geteuid() != 0:
            return UNAVAILABLE + "not root"
        for program, package in (("ip", "iproute2"), ("nft", "nftables")):
            if shutil.which(program) is None:
                return UNAVAILABLE + "no %s (package %s)" % (program, package)
        name = "%s-%d-probe" % (PREFIX, os.getpid())
        made = _run(["ip", "netns", "add", name], check=False)
        if made.returncode != 0:
            return UNAVAILABLE + "cannot make a network namespace: " + made.stderr.strip()
        try:
            for argv in (["link", "add", "br0", "type", "bridge"],
                         ["link", "add", "a0", "type", "veth", "peer", "name", "b0"]):
                result = _run(["ip", "-n", name] + argv, check=False)
                if result.returncode != 0:
                    return UNAVAILABLE + "ip %s: %s" % (" ".join(argv), result.stderr.strip())
            result = _run(["ip", "netns", "exec", name, "nft", "add", "table", "inet", "probe"],
                          check=False)
            if result.returncode != 0:
                return UNAVAILABLE + "nftables in a namespace: " + result.stderr.strip()
        finally:
            _run(["ip", "netns", "del", name], check=False)
        return ""

    @classmethod
    def for_test(cls, test, *programs, ipv6=False):
        """A lab for a unittest test, closed by its cleanup whatever the
        outcome; skips the test with the reason when it cannot be had."""
        reason = cls.available(*programs)
        if not reason and ipv6 and not os.path.exists("/proc/sys/net/ipv6"):
            reason = UNAVAILABLE + "the kernel has no IPv6"
        if reason:
            test.skipTest(reason)
        lab = cls(ipv6=ipv6)
        test.addCleanup(lab.close)
        return lab

    def __init__(self, ipv6=False):
        self.ipv6 = ipv6
        _sweep_stale()
        tag = "%s-%d-%s" % (PREFIX, os.getpid(), secrets.token_hex(3))
        self.tag = tag
        self._closed = False
        self._processes = []
        self._sockets = []
        self._miniupnpd = None
        self._stun = None
        self.miniupnpd_log = []  # miniupnpd's lines (it logs to stderr)
        self.igd_url = None  # its UPnP description, for `upnpc -u` (skips discovery)
        self._log_changed = threading.Condition()
        self.dir = tempfile.mkdtemp(prefix=tag + "-")
        self.home = Host(self, "home", tag + "-home", self.HOME)
        self.lan = Host(self, "lan", tag + "-lan", self.LAN)
        self.router = Host(self, "router", tag + "-router", self.PUBLIC)
        self.internet = Host(self, "internet", tag + "-inet", self.INTERNET)
        self.hosts = (self.home, self.lan, self.router, self.internet)
        NetLab._open.add(self)
        try:
            self._build()
        except BaseException:
            with contextlib.suppress(Exception):
                self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _batch(self, host, lines):
        _run(["ip", "-n", host.netns, "-batch", "-"], input="\n".join(lines) + "\n")

    def _build(self):
        for host in self.hosts:
            _run(["ip", "netns", "add", host.netns])
        # The router's end of each pair is made in the router and its peer
        # straight in the other namespace: no name ever appears on the host.
        self._batch(self.router, [
            "link set lo up",
            "link add %s type bridge" % self.LAN_IF,
            "link add home0 type veth peer name eth0 netns " + self.home.netns,
            "link add lan0 type veth peer name eth0 netns " + self.lan.netns,
            "link add %s type veth peer name eth0 netns %s" % (self.WAN_IF, self.internet.netns),
            "link set home0 master " + self.LAN_IF,
            "link set lan0 master " + self.LAN_IF,
            "addr add %s/24 dev %s" % (self.ROUTER, self.LAN_IF),
            "addr add %s/24 dev %s" % (self.PUBLIC, self.WAN_IF),
            "link set home0 up",
            "link set lan0 up",
            "link set %s up" % self.LAN_IF,
            "link set %s up" % self.WAN_IF,
        ])
        for host in (self.home, self.lan):
            self._batch(host, ["link set lo up",
                               "addr add %s/24 dev eth0" % host.address,
                               "link set eth0 up",
                               "route add default via " + self.ROUTER])
        # The internet knows no route to the home network: only the
        # router's public address is reachable from there.
        self._batch(self.internet, ["link set lo up",
                                    "addr add %s/24 dev eth0" % self.INTERNET,
                                    "link set eth0 up"])
        with self.router.inside():
            with open("/proc/sys/net/ipv4/ip_forward", "w") as f:
                f.write("1")
        if self.ipv6:
            self._build_ipv6()
        # A home router: outgoing IPv4 connections masqueraded (IPv6 is
        # routed as it is), incoming ones only where a port is forwarded
        # (DNAT here or miniupnpd's) or, for IPv6, opened (allow6).
        self._nft("""
table inet lab {
    chain prerouting { type nat hook prerouting priority dstnat; policy accept; }
    chain postrouting {
        type nat hook postrouting priority srcnat; policy accept;
        oifname "%(wan)s" meta nfproto ipv4 masquerade
    }
    chain forward {
        type filter hook forward priority filter; policy drop;
        ct state established,related accept
        iifname != "%(wan)s" accept
        ct status dnat accept
    }
}
""" % {"wan": self.WAN_IF})

    def _build_ipv6(self):
        # nodad: the addresses serve at once, without the seconds of
        # duplicate address detection.
        self._batch(self.router, [
            "addr add %s/64 dev %s nodad" % (self.ROUTER6, self.LAN_IF),
            "addr add %s/64 dev %s nodad" % (self.PUBLIC6, self.WAN_IF),
            "route add 2001:db8:fe::/64 via %s dev %s" % (self.INTERNET6, self.WAN_IF),
        ])
        for host, address in ((self.home, self.HOME6), (self.lan, self.LAN6)):
            self._batch(host, ["addr add %s/64 dev eth0 nodad" % address,
                               "route add default via " + self.ROUTER6])
        self._batch(self.internet, [
            "addr add %s/64 dev eth0 nodad" % self.INTERNET6,
            "addr add %s/64 dev eth0 nodad" % self.INTERNET6_SAME64,
            "addr add %s/64 dev eth0 nodad" % self.INTERNET6_OTHER64,
            "route add default via " + self.PUBLIC6,
        ])
        with self.router.inside():
            with open("/proc/sys/net/ipv6/conf/all/forwarding", "w") as f:
                f.write("1")

    def allow6(self, ports, to=None):
        """Opens the router's firewall for IPv6 connections from the
        internet to the home host (or `to`) on ports (a port or a (first,
        last) range): what an owner does for a server on IPv6, where
        nothing is forwarded. Returns a handle for unforward()."""
        dport = str(ports) if isinstance(ports, int) else "%d-%d" % ports
        result = _run(self.router.command([
            "nft", "--echo", "--handle", "insert", "rule", "inet", "lab", "forward",
            "ip6", "daddr", to or self.HOME6, "tcp", "dport", dport, "accept"]))
        match = re.search(r"# handle (\d+)", result.stdout)
        if not match:
            raise RuntimeError("nft gave no handle: %r" % result.stdout)
        return ("forward", int(match.group(1)))

    def _nft(self, script):
        return _run(self.router.command(["nft", "-f", "-"]), input=script)

    # Hand-made port forwards

    def forward(self, ports, to=None, to_port=None, protocol="tcp"):
        """Forwards connections to the router's public address on ports (a
        port, or a (first, last) range kept port for port) to the home host,
        or to `to` (an address on the home network), on to_port when given
        (single ports only). Returns a handle for unforward(). Connections
        already made outlive unforward; new ones are refused."""
        if isinstance(ports, int):
            dport, target = str(ports), "%s:%d" % (to or self.HOME, to_port or ports)
        else:
            first, last = ports
            if to_port is not None:
                raise ValueError("a forwarded range keeps its ports")
            dport, target = "%d-%d" % (first, last), to or self.HOME
        result = _run(self.router.command([
            "nft", "--echo", "--handle", "add", "rule", "inet", "lab", "prerouting",
            "iifname", self.WAN_IF, protocol, "dport", dport, "dnat", "ip", "to", target]))
        match = re.search(r"# handle (\d+)", result.stdout)
        if not match:
            raise RuntimeError("nft gave no handle: %r" % result.stdout)
        return int(match.group(1))

    def unforward(self, handle):
        """Removes a forward made by forward() or an opening by allow6()."""
        chain, number = handle if isinstance(handle, tuple) else ("prerouting", handle)
        _run(self.router.command(["nft", "delete", "rule", "inet", "lab", chain,
                                  "handle", str(number)]))

    # miniupnpd, the router's UPnP IGD and NAT-PMP service

    def start_miniupnpd(self, upnp=True, natpmp=True, refuse=(), timeout=20):
        """Starts miniupnpd in the router (home side br0, internet side
        wan0, secure mode, mappings of ports 1024-65535 for the home
        network, except the ports in refuse) with UPnP IGD and/or NAT-PMP,
        and waits until it serves;
        igd_url is then its UPnP description's address. Raises RuntimeError
        with its log when it does not start."""
        if self._miniupnpd is not None:
            raise RuntimeError("miniupnpd already runs")
        # miniupnpd refuses to forward when its external address lies in a
        # reserved range (203.0.113.0/24 is one), and refuses such an ext_ip=
        # too; told by STUN that the address is reachable unfiltered, it
        # forwards. The internet host answers its STUN requests.
        self._start_stun()
        self._nft("""
table inet miniupnpd {
    chain forward { type filter hook forward priority filter; policy accept; jump miniupnpd; }
    chain miniupnpd { }
    chain prerouting { type nat hook prerouting priority dstnat; policy accept; jump prerouting_miniupnpd; }
    chain postrouting { type nat hook postrouting priority srcnat; policy accept; jump postrouting_miniupnpd; }
    chain prerouting_miniupnpd { }
    chain postrouting_miniupnpd { }
}
""")
        conf = os.path.join(self.dir, "miniupnpd.conf")
        with open(conf, "w") as f:
            f.write("\n".join([
                "ext_ifname=" + self.WAN_IF,
                "listening_ip=" + self.LAN_IF,
                "enable_upnp=" + ("yes" if upnp else "no"),
                "enable_natpmp=" + ("yes" if natpmp else "no"),
                "secure_mode=yes",
                "ext_perform_stun=yes",
                "ext_stun_host=" + self.INTERNET,
                "ext_stun_port=%d" % self.STUN_PORT,
                "upnp_table_name=miniupnpd",
                "upnp_nat_table_name=miniupnpd",
                "uuid=%s" % uuid.uuid4(),
            ] + ["deny %d 0.0.0.0/0 0-65535" % port for port in refuse] + [
                "allow 1024-65535 198.18.0.0/15 1024-65535",
                "deny 0-65535 0.0.0.0/0 0-65535",
            ]) + "\n")
        self.miniupnpd_log = []
        # -d: in the foreground, logging to stderr; -P: a pid file of its own,
        # so that labs running side by side do not take each other's.
        process = self.router.popen(
            ["miniupnpd", "-f", conf, "-d", "-P", os.path.join(self.dir, "miniupnpd.pid")],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        reader = threading.Thread(target=self._read_miniupnpd, args=(process,), daemon=True)
        reader.start()
        self._miniupnpd = (process, reader)
        wanted = ["does not block incoming connections"]  # STUN found forwarding possible
        if upnp:
            wanted.append("HTTP listening on port")
        if natpmp:
            wanted.append("Listening for NAT-PMP")
        deadline = time.monotonic() + timeout
        with self._log_changed:
            while not all(any(w in line for line in self.miniupnpd_log) for w in wanted):
                left = deadline - time.monotonic()
                if process.poll() is not None or left <= 0:
                    raise RuntimeError("miniupnpd did not start (exit %s):\n%s"
                                       % (process.poll(), "\n".join(self.miniupnpd_log)))
                self._log_changed.wait(min(left, 0.2))
        self.igd_url = None
        for line in self.miniupnpd_log:
            match = re.search(r"HTTP listening on port (\d+)", line)
            if match:
                self.igd_url = "http://%s:%s/rootDesc.xml" % (self.ROUTER, match.group(1))

    def _read_miniupnpd(self, process):
        for raw in process.stderr:
            with self._log_changed:
                self.miniupnpd_log.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self._log_changed.notify_all()

    def stop_miniupnpd(self):
        """Ends miniupnpd and removes its rules."""
        if self._miniupnpd is None:
            return
        (process, reader), self._miniupnpd = self._miniupnpd, None
        self._end(process)
        reader.join()
        process.stderr.close()
        self._processes.remove(process)
        _run(self.router.command(["nft", "delete", "table", "inet", "miniupnpd"]), check=False)

    def mappings(self):
        """miniupnpd's port mappings as the router's ruleset holds them,
        sorted: Mapping(protocol, external_port, address, port)."""
        result = _run(self.router.command(["nft", "list", "chain", "inet", "miniupnpd",
                                           "prerouting_miniupnpd"]), check=False)
        protocols = {"0x6": "tcp", "0x11": "udp"}
        found = re.findall(r"@nh,72,8 (0x6|0x11) th dport (\d+) dnat ip to ([\d.]+):(\d+)",
                           result.stdout)
        return sorted(Mapping(protocols[p], int(e), a, int(i)) for p, e, a, i in found)

    def drained_mappings(self, timeout=240):
        """mappings() once miniupnpd has ended the removals under way (none
        left, or none removed for 10 seconds), or when timeout has passed."""
        deadline = time.monotonic() + timeout
        left, since = self.mappings(), time.monotonic()
        while left and time.monotonic() < min(deadline, since + 10):
            time.sleep(0.2)
            now = self.mappings()
            if len(now) < len(left):
                since = time.monotonic()
            left = now
        return left

    def ruleset(self):
        """The router's whole nftables ruleset, as text."""
        return _run(self.router.command(["nft", "list", "ruleset"])).stdout

    def _start_stun(self):
        if self._stun is not None:
            return
        with self.internet.inside():
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind((self.INTERNET, self.STUN_PORT))
        stop = threading.Event()
        thread = threading.Thread(target=self._serve_stun, args=(sock, stop), daemon=True)
        thread.start()
        self._stun = (sock, stop, thread)

    @staticmethod
    def _serve_stun(sock, stop):
        # Every Binding Request gets a success response naming its source
        # (MAPPED-ADDRESS): the answer of a STUN server that sees no NAT.
        while not stop.is_set():
            ready, _, _ = select.select([sock], [], [], 0.1)
            if not ready:
                continue
            data, (host, port) = sock.recvfrom(2048)
            if len(data) < 20 or data[:2] != b"\x00\x01":
                continue
            mapped = struct.pack("!HHxBH4s", 0x0001, 8, 1, port, socket.inet_aton(host))
            sock.sendto(b"\x01\x01" + struct.pack("!H", len(mapped)) + data[4:20] + mapped,
                        (host, port))

    # Teardown

    @staticmethod
    def _end(process):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def close(self):
        """Ends every process the lab started or that still runs in its
        namespaces, closes its sockets, removes its namespaces (and with
        them the veths and rules) and its files. Raises AssertionError when
        a namespace of the lab is still there afterwards. Closing twice
        does nothing."""
        if self._closed:
            return
        self._closed = True
        NetLab._open.discard(self)
        problems = []
        self.stop_miniupnpd()
        if self._stun is not None:
            sock, stop, thread = self._stun
            stop.set()
            thread.join()
            sock.close()
        for sock in self._sockets:
            sock.close()
        for process in self._processes:
            self._end(process)
            for stream in (process.stdout, process.stderr):
                if stream is not None:
                    with contextlib.suppress(OSError):
                        stream.close()
        for host in self.hosts:
            if os.path.exists(os.path.join(NETNS_DIR, host.netns)):
                _kill_inside(host.netns)
                result = _run(["ip", "netns", "del", host.netns], check=False)
                if result.returncode != 0:
                    problems.append("ip netns del %s: %s" % (host.netns, result.stderr.strip()))
        shutil.rmtree(self.dir, ignore_errors=True)
        left = [name for name in _lab_namespaces() if name.startswith(self.tag + "-")]
        if left or problems:
            raise AssertionError("network lab left behind: %s" % "; ".join(left + problems))


@atexit.register
def _close_forgotten_labs():
    for lab in list(NetLab._open):
        with contextlib.suppress(Exception):
            lab.close()
