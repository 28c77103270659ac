"""The login guard (feature bit 0x8) of the tarnhold executable, driven with
raw sockets from several loopback addresses (127.0.0.x are distinct peers):
failed logins block their address for growing times, a blocked address's
new connections are closed without a reply while other addresses are
served, the failing session's "530" waits for the block to run out while
successful logins and other sessions go on at once, and an exit ends the
wait at once. With the bit off, failed logins block nothing.

Block lengths are shown by what a client observes (a connection refused
during the block, served after it) and by lower bounds on the waits only."""

import re
import select
import signal
import socket
import time
import unittest

import harness
import test_data
from harness import NOOP_OK

GUARD = 0x8
GREETING = b"220 Connected to Tarnwell Server\r\n"
USER_OK = b"331 User name OK, send password as PASS\r\n"
CANNOT_LOG_IN = b"530 User cannot log in\r\n"
LOGGED_IN = b"230-logon successful\r\n"
DISCONNECTING = b"500 Disconnecting\r\n"
# time() on the server and the test's monotonic clock may differ by a tick.
CLOCK_SLACK = 0.05


class Peer(harness.Client):
    """A raw client whose connection comes from a loopback address of its
    choosing."""

    def __init__(self, port, source, timeout=10):
        self.sock = socket.create_connection((harness.LOOPBACK, port), timeout=timeout,
                                             source_address=(source, 0))
        self.timeout = timeout
        self.pending = b""

    def ask(self, line, timeout=None):
        self.send(line + b"\r\n")
        return self.recv_until(timeout=timeout)

    def has_nothing_to_read(self):
        """Whether no reply has come (and the connection is still open)."""
        if self.pending:
            return False
        readable, _, _ = select.select([self.sock], [], [], 0)
        return not readable


class GuardTest(test_data.DataTestCase):

    def peer(self, server, source):
        client = Peer(server.port, source)
        self.addCleanup(client.close)
        return client

    def greeted(self, server, source, user=b"alice"):
        """A connection from source, greeted, with USER sent."""
        client = self.peer(server, source)
        self.assertEqual(client.recv_until(), GREETING)
        self.assertEqual(client.ask(b"USER " + user), USER_OK)
        return client

    def assert_refused_silently(self, server, source):
        """A new connection from source is closed without a single byte."""
        self.assertEqual(self.peer(server, source).expect_closed(), b"")

    def assert_served(self, server, source):
        client = self.peer(server, source)
        self.assertEqual(client.recv_until(), GREETING)
        client.close()

    def test_failures_block_for_growing_times_while_others_are_served(self):
        server = self.serve(features=GUARD)
        guesser = self.greeted(server, "127.0.0.2")
        # Opened before any failure: a session of the blocked address that
        # is already open stays open and may still log in.
        sibling = self.greeted(server, "127.0.0.2")
        for offences in (1, 2, 3):
            sent = time.monotonic()
            guesser.send(b"PASS wrong\r\n")
            # The address is blocked by the time the console shows the line,
            # and the line does not wait for the block.
            server.wait_for_line(harness.rejected("127.0.0.2"))
            if offences >= 2:  # blocks of 4 and 9 s leave ample time to look
                self.assert_refused_silently(server, "127.0.0.2")
            if offences == 3:
                # Another address logs in and works while the guesser waits.
                other = test_data.Session(self, server.port, host=harness.LOOPBACK)
                other_peer = self.greeted(server, "127.0.0.3")
                self.assertEqual(other_peer.ask(b"PASS secret"), LOGGED_IN)
                self.assertEqual(other_peer.recv_until(), b"230 \r\n")
                self.assertEqual(other_peer.ask(b"NOOP"), NOOP_OK)
                self.assertEqual(other.ask(b"PWD"), b'257 "/" is current directory\r\n')
                # A successful login of the blocked address answers at once.
                self.assertEqual(sibling.ask(b"PASS secret"), LOGGED_IN)
                self.assertEqual(sibling.recv_until(), b"230 \r\n")
                self.assertEqual(sibling.ask(b"NOOP"), NOOP_OK)
                self.assertTrue(guesser.has_nothing_to_read(),
                                "the guesser's 530 came before the others were served")
                # ... and clears nothing.
                self.assert_refused_silently(server, "127.0.0.2")
            self.assertEqual(guesser.recv_until(timeout=40), CANNOT_LOG_IN)
            waited = time.monotonic() - sent
            self.assertGreaterEqual(waited, offences * offences - CLOCK_SLACK)
            # The 530 comes once the block has run out.
            self.assert_served(server, "127.0.0.2")
        # The failing session may go on trying, and succeed.
        self.assertEqual(guesser.ask(b"PASS secret"), LOGGED_IN)

    def test_sessions_of_one_address_share_its_block_and_an_exit_ends_their_wait(self):
        server = self.serve(features=GUARD)
        guessers = [self.greeted(server, "127.0.0.4") for _ in range(5)]
        for guesser in guessers:
            guesser.send(b"PASS wrong\r\n")
        for _ in guessers:
            server.wait_for_line(harness.rejected("127.0.0.4"))
        # Five offences: blocked for 25 s, each session's 530 waiting for it.
        self.assert_refused_silently(server, "127.0.0.4")
        self.assertTrue(all(guesser.has_nothing_to_read() for guesser in guessers))
        signalled = time.monotonic()
        server.process.send_signal(signal.SIGTERM)
        for guesser in guessers:
            self.assertEqual(guesser.recv_until(timeout=40), DISCONNECTING)
            self.assertEqual(guesser.expect_closed(timeout=40), b"")
        # Generous, yet far below the block the sessions were waiting out.
        self.assertLess(time.monotonic() - signalled, 15)
        self.assertEqual(server.process.wait(40), 0)

    def test_a_client_that_leaves_during_the_wait_ends_its_session(self):
        server = self.serve(features=GUARD)
        staying, leaving, third = (self.greeted(server, "127.0.0.5") for _ in range(3))
        for guesser in (staying, leaving, third):
            guesser.send(b"PASS wrong\r\n")
            server.wait_for_line(harness.rejected("127.0.0.5"))
        leaving.close()
        # Its session ends while the block (9 s) still holds the others.
        server.wait_for_line(re.escape("Connection from 127.0.0.5 disconnected."))
        self.assertTrue(staying.has_nothing_to_read())
        self.assertEqual(staying.recv_until(timeout=40), CANNOT_LOG_IN)
        self.assertEqual(third.recv_until(timeout=40), CANNOT_LOG_IN)

    def test_without_the_guard_failures_block_nothing(self):
        server = self.serve()
        guesser = self.greeted(server, "127.0.0.6")
        for _ in range(5):
            self.assertEqual(guesser.ask(b"PASS wrong"), CANNOT_LOG_IN)
        self.assert_served(server, "127.0.0.6")
        self.assertEqual(guesser.ask(b"PASS secret"), LOGGED_IN)


if __name__ == "__main__":
    unittest.main()
