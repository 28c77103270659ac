"""IPv6 over ::1 (tarnhold.conf's ipv6 = yes): an IPv4 session's bytes and
log lines are the same with the key on and off, and the login guard blocks
an IPv4 guesser (a mapped peer of the dual-stack socket) by its IPv4
address; ftplib, curl and lftp log
in, list, download and upload over ::1, resume with the modern commands
and use FTPS; PASV and PORT get their 522 texts there while EPSV and EPRT
|2| work whatever the feature bits say; with the key off nothing listens
on IPv6. The tests skip when the machine has no ::1."""

import ftplib
import io
import os
import re
import socket
import ssl
import subprocess
import unittest

import harness
import test_data
from harness import HEADLESS, MODERN

AWKWARD = test_data.AWKWARD
TLS = 0x2
LOOPBACK6 = "::1"
ON = "ipv6 = yes\n"


def loopback6_missing():
    """Why ::1 cannot be used here, or None."""
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as sock:
            sock.bind((LOOPBACK6, 0))
    except OSError as error:
        return "IPv6 is disabled on this machine (::1: %s)" % error
    return None


def client_context():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


class IPv6TestCase(test_data.DataTestCase):

    def setUp(self):
        reason = loopback6_missing()
        if reason:
            self.skipTest(reason)
        super().setUp()
        self.write("awkward.bin", AWKWARD)

    def serve(self, conf=ON, features=0):
        sections = test_data.account("Alice", "alice", "secret", self.home,
                                     [(self.home, harness.ALL)])
        server = self.start_server(HEADLESS, files={
            "tarnhold.bot": lambda port: harness.settings_file(port, sections=sections,
                                                               features=features),
            "tarnhold.conf": conf})
        server.wait_for_line(r"Listening for connections on port %d$" % server.port)
        self.addCleanup(lambda: self.assertEqual(server.stop(), 0))
        return server

    def session6(self, server):
        return test_data.Session(self, server.port, host=LOOPBACK6)

    def run_client(self, args, timeout=120):
        result = subprocess.run(args, capture_output=True, timeout=timeout)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
        return result


class IPv4UnchangedTest(IPv6TestCase):

    def transcript(self, conf):
        """One IPv4 session with every kind of command: the control bytes
        (passive port numbers masked: they rotate) and the log lines."""
        server = self.serve(conf, features=MODERN)
        # On: one dual-stack socket on [::], which IPv4 clients reach too.
        self.assertEqual(listens6(server.port), bool(conf))
        session = test_data.Session(self, server.port)
        replies = []

        def ask(line):
            """Every line of the reply, up to its last."""
            replies.append(session.ask(line))
            while not re.match(rb"\d{3} ", replies[-1]):
                replies.append(session.reply())
            return replies[-1]

        for line in (b"SYST", b"PWD", b"TYPE I", b"FEAT", b"HELP", b"EPRT |2|::1|5000|",
                     b"EPSV 2", b"PORT 127,0,0,1,0,80", b"NOOP"):
            ask(line)
        # PASV announces the address this client reached, mapped or not.
        data = session.data_connection(session_port(ask(b"PASV")))
        session.send(b"RETR awkward.bin")
        replies.append(session.reply())
        self.assertEqual(test_data.read_all(data), AWKWARD)
        replies.append(session.reply())
        received = session.transfer(b"NLST", passive=False)
        replies += received[0]
        self.assertIn(b"awkward.bin\r\n", received[1])
        listening = session.listener()
        ask(b"EPRT |1|127.0.0.1|%d|" % listening.getsockname()[1])
        session.send(b"LIST")
        replies.append(session.reply())
        connection, _ = listening.accept()
        listing = test_data.read_all(connection)
        connection.close()
        replies.append(session.reply())
        ask(b"EPSV")
        ask(b"QUIT")
        session.client.close()
        server.wait_for_line(r"Connection from 127\.0\.0\.1 disconnected\.")
        self.assertEqual(server.stop(), 0)
        masked = [re.sub(rb"\(127,0,0,1,\d+,\d+\)", b"(127,0,0,1,p,p)",
                         re.sub(rb"\(\|\|\|\d+\|\)", b"(|||p|)", reply)) for reply in replies]
        logged = [line.split("] ", 1)[-1] for line in server.all_lines()
                  if "port %d" % server.port not in line]
        return masked, listing, logged

    def test_an_ipv4_session_is_byte_for_byte_the_same_with_ipv6_on(self):
        off = self.transcript("")
        on = self.transcript(ON)
        self.assertEqual(on, off)
        replies = off[0]
        self.assertIn(b"227 Entering passive mode (127,0,0,1,p,p)\r\n", replies)
        self.assertIn(b"522 Network protocol not supported, use (1)\r\n", replies)
        self.assertIn("Connection from 127.0.0.1 accepted. [Account: Alice]", off[2])

    def test_the_login_guard_blocks_a_mapped_ipv4_guesser_by_its_ipv4_address(self):
        server = self.serve(features=0x8)

        def peer(source):
            client = harness.Client(server.port, source=source)
            self.addCleanup(client.close)
            return client

        guesser = peer("127.0.0.2")
        self.assertEqual(guesser.recv_until(), b"220 Connected to Tarnwell Server\r\n")
        guesser.send(b"USER alice\r\n")
        guesser.recv_until()
        # Three offences: blocked for 9 s, ample for what follows.
        harness.guess_until_blocked(self, server, guesser, "127.0.0.2")
        self.assertEqual(peer("127.0.0.2").expect_closed(), b"")
        self.assertEqual(peer("127.0.0.3").recv_until(), b"220 Connected to Tarnwell Server\r\n")
        self.assertEqual(guesser.recv_until(timeout=30), b"530 User cannot log in\r\n")

    def test_with_ipv6_off_nothing_listens_on_ipv6(self):
        server = self.serve("ipv6 = no\n")
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection((LOOPBACK6, server.port), timeout=10)
        self.assertFalse(listens6(server.port))


