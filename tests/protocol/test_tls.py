"""Explicit FTPS of the tarnhold executable (AUTH TLS, PBSZ, PROT, CCC),
driven with Python's ssl module over raw sockets and with real clients:
every reply with the feature bits on and off, protected and clear data
in both modes, data connections that do not resume the control
connection's own session, old protocol versions, the "FTPS required"
rules, the certificate made once and reused, and pairs that refuse Start."""

import io
import os
import shutil
import socket
import ssl
import stat
import subprocess
import tempfile
import time
import unittest

import harness
import test_data
from harness import ALL, MARK, MODERN
from test_data import AWKWARD, PASV_REPLY, STOR_STARTED
from test_session import HELP_LINES, account_lines

TLS = 0x2
TLS_REQUIRED = 0x4
NOT_IMPLEMENTED = b"502 Command not implemented\r\n"
AUTH_OK = b"234 AUTH TLS successful\r\n"
TLS_REQUIRED_REPLY = b"530 TLS required\r\n"
PROT_REQUIRED = b"521 PROT P required\r\n"
TLS_FEAT = b" AUTH TLS\r\n PBSZ\r\n PROT\r\n"
MODERN_FEAT = (b" REST STREAM\r\n SIZE\r\n MDTM\r\n EPSV\r\n EPRT\r\n"
               b" MLST type*;size*;modify*;perm*;UNIX.mode*;\r\n UTF8\r\n")
TLS_HELP = b"     AUTH  PBSZ  PROT\r\n"
MODERN_HELP = [b"     REST  APPE  SIZE  MDTM  EPSV  EPRT\r\n", b"     MLSD  MLST  OPTS\r\n"]
CERT_ERROR = r"\[TarnHold error\] Could not load the FTPS certificate and key in %s: %s$"


def client_context(**versions):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    for name, value in versions.items():
        setattr(context, name, value)
    return context


class TlsSession(test_data.Session):
    """A control connection that may switch to TLS before logging in."""

    def __init__(self, test, port, user=b"alice", password=b"secret", auth=True, context=None):
        self.test = test
        self.context = context or client_context()
        self.client = harness.Client(port)
        test.addCleanup(self.client.close)
        test.assertEqual(self.client.recv_until(), b"220 Connected to Tarnwell Server\r\n")
        if auth:
            self.auth()
        if user is not None:
            test.assertEqual(self.ask(b"USER " + user)[:4], b"331 ")
            test.assertEqual(self.ask(b"PASS " + password), b"230-logon successful\r\n")
            test.assertEqual(self.reply(), b"230 \r\n")

    def auth(self):
        self.test.assertEqual(self.ask(b"AUTH TLS"), AUTH_OK)
        self.client.sock = self.context.wrap_socket(self.client.sock)
        self.client.sock.settimeout(10)

    def protect(self, level=b"P"):
        self.test.assertEqual(self.ask(b"PBSZ 0"), b"200 PBSZ=0\r\n")
        self.test.assertEqual(self.ask(b"PROT " + level), b"200 PROT %s successful\r\n" % level)

    def tls_data(self, sock, session="control"):
        """The data connection wrapped as a client; session "control" resumes
        the control connection's session, None starts a fresh one."""
        if session == "control":
            session = self.client.sock.session
        wrapped = self.context.wrap_socket(sock, session=session)
        self.test.addCleanup(wrapped.close)
        return wrapped

    def protected_transfer(self, command, passive, upload=None):
        """A data command over a TLS data connection: (replies, received)."""
        if passive:
            _, port = self.pasv()
            raw = self.data_connection(port)
        else:
            listening = self.port()
        self.send(command)
        replies = [self.reply()]
        if not replies[0].startswith(b"150"):
            return replies, b""
        if not passive:
            raw, _ = listening.accept()
            raw.settimeout(40)
        data = self.tls_data(raw)
        if upload is not None:
            data.sendall(upload)
            data.unwrap().close()
            received = b""
        else:
            received = test_data.read_all(data)
            data.close()
        replies.append(self.reply())
        return replies, received


