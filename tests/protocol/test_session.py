"""FTP sessions of the tarnhold executable run headless: the greeting, how
command lines are classified, the login gate, USER and PASS, login
messages, the log lines of a session's life, the idle time-out and input
of any content."""

import ftplib
import re
import shutil
import tempfile
import time
import unittest

import harness
from harness import HEADLESS, MARK, NOOP_OK

GREETING = b"220 Connected to Tarnwell Server\r\n"
NOT_IMPLEMENTED = b"502 Command not implemented\r\n"
DENIED = b"550 Access is denied\r\n"
LOGIN_FIRST = b"530 Please login with USER and PASS\r\n"
USER_OK = b"331 User name OK, send password as PASS\r\n"
ANONYMOUS_OK = b"331 anonymous access allowed, send email name as PASS\r\n"
ANONYMOUS_OFF = b"530 anonymous access not allowed\r\n"
LOGON = b"230-logon successful\r\n"
CANNOT_LOG_IN = b"530 User cannot log in\r\n"
HELP_LINES = [
    b"214-The following commands are implemented\r\n",
    b"     USER  PASS  ACCT  QUIT  PORT  RETR\r\n",
    b"     STOR  DELE  RNFR  PWD   CWD   CDUP\r\n",
    b"     MKD   RMD   NOOP  TYPE  MODE  STRU\r\n",
    b"     LIST  HELP        FEAT        UTF8\r\n",
    b"214  HELP command successful\r\n",
]


def account_lines(name, login, password, home, message="", enabled=1, maxlogins=10):
    """The 15 value lines of an account; message lines are joined by the
    file's 0x1C 0x1D pair."""
    return [name, login, password, home, message.replace("\r\n", "\x1c\x1d"),
            "0", "f4240", "f4240", "300", str(maxlogins), str(enabled), "0", "0", "0", "0"]


def settings(port, home, idletimeout=300, emailcheck=0, anonymous=0, anonymous_message="",
             accounts=()):
    """A settings file; accounts are tuples (name, login, password[, message[, enabled
    [, maxlogins]]])."""
    options = [port, 0, "f4240", "f4240", 100, emailcheck, 1, 0, idletimeout]
    lines = ["SRVROPT" + MARK] + [str(v) for v in options]
    lines += ["ANONACCT" + MARK] + account_lines("Public FTP Account", "", "", home,
                                                 anonymous_message, enabled=anonymous)
    for account in accounts:
        name, login, password, *rest = account
        message = rest[0] if len(rest) > 0 else ""
        enabled = rest[1] if len(rest) > 1 else 1
        maxlogins = rest[2] if len(rest) > 2 else 10
        lines += ["REGACCT" + MARK] + account_lines(name, login, password, home, message,
                                                    enabled, maxlogins)
    lines += ["BLKLIST" + MARK]
    return "\r\n".join(lines) + "\r\n"


def log_line(text):
    return r"\[TarnHold basic\] " + re.escape(text) + "$"


ACCEPTED = "Connection from 127.0.0.1 accepted. [Account: %s]"
REJECTED = "Connection from 127.0.0.1 rejected. [Reason: bad password]"
DISCONNECTED = "Connection from 127.0.0.1 disconnected."


