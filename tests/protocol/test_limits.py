"""apply_limits = yes: "Max user limit" bounds the connections served,
an account's "Max logins" its sessions and its "Timeout interval" their
idle time; with the key off (or absent) all three stay as designed. Also
the open file limit raised at start, and said in the log when it is too
low for "Max user limit"."""

import shutil
import tempfile
import time

import harness
from harness import MARK

GREETING = b"220 Connected to Tarnwell Server\r\n"
BUSY = b"550 Too Many Connections, Please Try Later.\r\n"
FULL = b"530 Too many sessions for this account\r\n"
NOOP = b"NOOP\r\n"


def account(name, password, home, timeout=300, maxlogins=10):
    """A named account (login = name in lower case) with every right at home."""
    fields = [name, name.lower(), password, home, "", 0, "f4240", "f4240", timeout, maxlogins, 1,
              0, 0, 0, 0]
    return ("REGACCT" + MARK + "\r\n" + "".join("%s\r\n" % v for v in fields) +
            "ACCPATH" + MARK + "\r\n" + home + "\r\n77\r\n0\r\n")


class LimitsTest(harness.ServerTestCase):

    def serve(self, apply_limits, maxusers=100, accounts=(), nofile=None):
        """A headless server; apply_limits is the key's value, or None for
        no tarnhold.conf at all. accounts: (name, timeout, maxlogins)."""
        home = tempfile.mkdtemp(prefix="tarnhold-limits-")
        self.addCleanup(shutil.rmtree, home, True)
        sections = "".join(account(name, "pw", home, timeout, maxlogins)
                           for name, timeout, maxlogins in accounts)
        files = {"tarnhold.bot": lambda port: harness.settings_file(port, maxusers=maxusers,
                                                                    sections=sections)}
        if apply_limits is not None:
            files["tarnhold.conf"] = "apply_limits = %s\n" % apply_limits
        server = self.start_server(harness.HEADLESS, files=files, nofile=nofile)
        server.wait_for_line(r"Listening for connections on port %d$" % server.port)
        return server

    def greeted(self, server):
        client = self.connect(server.port)
        self.assertEqual(client.recv_until(), GREETING)
        return client

    def log_in(self, server, name, client=None):
        """A session logged in as name; the PASS reply's first line when it
        is refused, else the client."""
        client = client or self.greeted(server)
        client.send(b"USER %s\r\n" % name.encode())
        self.assertTrue(client.recv_until().startswith(b"331 "))
        client.send(b"PASS pw\r\n")
        reply = client.recv_until()
        if reply != b"230-logon successful\r\n":
            return reply
        self.assertEqual(client.recv_until(), b"230 \r\n")
        return client

    def assert_alive(self, *clients):
        for client in clients:
            client.send(NOOP)
            self.assertEqual(client.recv_until(), b"200 NOOP command successful\r\n")

    def test_max_user_limit_refuses_the_next_connection_and_its_own_go_on(self):
        server = self.serve("yes", maxusers=3)
        held = [self.greeted(server) for _ in range(3)]
        extra = self.connect(server.port)
        self.assertEqual(extra.expect_closed(), BUSY)
        self.assert_alive(*held)
        # A place given up is free by the time the client sees its
        # connection end.
        held[0].send(b"QUIT\r\n")
        self.assertEqual(held[0].expect_closed(), b"221 Goodbye\r\n")
        held[0] = self.greeted(server)
        self.assertEqual(self.connect(server.port).expect_closed(), BUSY)
        self.assert_alive(*held)

    def test_max_user_limit_zero_means_no_limit(self):
        server = self.serve("yes", maxusers=0)
        held = [self.greeted(server) for _ in range(25)]
        self.assert_alive(*held)

    def test_max_logins_refuses_the_account_not_the_others(self):
        server = self.serve("yes", accounts=[("Bob", 300, 2), ("Alice", 300, 1)])
        bobs = [self.log_in(server, "Bob") for _ in range(2)]
        third = self.greeted(server)
        self.assertEqual(self.log_in(server, "Bob", third), FULL)
        server.wait_for_line(r"Connection from 127\.0\.0\.1 rejected\. \[Reason: too many sessions\]$")
        alice = self.log_in(server, "Alice")
        self.assertNotIsInstance(alice, bytes)
        # Refused, the session is not logged in, and may try again.
        third.send(b"PWD\r\n")
        self.assertEqual(third.recv_until(), b"530 Please login with USER and PASS\r\n")
        # A session that logs in again gives up its own login first.
        self.assertIs(self.log_in(server, "Bob", bobs[1]), bobs[1])
        # A logout frees the place before its goodbye arrives.
        bobs[0].send(b"QUIT\r\n")
        self.assertEqual(bobs[0].recv_until(), b"221 Goodbye\r\n")
        self.assertIs(self.log_in(server, "Bob", third), third)
        self.assertEqual(self.log_in(server, "Bob"), FULL)
        self.assert_alive(bobs[1], third, alice)

    def test_an_accounts_timeout_ends_its_idle_sessions_only(self):
        # Bob's 2 s end his session; Alice's 0 leaves hers to the server's
        # 300 s.
        server = self.serve("yes", accounts=[("Bob", 2, 0), ("Alice", 0, 0)])
        bob = self.log_in(server, "Bob")
        alice = self.log_in(server, "Alice")
        self.assertEqual(bob.expect_closed(timeout=30), b"")
        server.wait_for_line(r"Connection from 127\.0\.0\.1 disconnected\.$")
        self.assert_alive(alice)

    def test_all_three_as_designed_without_the_key(self):
        for apply_limits in ("no", None):
            with self.subTest(apply_limits=apply_limits):
                server = self.serve(apply_limits, maxusers=2, accounts=[("Bob", 1, 1)])
                bobs = [self.log_in(server, "Bob") for _ in range(2)]
                others = [self.greeted(server) for _ in range(18)]
                self.assertEqual(self.connect(server.port).expect_closed(), BUSY)
                time.sleep(3)  # past Bob's own time-out of 1 s
                self.assert_alive(*bobs)
                for client in bobs + others:
                    client.close()
                server.stop()

    def test_the_open_file_limit_is_raised_and_a_too_low_one_logged(self):
        server = self.serve("yes", maxusers=1000, nofile=(64, 1024))
        with open("/proc/%d/limits" % server.process.pid) as f:
            limits = [line.split()[3:5] for line in f if line.startswith("Max open files")]
        self.assertEqual(limits, [["1024", "1024"]])
        server.wait_for_line(r"\[TarnHold error\] The open file limit \(1024\) is below the 4064 "
                             r"that a Max user limit of 1000 needs; raise it \(ulimit -n, "
                             r"LimitNOFILE=\)$")
        # Enough for 100 users: nothing to say (the session's end is the
        # next line after the start).
        quiet = self.serve("yes", maxusers=100, nofile=(64, 1024))
        client = self.greeted(quiet)
        client.send(b"QUIT\r\n")
        client.expect_closed()
        quiet.wait_for_line(r"Connection from 127\.0\.0\.1 disconnected\.$")
        self.assertFalse(any("open file limit" in line for line in quiet.lines), quiet.lines)


if __name__ == "__main__":
    import unittest
    unittest.main()