def anonymous_sections(home):
    """An enabled anonymous account at home with every right there."""
    lines = ["ANONACCT" + MARK] + account_lines("Public FTP Account", "", "", home, enabled=1)
    lines += ["ANONACCPATH" + MARK, home, "%x" % ALL, "0"]
    return "\r\n".join(lines) + "\r\n"


def settings(port, home, features, idletimeout=300, anonymous=False):
    options = [port, features, "f4240", "f4240", 100, 0, 1, 0, idletimeout]
    text = "\r\n".join(["SRVROPT" + MARK] + [str(v) for v in options]) + "\r\n"
    if anonymous:
        text += anonymous_sections(home)
    text += test_data.account("Alice", "alice", "secret", home, [(home, ALL)])
    return text + "BLKLIST" + MARK + "\r\n"


class TlsTestCase(test_data.DataTestCase):

    def serve_tls(self, features=TLS, idletimeout=300, anonymous=False, files=None):
        all_files = {"tarnhold.bot": lambda port: settings(port, self.home, features,
                                                           idletimeout, anonymous)}
        all_files.update(files or {})
        server = self.start_server(harness.HEADLESS, files=all_files)
        server.wait_for_line(r"Listening for connections on port %d$" % server.port)
        self.addCleanup(lambda: self.assertEqual(server.stop(), 0))
        return server

    def tls_session(self, server, **kwargs):
        return TlsSession(self, server.port, **kwargs)