class SessionTest(harness.ServerTestCase):

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="tarnhold-home-")
        self.addCleanup(shutil.rmtree, self.home, True)

    def serve(self, **options):
        server = self.start_server(HEADLESS, files={
            "tarnhold.bot": lambda port: settings(port, self.home, **options)})
        server.wait_for_line(r"\[TarnHold basic\] Listening for connections on port %d$" % server.port)
        # Whatever the sessions did, the server ends cleanly (a sanitizer
        # build ends otherwise when it found a fault).
        self.addCleanup(lambda: self.assertEqual(server.stop(), 0))
        return server

    def greeted(self, server):
        client = self.connect(server.port)
        self.assertEqual(client.recv_until(), GREETING)
        return client

    @staticmethod
    def ask(client, line):
        client.send(line + b"\r\n")
        return client.recv_until()

    def log_in(self, client, user, password, user_reply=USER_OK):
        self.assertEqual(self.ask(client, b"USER " + user), user_reply)
        self.assertEqual(self.ask(client, b"PASS " + password), LOGON)
        self.assertEqual(client.recv_until(), b"230 \r\n")

    def test_greeting_and_line_classification(self):
        server = self.serve()
        client = self.greeted(server)
        cases = [
            (b"noop", NOOP_OK),
            (b"NOOPX", NOOP_OK),
            (b"CWDX /", NOT_IMPLEMENTED),
            (b"UTF8", NOT_IMPLEMENTED),
            (b"", NOT_IMPLEMENTED),
            (b"NOOP " + b"x" * 211, NOOP_OK),      # 216 characters
            (b"NOOP " + b"x" * 212, DENIED),       # 217 characters
            (b"USER " + b"u" * 212, DENIED),       # not carried out:
            (b"PASS x", b"500 PASS - USER must be sent first\r\n"),
            (b"STOU name", NOT_IMPLEMENTED),
        ]
        for line, reply in cases:
            with self.subTest(line=line[:20]):
                self.assertEqual(self.ask(client, line), reply)

    def test_login_gate(self):
        server = self.serve(accounts=[("Alice", "alice", "secret")])
        client = self.greeted(server)
        before = [
            (b"SYST", LOGIN_FIRST),
            (b"CWD /", LOGIN_FIRST),
            (b"MODE S", LOGIN_FIRST),
            (b"FEAT x", NOT_IMPLEMENTED),
            (b"AUTH TLS", b"503 unknown security mechanism\r\n"),
            (b"ACCT x", NOT_IMPLEMENTED),
            (b"NOOP", NOOP_OK),
            (b"STOU name", NOT_IMPLEMENTED),
        ]
        for line, reply in before:
            with self.subTest(before=line):
                self.assertEqual(self.ask(client, line), reply)
        client.send(b"HELP\r\n")
        self.assertEqual([client.recv_until() for _ in HELP_LINES], HELP_LINES)

        self.log_in(client, b"alice", b"secret")
        after = [
            (b"SYST", NOT_IMPLEMENTED),
            (b"MODE S", b"502 MODE command not implemented\r\n"),
            (b"STOU name", NOT_IMPLEMENTED),
            (b"REIN", NOT_IMPLEMENTED),
        ]
        for line, reply in after:
            with self.subTest(after=line):
                self.assertEqual(self.ask(client, line), reply)

    def test_user_and_pass(self):
        server = self.serve(accounts=[("Alice", "alice", "Secret"),
                                      ("Off", "off", "pw", "", 0)])
        cases = [
            # (lines sent, replies expected), each on a fresh connection
            ([b"USER", b"PASS"], [b"500 USER - command not understood\r\n",
                                  b"500 PASS - USER must be sent first\r\n"]),
            ([b"USER alice", b"PASS"], [USER_OK, b"500 PASS: command not understood\r\n"]),
            ([b"USER  alice", b"PASS Secret"], [USER_OK, LOGON]),
            ([b"USER ALICE", b"PASS sECRET"], [USER_OK, LOGON]),
            ([b"USER alice", b"PASS Secret and more"], [USER_OK, LOGON]),
            ([b"USER alice", b"PASS Secre"], [USER_OK, CANNOT_LOG_IN]),
            ([b"USER alice", b"PASS wrong", b"PASS Secret"], [USER_OK, CANNOT_LOG_IN, LOGON]),
            ([b"USER off", b"PASS pw"], [USER_OK, CANNOT_LOG_IN]),
            ([b"USER nobody", b"PASS pw"], [USER_OK, CANNOT_LOG_IN]),
            ([b"USER anonymous", b"PASS me@host.org"], [ANONYMOUS_OFF, CANNOT_LOG_IN]),
        ]
        for lines, replies in cases:
            with self.subTest(lines=lines):
                client = self.greeted(server)
                self.assertEqual([self.ask(client, line) for line in lines], replies)
                client.close()

    def test_anonymous_login_and_the_email_rule(self):
        for emailcheck, accepted, refused in (
                (0, [b"x", b"me@host.org"], []),
                (1, [b"me@host.org", b"@.x"], [b"nomail", b"me@host.", b"me.x@host"])):
            with self.subTest(emailcheck=emailcheck):
                server = self.serve(anonymous=1, emailcheck=emailcheck)
                for password in accepted:
                    client = self.greeted(server)
                    self.log_in(client, b"Anonymous", password, ANONYMOUS_OK)
                for password in refused:
                    client = self.greeted(server)
                    self.assertEqual(self.ask(client, b"USER anonymous"), ANONYMOUS_OK)
                    self.assertEqual(self.ask(client, b"PASS " + password), CANNOT_LOG_IN)
                server.stop()

    def test_relogin_first_of_two_and_three_sessions_on_one_account(self):
        server = self.serve(accounts=[("First", "same", "pw", "first"),
                                      ("Second", "same", "pw", "second"),
                                      ("Single", "single", "pw", "", 1, 1)])
        client = self.greeted(server)
        self.assertEqual(self.ask(client, b"USER same"), USER_OK)
        self.assertEqual(self.ask(client, b"PASS pw"), LOGON)
        self.assertEqual(client.recv_until(), b"230 first\r\n")
        server.wait_for_line(log_line(ACCEPTED % "First"))
        # USER again ends the login until the next good PASS.
        self.assertEqual(self.ask(client, b"USER same"), USER_OK)
        self.assertEqual(self.ask(client, b"SYST"), LOGIN_FIRST)
        self.assertEqual(self.ask(client, b"PASS pw"), LOGON)
        self.assertEqual(client.recv_until(), b"230 first\r\n")
        self.assertEqual(self.ask(client, b"SYST"), NOT_IMPLEMENTED)
        # A failed PASS after a login ends it too.
        self.assertEqual(self.ask(client, b"PASS bad"), CANNOT_LOG_IN)
        self.assertEqual(self.ask(client, b"SYST"), LOGIN_FIRST)

        # Max logins 1 is not applied.
        sessions = [self.greeted(server) for _ in range(3)]
        for session in sessions:
            self.log_in(session, b"single", b"pw")
        for session in sessions:
            self.assertEqual(self.ask(session, b"SYST"), NOT_IMPLEMENTED)

    def test_login_messages(self):
        for message, expected in (
                ("Welcome", [b"230 Welcome\r\n"]),
                ("Welcome\r\nRead only", [b"230-Welcome\r\n", b"230 Read only\r\n"]),
                ("", [b"230 \r\n"])):
            with self.subTest(message=message):
                server = self.serve(anonymous=1, anonymous_message=message)
                client = self.greeted(server)
                self.assertEqual(self.ask(client, b"USER anonymous"), ANONYMOUS_OK)
                self.assertEqual(self.ask(client, b"PASS a@b.c"), LOGON)
                self.assertEqual([client.recv_until() for _ in expected], expected)
                self.assertEqual(self.ask(client, b"NOOP"), NOOP_OK)
                server.stop()

    def test_log_lines_of_a_session(self):
        server = self.serve(accounts=[("Alice", "alice", "secret")])
        client = self.greeted(server)
        self.assertEqual(self.ask(client, b"USER alice"), USER_OK)
        self.assertEqual(self.ask(client, b"PASS wrong"), CANNOT_LOG_IN)
        self.assertEqual(self.ask(client, b"USER nobody"), USER_OK)
        self.assertEqual(self.ask(client, b"PASS secret"), CANNOT_LOG_IN)
        self.log_in(client, b"alice", b"secret")
        self.assertEqual(self.ask(client, b"QUIT"), b"221 Goodbye\r\n")
        self.assertEqual(client.expect_closed(), b"")
        for text in (REJECTED, REJECTED, ACCEPTED % "Alice", DISCONNECTED):
            server.wait_for_line(log_line(text))

        # A client that just goes away is logged as disconnected too.
        client = self.greeted(server)
        self.log_in(client, b"alice", b"secret")
        server.wait_for_line(log_line(ACCEPTED % "Alice"))
        client.close()
        server.wait_for_line(log_line(DISCONNECTED))

    def test_idle_time_out(self):
        server = self.serve(idletimeout=2)
        silent = self.greeted(server)
        started = time.monotonic()
        self.assertEqual(silent.expect_closed(timeout=30), b"")
        self.assertGreaterEqual(time.monotonic() - started, 1.5)
        server.wait_for_line(log_line(DISCONNECTED))

        server.stop()
        server = self.serve(idletimeout=0)
        silent = self.greeted(server)
        time.sleep(4)
        self.assertEqual(self.ask(silent, b"NOOP"), NOOP_OK)

    def test_lines_of_any_content(self):
        server = self.serve()
        client = self.greeted(server)
        for line in (b"NO\x00OP", b"\x00\x00\x00\x00", b"\xff\xfe\x80\x81 \xc3\xa9",
                     b"\r\r\r", b"\n\n", b"NOOP\x00trailing"):
            with self.subTest(line=line):
                client.send(line + b"\r\n")
                reply = client.recv_until()
                self.assertIn(reply, (NOT_IMPLEMENTED, NOOP_OK, DENIED))
                self.assertEqual(self.ask(client, b"NOOP"), NOOP_OK)

        # 64 KiB without a line end arrives as pieces, each refused or
        # rejected; the NOOP after it is answered last.
        client.send(b"A" * 65536 + b"\r\nNOOP\r\n")
        replies = []
        while True:
            reply = client.recv_until(timeout=60)
            if reply == NOOP_OK:
                break
            replies.append(reply)
        self.assertTrue(set(replies) <= {DENIED, NOT_IMPLEMENTED}, set(replies))
        self.assertIn(DENIED, replies)

        # A flood in one send: every command answered, in order.
        client.send(b"NOOP\r\n" * 2000 + b"HELP\r\n")
        for _ in range(2000):
            self.assertEqual(client.recv_until(timeout=60), NOOP_OK)
        self.assertEqual([client.recv_until() for _ in HELP_LINES], HELP_LINES)
        self.assertTrue(server.running())

    def test_the_twenty_first_connection_is_refused_without_a_greeting(self):
        server = self.serve()
        sessions = [self.greeted(server) for _ in range(20)]
        refused = self.connect(server.port)
        self.assertEqual(refused.expect_closed(),
                         b"550 Too Many Connections, Please Try Later.\r\n")
        self.assertEqual(self.ask(sessions[-1], b"NOOP"), NOOP_OK)

    def test_ftplib_logs_in_and_quits(self):
        server = self.serve(anonymous=1, anonymous_message="Hello\r\nthere",
                            accounts=[("Alice", "alice", "secret", "Hi")])
        for user, password in (("alice", "secret"), ("anonymous", "")):
            with self.subTest(user=user):
                ftp = ftplib.FTP()
                ftp.connect(harness.LOOPBACK, server.port, timeout=10)
                self.assertTrue(ftp.getwelcome().startswith("220 Connected"))
                self.assertTrue(ftp.login(user, password).startswith("230"))
                self.assertTrue(ftp.voidcmd("NOOP").startswith("200"))
                self.assertTrue(ftp.quit().startswith("221"))
        server.wait_for_line(log_line(ACCEPTED % "Public FTP Account"))


if __name__ == "__main__":
    unittest.main()