def listens6(port):
    """Whether an IPv6 socket listens on the port."""
    with open("/proc/net/tcp6") as table:
        return any(fields[1].endswith(":%04X" % port) and fields[3] == "0A"
                   for fields in (line.split() for line in list(table)[1:]))


def session_port(reply):
    numbers = [int(n) for n in test_data.PASV_REPLY.match(reply).groups()]
    return numbers[4] * 256 + numbers[5]


class ExtendedCommandsTest(IPv6TestCase):

    def test_pasv_and_port_get_522_and_epsv_eprt_work_without_the_feature(self):
        for features in (0, MODERN):
            with self.subTest(features=features):
                server = self.serve(features=features)
                session = self.session6(server)
                self.assertEqual(session.ask(b"PASV"), b"522 Use EPSV on an IPv6 connection\r\n")
                self.assertEqual(session.ask(b"PORT 127,0,0,1,4,0"),
                                 b"522 Use EPRT on an IPv6 connection\r\n")
                for refused in (b"EPSV 1", b"EPRT |1|127.0.0.1|5000|"):
                    self.assertEqual(session.ask(refused),
                                     b"522 Network protocol not supported, use (2)\r\n")
                for bad in (b"EPRT |2|127.0.0.1|5000|", b"EPRT |2|::ffff:127.0.0.1|5000|",
                            b"EPRT |2|[::1]|5000|", b"EPRT |2|::1|0|"):
                    self.assertEqual(session.ask(bad), b"501 EPRT: command not understood\r\n")
                # Below 1024 as PORT refuses it.
                self.assertEqual(session.ask(b"EPRT |2|::1|80|"), b"550 EPRT failed\r\n")

                reply = session.ask(b"EPSV 2")
                port = int(re.match(rb"229 Entering Extended Passive Mode \(\|\|\|(\d+)\|\)\r\n$",
                                    reply).group(1))
                data = socket.create_connection((LOOPBACK6, port), timeout=30)
                self.addCleanup(data.close)
                session.send(b"RETR awkward.bin")
                self.assertTrue(session.reply().startswith(b"150"))
                self.assertEqual(test_data.read_all(data), AWKWARD)
                self.assertEqual(session.reply(), b"226 Transfer Complete\r\n")

                listening = socket.socket(socket.AF_INET6)
                self.addCleanup(listening.close)
                listening.bind((LOOPBACK6, 0))
                listening.listen(1)
                listening.settimeout(30)
                self.assertEqual(session.ask(b"EPRT |2|0:0::1|%d|" % listening.getsockname()[1]),
                                 b"200 EPRT command successful\r\n")
                session.send(b"STOR up.bin")
                self.assertTrue(session.reply().startswith(b"150"))
                connection, _ = listening.accept()
                connection.sendall(AWKWARD)
                connection.close()
                self.assertEqual(session.reply(), b"226 Transfer Complete\r\n")
                self.assertEqual(self.read("up.bin"), AWKWARD)

                self.assertEqual(session.ask(b"EPSV ALL"), b"200 EPSV ALL command successful\r\n")
                # As RFC 2428 asks, with the feature bit or without it.
                self.assertEqual(session.ask(b"PASV"), b"503 PASV not allowed after EPSV ALL\r\n")
                self.assertEqual(session.ask(b"EPRT |2|::1|5000|"),
                                 b"503 EPRT not allowed after EPSV ALL\r\n")
                self.assertEqual(session.ask(b"QUIT"), b"221 Goodbye\r\n")
                # The log shows the client in RFC 5952 form.
                server.wait_for_line(r"Connection from ::1 accepted\. \[Account: Alice\]$")
                server.wait_for_line(r"Connection from ::1 disconnected\.$")