class RepliesTest(TlsTestCase):

    def test_with_the_bits_off_every_reply_is_as_designed(self):
        self.write("file", b"clear")
        server = self.serve_tls(features=0)
        session = self.session(server)
        for line, reply in [(b"AUTH TLS", b"503 unknown security mechanism\r\n"),
                            (b"AUTH SSL", b"503 unknown security mechanism\r\n"),
                            (b"PBSZ 0", NOT_IMPLEMENTED), (b"PROT P", NOT_IMPLEMENTED),
                            (b"CCC", NOT_IMPLEMENTED), (b"FEAT", NOT_IMPLEMENTED)]:
            self.assertEqual(session.ask(line), reply, line)
        session.send(b"HELP")
        self.assertEqual([session.reply() for _ in HELP_LINES], HELP_LINES)
        self.assertEqual(session.transfer(b"RETR file", True)[1], b"clear")
        self.assertEqual([n for n in os.listdir(server.config_dir) if ".crt" in n or ".key" in n],
                         [], "no certificate is made while FTPS is off")

    def test_feat_and_help_list_ftps_with_and_without_the_modern_commands(self):
        for features, feat, help_lines in [
                (TLS, TLS_FEAT, [TLS_HELP]),
                (TLS_REQUIRED, TLS_FEAT, [TLS_HELP]),
                (TLS | MODERN, MODERN_FEAT + TLS_FEAT, MODERN_HELP + [TLS_HELP])]:
            with self.subTest(features=features):
                server = self.serve_tls(features=features)
                client = self.connect(server.port)
                client.recv_until()
                client.send(b"FEAT\r\n")
                expected = b"211-Extensions supported:\r\n" + feat + b"211 End\r\n"
                self.assertEqual(client.recv_until(b"211 End\r\n"), expected)
                client.send(b"HELP\r\n")
                expected = HELP_LINES[:-1] + help_lines + HELP_LINES[-1:]
                self.assertEqual(client.recv_until(HELP_LINES[-1]), b"".join(expected))

    def test_auth_pbsz_prot_and_ccc_in_every_order(self):
        server = self.serve_tls()
        session = self.tls_session(server, auth=False, user=None)
        for line, reply in [(b"PBSZ 0", b"503 PBSZ needs AUTH TLS first\r\n"),
                            (b"PROT P", b"503 PROT needs AUTH TLS and PBSZ first\r\n"),
                            (b"AUTH", b"501 AUTH needs a security mechanism\r\n"),
                            (b"AUTH GSSAPI", b"504 AUTH mechanism not supported\r\n"),
                            (b"CCC", b"534 CCC not allowed\r\n")]:
            self.assertEqual(session.ask(line), reply, line)
        session.auth()
        self.assertEqual(session.client.sock.version()[:5], "TLSv1")
        for line, reply in [(b"AUTH TLS", b"503 TLS is already on\r\n"),
                            (b"PROT P", b"503 PROT needs AUTH TLS and PBSZ first\r\n"),
                            (b"PROT S", b"504 PROT level not supported\r\n"),
                            # C is in force anyway: it needs no PBSZ.
                            (b"PROT C", b"200 PROT C successful\r\n"),
                            (b"PROT P", b"503 PROT needs AUTH TLS and PBSZ first\r\n"),
                            (b"PBSZ", b"501 PBSZ needs a whole number\r\n"),
                            (b"PBSZ x", b"501 PBSZ needs a whole number\r\n"),
                            (b"PBSZ 16384", b"200 PBSZ=0\r\n"),
                            (b"PROT S", b"504 PROT level not supported\r\n"),
                            (b"PROT E", b"504 PROT level not supported\r\n"),
                            (b"PROT", b"504 PROT level not supported\r\n"),
                            (b"prot p", b"200 PROT P successful\r\n"),
                            (b"PROT C", b"200 PROT C successful\r\n"),
                            (b"CCC", b"534 CCC not allowed\r\n"),
                            (b"USER alice", b"331 User name OK, send password as PASS\r\n"),
                            (b"PASS secret", b"230-logon successful\r\n")]:
            self.assertEqual(session.ask(line), reply, line)
        self.assertEqual(session.reply(), b"230 \r\n")
        # AUTH SSL is the older name of the same thing.
        other = self.tls_session(server, auth=False, user=None)
        self.assertEqual(other.ask(b"AUTH SSL"), AUTH_OK)

    def test_a_handshake_that_never_comes_ends_at_the_idle_time_out(self):
        server = self.serve_tls(idletimeout=2)
        client = self.connect(server.port)
        client.recv_until()
        client.send(b"AUTH TLS\r\n")
        self.assertEqual(client.recv_until(), AUTH_OK)
        client.send(b"\x16\x03\x01")  # the start of a record, and then silence
        client.expect_closed(timeout=30)
        # A peer that speaks plain text after 234 is closed at once.
        other = self.connect(server.port)
        other.recv_until()
        other.send(b"AUTH TLS\r\n")
        self.assertEqual(other.recv_until(), AUTH_OK)
        other.send(b"USER alice\r\n")
        other.expect_closed(timeout=30)
        self.assertEqual(self.session(server).ask(b"NOOP"), harness.NOOP_OK)


    def test_a_tls_session_that_breaks_or_closes_ends_its_control_connection(self):
        # No idle time-out: only the end of TLS can end these sessions.
        server = self.serve_tls(idletimeout=0)
        broken = self.tls_session(server)
        raw = socket.socket(fileno=os.dup(broken.client.sock.fileno()))
        self.addCleanup(raw.close)
        raw.sendall(b"\x17\x03\x03\x00\x20" + b"\x00" * 32)  # a record that fails to decrypt
        raw.settimeout(30)
        received = b""
        while True:  # an alert may come first, then the close
            chunk = raw.recv(4096)
            if not chunk:
                break
            received += chunk
        # close_notify: the server answers with its own and closes.
        closed = self.tls_session(server)
        plain = closed.client.sock.unwrap()
        plain.settimeout(30)
        self.assertEqual(plain.recv(4096), b"")
        for _ in range(2):
            server.wait_for_line(r"Connection from 127.0.0.1 disconnected.$")


