"""Sharing from behind a home router, in the network lab (netlab.py): the
server runs on the home host, a client on the "internet" reaches it only
through the ports the router forwards. With passive_ports and
passive_address in tarnhold.conf the internet client logs in, lists,
downloads and uploads over PASV, EPSV and FTPS, every passive port lies
in the range, and a client on the owner's network is still told the local
address. Without them the same client fails."""

import ftplib
import io
import os
import re
import shutil
import ssl
import tempfile
import unittest

import harness
import test_data
from harness import HEADLESS, MODERN
from netlab import NetLab
from test_data import AWKWARD

TLS = 0x2
LOW, HIGH = 50000, 50009


def client_context():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


class Recording:
    """ftplib that trusts the PASV address (as a client behind no NAT of
    its own does) and records every passive port it was given."""
    trust_server_pasv_ipv4_address = True

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.ports = []

    def makepasv(self):
        host, port = super().makepasv()
        self.ports.append((host, port))
        return host, port


class RecordingFTP(Recording, ftplib.FTP):
    pass


class RecordingFTP_TLS(Recording, harness.ReusingFTP_TLS):
    pass


class HomeServerTestCase(harness.ServerTestCase):
    """A lab (with the programs it needs) and a server on its home host
    whose account alice/secret may do everything in a home folder holding
    awkward.bin."""

    lab_programs = ()
    lab_ipv6 = False  # whether the lab has IPv6 too

    def setUp(self):
        self.lab = NetLab.for_test(self, *self.lab_programs, ipv6=self.lab_ipv6)
        self.root = tempfile.mkdtemp(prefix="tarnhold-lab-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.home = os.path.join(self.root, "home")
        os.mkdir(self.home)
        with open(os.path.join(self.home, "awkward.bin"), "wb") as f:
            f.write(AWKWARD)

    def start_home_server(self, conf=None, features=0):
        """The server on the home host, listening; conf is tarnhold.conf."""
        sections = test_data.account("Alice", "alice", "secret", self.home,
                                     [(self.home, harness.ALL)])
        files = {"tarnhold.bot": lambda port: harness.settings_file(
            port, sections=sections, features=features)}
        if conf is not None:
            files["tarnhold.conf"] = conf
        server = self.start_server(HEADLESS, files=files, netns=self.lab.home.netns)
        server.wait_for_line(r"Listening for connections on port %d$" % server.port)
        return server

    def transfer(self, ftp, host, address, port):
        """Logs in from host to address:port as alice, lists, downloads and
        uploads; the upload's bytes as stored."""
        with host.inside():
            ftp.connect(address, port, timeout=15)
            try:
                ftp.login("alice", "secret")
                if isinstance(ftp, ftplib.FTP_TLS):
                    ftp.prot_p()
                self.assertIn("awkward.bin", ftp.nlst())
                received = io.BytesIO()
                ftp.retrbinary("RETR awkward.bin", received.write)
                self.assertEqual(received.getvalue(), AWKWARD)
                name = "up-%d" % len(os.listdir(self.home))
                self.assertEqual(ftp.storbinary("STOR " + name, io.BytesIO(AWKWARD)),
                                 "226 Transfer Complete")
                ftp.quit()
            finally:
                ftp.close()
        with open(os.path.join(self.home, name), "rb") as f:
            return f.read()


class BehindRouterTest(HomeServerTestCase):

    def serve(self, conf=None, features=0):
        server = self.start_home_server(conf, features)
        self.addCleanup(lambda: self.assertEqual(server.stop(), 0))
        # The owner's hand-made forwards: the control port and the range.
        self.lab.forward(server.port)
        self.lab.forward((LOW, HIGH))
        return server

    def use(self, ftp, server, host):
        """Logs in from host, lists, downloads and uploads; the upload's
        bytes as stored."""
        address = self.lab.PUBLIC if host is self.lab.internet else self.lab.HOME
        return self.transfer(ftp, host, address, server.port)

    def test_an_internet_client_is_served_through_the_forwarded_range(self):
        conf = "# the owner's router forwards these\npassive_ports = %d-%d\n" \
               "passive_address = %s\n" % (LOW, HIGH, NetLab.PUBLIC)
        server = self.serve(conf, features=MODERN | TLS)
        for ftp in (RecordingFTP(), RecordingFTP_TLS(context=client_context())):
            with self.subTest(client=type(ftp).__name__):
                self.assertEqual(self.use(ftp, server, self.lab.internet), AWKWARD)
                self.assertTrue(ftp.ports)
                for host, port in ftp.ports:
                    self.assertEqual(host, NetLab.PUBLIC)
                    self.assertTrue(LOW <= port <= HIGH, port)
        # EPSV: the port alone, from the same range.
        with self.lab.internet.inside():
            client = harness.Client(server.port, host=NetLab.PUBLIC)
        self.addCleanup(client.close)
        client.recv_until()
        for line in (b"USER alice", b"PASS secret"):
            client.send(line + b"\r\n")
            client.recv_until(b" \r\n" if line.startswith(b"PASS") else b"\r\n")
        client.send(b"EPSV\r\n")
        match = re.match(rb"229 Entering Extended Passive Mode \(\|\|\|(\d+)\|\)\r\n",
                         client.recv_until())
        self.assertIsNotNone(match)
        port = int(match.group(1))
        self.assertTrue(LOW <= port <= HIGH, port)
        with self.lab.internet.inside():
            data = harness.Client(port, host=NetLab.PUBLIC)
        self.addCleanup(data.close)
        client.send(b"RETR awkward.bin\r\n")
        self.assertEqual(client.recv_until(), b"150 RETR command started\r\n")
        self.assertEqual(test_data.read_all(data.sock), AWKWARD)
        self.assertEqual(client.recv_until(), b"226 Transfer Complete\r\n")
        # curl too, trusting the PASV address.
        source = os.path.join(self.root, "curl-source")
        with open(source, "wb") as f:
            f.write(AWKWARD)
        url = "ftp://alice:secret@%s:%d/" % (NetLab.PUBLIC, server.port)
        curl = ["curl", "--silent", "--show-error", "--max-time", "30", "--disable-epsv",
                "--no-ftp-skip-pasv-ip"]
        done = self.lab.internet.run(curl + ["-T", source, url + "curl-up"], text=False)
        self.assertEqual(done.returncode, 0, done.stderr)
        done = self.lab.internet.run(curl + [url + "curl-up"], text=False)
        self.assertEqual((done.returncode, done.stdout), (0, AWKWARD), done.stderr)

    def test_a_client_on_the_owners_network_is_told_the_local_address(self):
        conf = "passive_ports = %d-%d\npassive_address = %s\n" % (LOW, HIGH, NetLab.PUBLIC)
        server = self.serve(conf)
        ftp = RecordingFTP()
        self.assertEqual(self.use(ftp, server, self.lab.lan), AWKWARD)
        for host, port in ftp.ports:
            self.assertEqual(host, NetLab.HOME)
            self.assertTrue(LOW <= port <= HIGH, port)

    def test_without_the_settings_the_internet_client_fails(self):
        server = self.serve()
        ftp = RecordingFTP(timeout=5)
        with self.lab.internet.inside():
            ftp.connect(NetLab.PUBLIC, server.port, timeout=5)
            self.addCleanup(ftp.close)
            ftp.login("alice", "secret")
            # The home host's own address, which no internet client reaches.
            with self.assertRaises(OSError):
                ftp.nlst()
        self.assertEqual(ftp.ports[0][0], NetLab.HOME)


if __name__ == "__main__":
    unittest.main()
