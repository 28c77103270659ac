"""IPv6 in the network lab (netlab.py, ipv6=True): the server on the home
host with ipv6 = yes, reached from the "internet" over IPv6 without NAT
once the router's firewall lets the ports in. ftplib, curl and lftp log in,
list, download and upload, FTPS too; a passive data connection from
another address of the client's /64 is refused (only the control
connection's peer may connect); EPRT may name another IPv6 address, as
PORT may, but not a port below 1024; and the login guard blocks a
guesser's whole /64 while another /64 is served."""

import ftplib
import re
import socket
import unittest

import harness
import test_data
import test_internet
from harness import MODERN
from netlab import NetLab
from test_data import AWKWARD

TLS = 0x2
GUARD = 0x8
LOW, HIGH = 50000, 50009
CONF = "ipv6 = yes\npassive_ports = %d-%d\n" % (LOW, HIGH)


class IPv6LabTestCase(test_internet.HomeServerTestCase):

    lab_ipv6 = True

    def serve(self, features=0, conf=CONF, open_firewall=True):
        server = self.start_home_server(conf, features)
        self.addCleanup(lambda: self.assertEqual(server.stop(), 0))
        if open_firewall:
            # IPv6 needs no forwarding, only the firewall's consent.
            self.lab.allow6(server.port)
            self.lab.allow6((LOW, HIGH))
        return server

    def raw(self, server, source=NetLab.INTERNET6):
        """A logged-in raw session from an internet address."""
        client = self.lab.internet.client(NetLab.HOME6, server.port, timeout=15, source=source)
        self.assertEqual(client.recv_until(), b"220 Connected to Tarnwell Server\r\n")
        for line, reply in ((b"USER alice", b"331 User name OK, send password as PASS\r\n"),
                            (b"PASS secret", b"230-logon successful\r\n")):
            client.send(line + b"\r\n")
            self.assertEqual(client.recv_until(), reply)
        self.assertEqual(client.recv_until(), b"230 \r\n")
        return client


def ask(client, line):
    client.send(line + b"\r\n")
    return client.recv_until()


class InternetClientsTest(IPv6LabTestCase):

    def test_real_clients_from_the_internet_over_ipv6(self):
        server = self.serve(features=MODERN | TLS)
        context = test_internet.client_context()
        for ftp in (ftplib.FTP(), harness.ReusingFTP_TLS(context=context)):
            with self.subTest(client=type(ftp).__name__):
                self.assertEqual(self.transfer(ftp, self.lab.internet, NetLab.HOME6, server.port),
                                 AWKWARD)
        url = "ftp://alice:secret@[%s]:%d/" % (NetLab.HOME6, server.port)
        curl = self.lab.internet.run(["curl", "-g", "--silent", "--show-error", "--max-time",
                                      "60", url + "awkward.bin"], text=False, timeout=90)
        self.assertEqual(curl.returncode, 0, curl.stderr)
        self.assertEqual(curl.stdout, AWKWARD)
        lftp = self.lab.internet.run(
            ["lftp", "-p", str(server.port), "-u", "alice,secret", NetLab.HOME6, "-e",
             "set cmd:fail-exit yes; set net:max-retries 1; set net:timeout 30; "
             "set ssl:verify-certificate no; cls -1; quit"],
            timeout=90)
        self.assertEqual(lftp.returncode, 0, lftp.stderr)
        self.assertIn("awkward.bin", lftp.stdout)
        # Without the firewall's consent the internet cannot come in.
        server2 = self.serve(open_firewall=False)
        with self.assertRaises(OSError):
            self.lab.internet.client(NetLab.HOME6, server2.port, timeout=3)


class DataConnectionRulesTest(IPv6LabTestCase):

    def test_only_the_control_peer_may_take_the_passive_connection(self):
        server = self.serve()
        client = self.raw(server)
        port = int(re.match(rb"229 Entering Extended Passive Mode \(\|\|\|(\d+)\|\)",
                            ask(client, b"EPSV")).group(1))
        client.send(b"RETR awkward.bin\r\n")
        # Another address of the very same /64 is still another host.
        with self.lab.internet.inside():
            stranger = socket.create_connection((NetLab.HOME6, port), timeout=15,
                                                source_address=(NetLab.INTERNET6_SAME64, 0))
            self.assertEqual(stranger.recv(1), b"")  # closed without a byte
            stranger.close()
            data = socket.create_connection((NetLab.HOME6, port), timeout=15,
                                            source_address=(NetLab.INTERNET6, 0))
        self.assertTrue(client.recv_until().startswith(b"150"))
        self.assertEqual(test_data.read_all(data), AWKWARD)
        data.close()
        self.assertEqual(client.recv_until(), b"226 Transfer Complete\r\n")

    def test_eprt_may_name_another_ipv6_host_but_no_low_port(self):
        server = self.serve()
        client = self.raw(server)
        self.assertEqual(ask(client, b"EPRT |2|%s|80|" % NetLab.LAN6.encode()),
                         b"550 EPRT failed\r\n")
        listening = self.lab.lan.listen(6021, address=NetLab.LAN6)
        listening.settimeout(30)
        self.assertEqual(ask(client, b"EPRT |2|%s|6021|" % NetLab.LAN6.encode()),
                         b"200 EPRT command successful\r\n")
        client.send(b"RETR awkward.bin\r\n")
        self.assertTrue(client.recv_until().startswith(b"150"))
        data, peer = listening.accept()
        self.assertEqual(peer[0], NetLab.HOME6)
        self.assertEqual(test_data.read_all(data), AWKWARD)
        data.close()
        self.assertEqual(client.recv_until(), b"226 Transfer Complete\r\n")


class LoginGuardTest(IPv6LabTestCase):

    def test_a_guesser_is_blocked_by_its_slash64(self):
        server = self.serve(features=GUARD)
        guesser = self.lab.internet.client(NetLab.HOME6, server.port, timeout=30,
                                           source=NetLab.INTERNET6)
        self.assertEqual(guesser.recv_until(), b"220 Connected to Tarnwell Server\r\n")
        ask(guesser, b"USER alice")
        # Three offences: blocked for 9 s, ample for what follows on a busy
        # machine. The log names the guesser in RFC 5952 form once blocked.
        harness.guess_until_blocked(self, server, guesser, "2001:db8:ff::50")
        # Another address of the same /64 is refused without a byte ...
        same = self.lab.internet.client(NetLab.HOME6, server.port, timeout=15,
                                        source=NetLab.INTERNET6_SAME64)
        self.assertEqual(same.expect_closed(), b"")
        # ... while another /64 is served.
        other = self.lab.internet.client(NetLab.HOME6, server.port, timeout=15,
                                         source=NetLab.INTERNET6_OTHER64)
        self.assertEqual(other.recv_until(), b"220 Connected to Tarnwell Server\r\n")
        self.assertEqual(guesser.recv_until(timeout=30), b"530 User cannot log in\r\n")

if __name__ == "__main__":
    unittest.main()