class DataTest(TlsTestCase):

    def test_protected_and_clear_data_in_both_modes(self):
        self.write("awkward.bin", AWKWARD)
        server = self.serve_tls()
        session = self.tls_session(server)
        for passive in (True, False):
            with self.subTest(passive=passive):
                session.protect(b"P")
                replies, received = session.protected_transfer(b"RETR awkward.bin", passive)
                self.assertEqual(replies, [b"150 RETR command started\r\n",
                                           b"226 Transfer Complete\r\n"])
                self.assertEqual(received, AWKWARD)
                name = b"up-%d" % passive
                replies, _ = session.protected_transfer(b"STOR " + name, passive, AWKWARD)
                self.assertEqual(replies[-1], b"226 Transfer Complete\r\n")
                self.assertEqual(self.read(name.decode()), AWKWARD)
                replies, listing = session.protected_transfer(b"NLST", passive)
                self.assertIn(b"awkward.bin\r\n", listing)
                # PROT C: the same commands in clear on the same session.
                session.protect(b"C")
                replies, received = session.transfer(b"RETR awkward.bin", passive)
                self.assertEqual(received, AWKWARD)
                replies, _ = session.transfer(b"STOR clear-" + name, passive, upload=AWKWARD)
                self.assertEqual(replies[-1], b"226 Transfer Complete\r\n")
                self.assertEqual(self.read("clear-" + name.decode()), AWKWARD)

    def test_memory_stays_flat_for_large_protected_transfers(self):
        size = 96 << 20
        test_data.make_sparse(self.path("large.bin"), size)
        server = self.serve_tls()
        session = self.tls_session(server)
        session.protect()
        self.assertEqual(len(session.protected_transfer(b"RETR large.bin", True)[1]), size)
        before = test_data.peak_memory_kib(server)
        for passive in (True, False):
            replies, data = session.protected_transfer(b"RETR large.bin", passive)
            self.assertEqual(len(data), size)
            replies, _ = session.protected_transfer(b"STOR copy.bin", passive, data)
            self.assertEqual(replies[-1], b"226 Transfer Complete\r\n")
            self.assertEqual(os.path.getsize(self.path("copy.bin")), size)
        del data
        # Nothing near the file's size was ever held in memory.
        self.assertLess(test_data.peak_memory_kib(server) - before, 32 << 10)

    def upload_by_hand(self, session, data, close_notify):
        """STOR over a protected passive data connection driven through
        memory buffers, so that exactly what the server sends after the
        handshake is seen: (the lengths of the TLS records it sent, the
        final reply). Without close_notify the connection is simply closed,
        as a cut upload would be."""
        _, port = session.pasv()
        raw = session.data_connection(port)
        session.send(b"STOR by-hand")
        self.assertEqual(session.reply(), STOR_STARTED)
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = session.context.wrap_bio(incoming, outgoing,
                                       session=session.client.sock.session)
        while True:
            try:
                tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                raw.sendall(outgoing.read())
                incoming.write(raw.recv(65536))
        self.assertTrue(tls.session_reused)
        tls.write(data)
        if close_notify:
            with self.assertRaises(ssl.SSLWantReadError):
                tls.unwrap()
        raw.sendall(outgoing.read())
        if not close_notify:
            raw.close()
            return [], session.reply()
        raw.shutdown(socket.SHUT_WR)
        after = test_data.read_all(raw)
        records = []
        while after:
            length = int.from_bytes(after[3:5], "big")
            records.append(length)
            after = after[5 + length:]
        return records, session.reply()

    def test_an_upload_connection_carries_nothing_from_the_server_but_its_close(self):
        server = self.serve_tls()
        for version in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
            with self.subTest(version=version):
                context = client_context(minimum_version=version, maximum_version=version)
                session = self.tls_session(server, context=context)
                session.protect()
                records, reply = self.upload_by_hand(session, AWKWARD, close_notify=True)
                # A client that never reads its upload's connection must find
                # nothing unread there when it closes, or its close becomes a
                # reset that can throw away the end of the upload: no session
                # tickets, only the server's close_notify (one record).
                self.assertEqual(len(records), 1, records)
                self.assertEqual(reply, b"226 Transfer Complete\r\n")
                self.assertEqual(self.read("by-hand"), AWKWARD)
                # A connection that ends without close_notify is a cut upload.
                _, reply = self.upload_by_hand(session, AWKWARD, close_notify=False)
                self.assertEqual(reply, b"550 STOR failed\r\n")

    def test_a_data_connection_that_does_not_resume_the_session_is_closed(self):
        self.write("secret.bin", AWKWARD)
        server = self.serve_tls()
        session = self.tls_session(server)
        session.protect()
        # Another control connection of the same client program: its
        # session belongs to another context and must not open this one's.
        other = self.tls_session(server, context=session.context)
        other.protect()
        other.ask(b"NOOP")
        for label, session_of in [("fresh", lambda: None),
                                  ("another control connection", lambda: other.client.sock.session)]:
            with self.subTest(label):
                _, port = session.pasv()
                raw = session.data_connection(port)
                session.send(b"RETR secret.bin")
                self.assertEqual(session.reply(), b"150 RETR command started\r\n")
                received = b""
                try:
                    data = session.tls_data(raw, session=session_of())
                    received = test_data.read_all(data)
                except (ssl.SSLError, OSError):
                    pass
                self.assertEqual(received, b"")
                self.assertEqual(session.reply(), b"550 RETR failed\r\n")
        # The control connection's own session still opens the next one.
        self.assertEqual(session.protected_transfer(b"RETR secret.bin", True)[1], AWKWARD)

    def test_tls_1_1_and_older_are_refused(self):
        server = self.serve_tls()
        for version in (ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1):
            with self.subTest(version=version):
                context = client_context(minimum_version=version, maximum_version=version)
                context.set_ciphers("ALL:@SECLEVEL=0")
                client = self.connect(server.port)
                client.recv_until()
                client.send(b"AUTH TLS\r\n")
                self.assertEqual(client.recv_until(), AUTH_OK)
                with self.assertRaises(ssl.SSLError):
                    context.wrap_socket(client.sock)
        # TLS 1.2 is still taken.
        context = client_context(maximum_version=ssl.TLSVersion.TLSv1_2)
        session = self.tls_session(server, context=context)
        self.assertEqual(session.client.sock.version(), "TLSv1.2")
        session.protect()
        self.write("file", b"over 1.2")
        self.assertEqual(session.protected_transfer(b"RETR file", True)[1], b"over 1.2")