class RealClientsTest(IPv6TestCase):

    def url(self, server):
        return "ftp://alice:secret@[::1]:%d/" % server.port

    def test_ftplib_in_both_modes(self):
        server = self.serve()
        for passive in (True, False):
            with self.subTest(passive=passive):
                ftp = ftplib.FTP()
                ftp.connect(LOOPBACK6, server.port, timeout=30)
                self.addCleanup(ftp.close)
                self.assertTrue(ftp.login("alice", "secret").startswith("230"))
                ftp.set_pasv(passive)
                name = "ftplib-%s" % passive
                self.round_trip(ftp, name)
                ftp.quit()

    def test_curl_and_lftp_list_download_upload_and_resume(self):
        server = self.serve(features=MODERN)
        content = bytes(range(256)) * 8192  # 2 MiB
        self.write("big.bin", content)
        source = os.path.join(self.root, "source.bin")
        with open(source, "wb") as f:
            f.write(content)
        curl = ["curl", "-g", "--silent", "--show-error", "--max-time", "60"]
        for mode in ([], ["-P", "-"]):
            with self.subTest(curl=mode):
                listing = self.run_client(curl + mode + [self.url(server)]).stdout
                self.assertIn(b"awkward.bin", listing)
                self.assertEqual(self.run_client(curl + mode + [self.url(server) + "awkward.bin"])
                                 .stdout, AWKWARD)
                name = "curl%d.bin" % len(mode)
                self.run_client(curl + mode + ["-T", source, self.url(server) + name])
                self.assertEqual(self.read(name), content)
        # Resumed both ways: a cut download is completed, a cut upload appended to.
        cut = os.path.join(self.root, "cut.bin")
        with open(cut, "wb") as f:
            f.write(content[:1234567])
        result = self.run_client(curl + ["-v", "-C", "-", "-o", cut, self.url(server) + "big.bin"])
        self.assertIn(b"REST 1234567", result.stderr)
        with open(cut, "rb") as f:
            self.assertEqual(f.read(), content)
        self.write("up.bin", content[:777777])
        result = self.run_client(curl + ["-v", "-C", "-", "-T", source, self.url(server) + "up.bin"])
        self.assertIn(b"APPE up.bin", result.stderr)
        self.assertEqual(self.read("up.bin"), content)

        got = os.path.join(self.root, "lftp.bin")
        with open(got, "wb") as f:
            f.write(content[:500000])
        self.write("lftp-up.bin", content[:300000])
        log = os.path.join(self.root, "lftp.log")
        commands = ("set cmd:fail-exit yes; set net:max-retries 1; set net:timeout 30; "
                    "debug -o '%s' 5; cls -1; get -c big.bin -o '%s'; put -c '%s' -o lftp-up.bin; "
                    "quit" % (log, got, source))
        listing = self.run_client(["lftp", "-p", str(server.port), "-u", "alice,secret",
                                   LOOPBACK6, "-e", commands]).stdout
        self.assertIn(b"awkward.bin", listing)
        with open(got, "rb") as f:
            self.assertEqual(f.read(), content)
        self.assertEqual(self.read("lftp-up.bin"), content)
        with open(log, "rb") as f:
            trace = f.read()
        self.assertIn(b"---> EPSV", trace)
        self.assertIn(b"---> REST 500000", trace)

    def test_ftps_over_ipv6(self):
        server = self.serve(features=TLS)
        ftp = harness.ReusingFTP_TLS(context=client_context())
        ftp.connect(LOOPBACK6, server.port, timeout=30)
        self.addCleanup(ftp.close)
        ftp.login("alice", "secret")
        ftp.prot_p()
        self.assertEqual(ftp.storbinary("STOR tls.bin", io.BytesIO(AWKWARD)),
                         "226 Transfer Complete")
        received = io.BytesIO()
        ftp.retrbinary("RETR tls.bin", received.write)
        self.assertEqual(received.getvalue(), AWKWARD)
        self.assertEqual(self.read("tls.bin"), AWKWARD)
        ftp.quit()
        curl = self.run_client(["curl", "-g", "--silent", "--show-error", "--max-time", "60",
                                "--ssl-reqd", "-k", self.url(server) + "awkward.bin"])
        self.assertEqual(curl.stdout, AWKWARD)


if __name__ == "__main__":
    unittest.main()