class RequiredTest(TlsTestCase):

    def test_named_logins_need_tls_and_their_data_prot_p(self):
        self.write("file", AWKWARD)
        server = self.serve_tls(features=TLS_REQUIRED, anonymous=True)
        client = self.connect(server.port)
        client.recv_until()
        for line in [b"USER alice", b"USER nobody", b"USER", b"USER Anonymous2"]:
            client.send(line + b"\r\n")
            self.assertEqual(client.recv_until(), TLS_REQUIRED_REPLY, line)
        # The PASS after a refused USER gets the same refusal.
        client.send(b"PASS secret\r\n")
        self.assertEqual(client.recv_until(), TLS_REQUIRED_REPLY)
        client.send(b"USER anonymous\r\n")
        self.assertEqual(client.recv_until()[:4], b"331 ")
        client.send(b"USER alice\r\nPASS secret\r\n")
        self.assertEqual(client.recv_until(), TLS_REQUIRED_REPLY)
        self.assertEqual(client.recv_until(), TLS_REQUIRED_REPLY)
        client.send(b"LIST\r\n")
        self.assertEqual(client.recv_until(), b"530 Please login with USER and PASS\r\n")

        session = self.tls_session(server)
        _, port = session.pasv()
        for command in [b"LIST", b"NLST", b"RETR file", b"STOR new"]:
            self.assertEqual(session.ask(command), PROT_REQUIRED, command)
        # The refused command took the PASV with it.
        harness_refused = socket.socket()
        self.addCleanup(harness_refused.close)
        with self.assertRaises(OSError):
            harness_refused.settimeout(5)
            harness_refused.connect((harness.LOOPBACK, port))
        session.protect(b"C")
        self.assertEqual(session.ask(b"RETR file"), PROT_REQUIRED)
        session.protect(b"P")
        self.assertEqual(session.protected_transfer(b"RETR file", True)[1], AWKWARD)
        self.assertFalse(os.path.exists(self.path("new")))

    def test_anonymous_logs_in_and_moves_data_in_clear(self):
        self.write("file", AWKWARD)
        server = self.serve_tls(features=TLS_REQUIRED, anonymous=True)
        session = self.tls_session(server, auth=False, user=b"anonymous", password=b"me@x.org")
        self.assertEqual(session.transfer(b"RETR file", True)[1], AWKWARD)
        replies, _ = session.transfer(b"STOR anon", False, upload=b"anon")
        self.assertEqual(replies[-1], b"226 Transfer Complete\r\n")
        # Over TLS with PROT C too.
        session = self.tls_session(server, user=b"anonymous", password=b"me@x.org")
        self.assertEqual(session.transfer(b"RETR file", True)[1], AWKWARD)


class CertificateTest(TlsTestCase):

    def served_certificate(self, server):
        session = self.tls_session(server, user=None)
        return session.client.sock.getpeercert(binary_form=True)

    def test_a_pair_is_made_once_and_reused(self):
        server = self.serve_tls()
        crt = os.path.join(server.config_dir, "tarnhold.crt")
        key = os.path.join(server.config_dir, "tarnhold.key")
        self.assertEqual(stat.S_IMODE(os.stat(key).st_mode), 0o600)
        with open(crt) as f:
            pem = f.read()
        with open(key, "rb") as f:
            key_bytes = f.read()
        self.assertEqual(self.served_certificate(server), ssl.PEM_cert_to_DER_cert(pem))
        decoded = ssl._ssl._test_decode_cert(crt)
        self.assertIn(("DNS", socket.gethostname()), decoded["subjectAltName"])
        years = (ssl.cert_time_to_seconds(decoded["notAfter"]) - time.time()) / (365.25 * 86400)
        self.assertGreater(years, 9.9)
        self.assertEqual(sorted(n for n in os.listdir(server.config_dir) if n.startswith(".")),
                         [], "no temporary file is left")
        # A second Start in the same folder serves the same pair.
        self.assertEqual(server.stop(), 0)
        server.start()
        server.wait_for_line(r"Listening for connections on port %d$" % server.port)
        with open(crt) as f:
            self.assertEqual(f.read(), pem)
        with open(key, "rb") as f:
            self.assertEqual(f.read(), key_bytes)
        self.assertEqual(self.served_certificate(server), ssl.PEM_cert_to_DER_cert(pem))

    def test_a_missing_tls_module_refuses_start_and_plain_service_goes_on(self):
        # The executable alone, without the module beside it.
        folder = tempfile.mkdtemp(prefix="tarnhold-alone-")
        self.addCleanup(shutil.rmtree, folder, True)
        program = os.path.join(folder, "tarnhold")
        shutil.copy(os.environ["TARNHOLD_SERVER"], program)
        server = harness.ServerProcess(program, harness.HEADLESS, files={
            "tarnhold.bot": lambda port: settings(port, self.home, TLS)})
        self.addCleanup(server.cleanup)
        server.start(listen=False)
        module = os.path.join(folder, "tarnhold-tls.so")
        server.wait_for_line(CERT_ERROR % (server.config_dir, r"cannot load the TLS module %s \(.*%s: "
                                           r"cannot open shared object file: No such file or "
                                           r"directory\)" % (module, module)))
        self.assertFalse(harness.port_is_listening(server.port))
        self.assertFalse(os.path.exists(os.path.join(server.config_dir, "tarnhold.crt")))
        self.assertEqual(server.stop(), 0)

        plain = harness.ServerProcess(program, harness.HEADLESS, files={
            "tarnhold.bot": lambda port: settings(port, self.home, 0)})
        self.addCleanup(plain.cleanup)
        plain.start()
        plain.wait_for_line(r"Listening for connections on port %d$" % plain.port)
        client = self.connect(plain.port)
        self.assertEqual(client.recv_until(), b"220 Connected to Tarnwell Server\r\n")
        client.close()
        self.assertEqual(plain.stop(), 0)

    def test_a_missing_unreadable_or_mismatched_file_refuses_start(self):
        # Two pairs made by the server itself, to mix.
        pairs = []
        for _ in range(2):
            server = self.serve_tls()
            names = ("tarnhold.crt", "tarnhold.key")
            pairs.append({n: open(os.path.join(server.config_dir, n), "rb").read() for n in names})
        crt, key = pairs[0]["tarnhold.crt"], pairs[0]["tarnhold.key"]
        cases = [
            ("only the certificate", {"tarnhold.crt": crt}, "tarnhold.key is missing"),
            ("only the key", {"tarnhold.key": key}, "tarnhold.crt is missing"),
            ("a mismatched key", {"tarnhold.crt": crt, "tarnhold.key": pairs[1]["tarnhold.key"]},
             "tarnhold.key does not match tarnhold.crt"),
            ("a key that is no key", {"tarnhold.crt": crt, "tarnhold.key": b"garbage\n"},
             "tarnhold.key holds no usable PEM private key"),
            ("a certificate that is none", {"tarnhold.crt": b"", "tarnhold.key": key},
             "tarnhold.crt holds no PEM certificate"),
            ("an unreadable key", {"tarnhold.crt": crt, "tarnhold.key": None},
             r"tarnhold.key cannot be read \(Is a directory\)"),
        ]
        for label, files, reason in cases:
            with self.subTest(label):
                given = {n: v for n, v in files.items() if v is not None}
                server = harness.ServerProcess(os.environ["TARNHOLD_SERVER"], harness.HEADLESS,
                                               files=dict(given, **{"tarnhold.bot": lambda port:
                                                   settings(port, self.home, TLS)}))
                self.addCleanup(server.cleanup)
                for name in set(files) - set(given):
                    os.mkdir(os.path.join(server.config_dir, name))
                server.start(listen=False)
                server.wait_for_line(CERT_ERROR % (server.config_dir, reason))
                self.assertTrue(server.running())
                self.assertFalse(harness.port_is_listening(server.port))
                for name, value in given.items():
                    with open(os.path.join(server.config_dir, name), "rb") as f:
                        self.assertEqual(f.read(), value, "the owner's file is left alone")
                self.assertEqual(server.stop(), 0)


class TlsClientsTest(TlsTestCase):

    def setUp(self):
        super().setUp()
        self.write("awkward.bin", AWKWARD)
        self.server = self.serve_tls()
        self.url = "ftp://alice:secret@%s:%d/" % (harness.LOOPBACK, self.server.port)

    def run_client(self, args, timeout=120):
        result = subprocess.run(args, capture_output=True, timeout=timeout)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
        return result.stdout

    def test_ftplib_ftp_tls_in_both_modes(self):
        for passive in (True, False):
            with self.subTest(passive=passive):
                ftp = harness.ReusingFTP_TLS(context=client_context())
                ftp.connect(harness.LOOPBACK, self.server.port, timeout=30)
                self.addCleanup(ftp.close)
                ftp.login("alice", "secret")
                ftp.prot_p()
                ftp.set_pasv(passive)
                name = "ftplib-%d" % passive
                self.round_trip(ftp, name)
                # Stock prot_c() sends PROT C without PBSZ.
                self.assertEqual(ftp.prot_c(), "200 PROT C successful")
                self.assertIn("awkward.bin", ftp.nlst())
                self.assertTrue(ftp.quit().startswith("221"))

    def test_curl_lists_downloads_and_uploads_over_tls(self):
        source = os.path.join(self.root, "to upload")
        with open(source, "wb") as f:
            f.write(AWKWARD)
        # Passive only: Debian 12's curl 7.88 never starts TLS on an active
        # data connection, whatever the server (curl issue 10666).
        for mode in ([],):
            with self.subTest(mode=mode):
                curl = ["curl", "--silent", "--show-error", "--max-time", "60",
                        "--ssl-reqd", "-k"] + mode
                self.assertIn(b" awkward.bin", self.run_client(curl + [self.url]))
                self.assertEqual(self.run_client(curl + [self.url + "awkward.bin"]), AWKWARD)
                name = "curl-active" if mode else "curl-passive"
                self.run_client(curl + ["-T", source, self.url + name])
                self.assertEqual(self.read(name), AWKWARD)

    def test_lftp_with_ssl_forced(self):
        target = os.path.join(self.root, "lftp-down")
        os.mkdir(target)
        source = os.path.join(self.root, "lftp-up")
        with open(source, "wb") as f:
            f.write(AWKWARD)
        for passive in ("true", "false"):
            with self.subTest(passive=passive):
                script = ("set ftp:ssl-force true; set ftp:ssl-protect-data true; "
                          "set ssl:verify-certificate no; set ftp:passive-mode %s; "
                          "set net:max-retries 1; set net:timeout 20; "
                          "open -u alice,secret -p %d %s; ls; get awkward.bin -o %s/%s; "
                          "put %s -o up-%s; bye" % (passive, self.server.port, harness.LOOPBACK,
                                                    target, passive, source, passive))
                listing = self.run_client(["lftp", "-c", script])
                self.assertIn(b"awkward.bin", listing)
                with open(os.path.join(target, passive), "rb") as f:
                    self.assertEqual(f.read(), AWKWARD)
                self.assertEqual(self.read("up-" + passive), AWKWARD)


class UploadLoopTest(TlsTestCase):
    """Every complete upload over TLS is stored whole and answered 226, for
    each client and TLS version: a client that never reads its upload's
    data connection must not see that connection reset."""

    SIZES = (1, 114688, 300000, 1048576 + 7)

    def setUp(self):
        super().setUp()
        self.server = self.serve_tls()
        self.sources = {}
        for size in self.SIZES:
            data = os.urandom(size)
            path = os.path.join(self.root, "source-%d" % size)
            with open(path, "wb") as f:
                f.write(data)
            self.sources[size] = (path, data)

    def check(self, name, data, what):
        self.assertEqual(self.read(name), data, what)
        os.remove(self.path(name))

    def curl(self, version, size, n):
        path, data = self.sources[size]
        limits = ["--tlsv1.3"] if version == "1.3" else ["--tlsv1.2", "--tls-max", "1.2"]
        name = "curl-%s-%d-%d" % (version, size, n)
        url = "ftp://alice:secret@%s:%d/%s" % (harness.LOOPBACK, self.server.port, name)
        result = subprocess.run(["curl", "--silent", "--show-error", "--max-time", "60",
                                 "--ssl-reqd", "-k", "-T", path, url] + limits,
                                capture_output=True, timeout=90)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
        self.check(name, data, name)

    def lftp(self, version, size, n):
        path, data = self.sources[size]
        priority = "NORMAL" if version == "1.3" else "NORMAL:-VERS-TLS1.3"
        name = "lftp-%s-%d-%d" % (version, size, n)
        script = ("set ftp:ssl-force true; set ftp:ssl-protect-data true; "
                  "set ssl:verify-certificate no; set ssl:priority %s; "
                  "set net:max-retries 1; set net:timeout 20; "
                  "open -u alice,secret -p %d %s; put %s -o %s; bye"
                  % (priority, self.server.port, harness.LOOPBACK, path, name))
        result = subprocess.run(["lftp", "-c", script], capture_output=True, timeout=90)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
        self.check(name, data, name)

    def ftplib(self, version, size, n):
        _, data = self.sources[size]
        context = client_context()
        if version == "1.3":
            context.minimum_version = ssl.TLSVersion.TLSv1_3
        else:
            context.maximum_version = ssl.TLSVersion.TLSv1_2
        ftp = harness.ReusingFTP_TLS(context=context)
        ftp.connect(harness.LOOPBACK, self.server.port, timeout=30)
        try:
            ftp.login("alice", "secret")
            ftp.prot_p()
            name = "ftplib-%s-%d-%d" % (version, size, n)
            self.assertEqual(ftp.storbinary("STOR " + name, io.BytesIO(data)),
                             "226 Transfer Complete")
            ftp.quit()
        finally:
            ftp.close()
        self.check(name, data, name)

    def test_uploads_of_several_sizes_arrive_whole(self):
        uploads = 0
        for client in (self.curl, self.lftp, self.ftplib):
            for version in ("1.2", "1.3"):
                for n in range(3):
                    for size in self.SIZES:
                        with self.subTest(client=client.__name__, version=version, size=size):
                            client(version, size, n)
                            uploads += 1
        self.assertGreaterEqual(uploads, 50)


if __name__ == "__main__":
    unittest.main()
