"""The tarnhold executable run headless: start-up with and without a
settings file, the log on standard output, a port that cannot be used, the
end on SIGTERM and SIGINT with sessions connected, a closed standard output
and the command line."""

import os
import re
import resource
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import time
import unittest

import harness
from harness import HEADLESS

GREETING = b"220 Connected to Tarnwell Server\r\n"
DISCONNECTING = b"500 Disconnecting\r\n"
LOG_LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[(TarnHold basic|TarnHold error|TarnHold Note)\] (.*)$")


def listening_line(port):
    return r"^\S+ \S+ \[TarnHold basic\] Listening for connections on port %d$" % port


def error_line(port):
    return (r"^\S+ \S+ \[TarnHold error\] " +
            re.escape("Could not start listening on port %d. Please check if another program is "
                      "already using this port, or select a different port." % port) + "$")


def named_account(login, password, home):
    """A REGACCT section of an enabled account whose home is its one path."""
    values = [login.capitalize(), login, password, home, "", 0, "f4240", "f4240", 300, 10, 1, 0, 0, 0, 0]
    lines = ["REGACCT+!~*#$"] + [str(v) for v in values] + ["ACCPATH+!~*#$", home, "66", "0"]
    return "\r\n".join(lines) + "\r\n"


class AppTest(harness.ServerTestCase):

    def home(self):
        folder = tempfile.mkdtemp(prefix="tarnhold-home-")
        self.addCleanup(shutil.rmtree, folder, True)
        return folder

    def start_with_settings(self, sections=""):
        server = self.start_server(HEADLESS, files={
            "tarnhold.bot": lambda port: harness.settings_file(port, sections=sections)})
        server.wait_for_line(listening_line(server.port))
        return server

    def assert_only_log_lines(self, server):
        """Everything the ended server wrote to standard output is log lines."""
        for line in server.all_lines():
            self.assertRegex(line, LOG_LINE)

    @staticmethod
    def reply_code(client):
        """The code of the next reply, read to its last line ("ddd ")."""
        line = client.recv_until()
        while line[3:4] == b"-":
            line = client.recv_until()
        return line[:3]

    def log_in(self, client, login, password):
        client.send(b"USER %s\r\n" % login.encode())
        self.assertEqual(self.reply_code(client), b"331")
        client.send(b"PASS %s\r\n" % password.encode())
        self.assertEqual(self.reply_code(client), b"230")

    def test_start_logs_listening_on_the_port_of_the_settings_file(self):
        server = self.start_with_settings()
        self.assertEqual(len(server.lines), 1, "the listening line comes first")
        client = self.connect(server.port)
        self.assertEqual(client.recv_until(), GREETING)
        client.close()
        self.assertEqual(server.stop(), 0)
        self.assert_only_log_lines(server)

    def test_without_settings_file_the_defaults_are_used_and_saved(self):
        # Port 21 may or may not be free here; either outcome shows the
        # default port, and the saved file shows every default.
        server = self.start_server(HEADLESS, listen=False)
        server.wait_for_line(r"\[TarnHold (basic|error)\] (Listening for connections on port 21$|"
                             r"Could not start listening on port 21\. )")
        self.assertEqual(server.stop(), 0)
        with open(os.path.join(server.config_dir, "tarnhold.bot"), "rb") as f:
            saved = f.read()
        self.assertEqual(saved, b"\r\n".join([
            b"SRVROPT+!~*#$", b"21", b"0", b"f4240", b"f4240", b"100", b"0", b"1", b"1", b"300",
            b"ANONACCT+!~*#$", b"Public FTP Account", b"", b"", b"", b"",
            b"0", b"f4240", b"f4240", b"300", b"10", b"1", b"0", b"0", b"0", b"0",
            b"BLKLIST+!~*#$", b""]))
        self.assertFalse(os.path.exists(os.path.join(server.config_dir, "tarnhold.bak")))

    def test_a_port_that_cannot_be_used_logs_the_error_and_the_process_stays_up(self):
        holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(holder.close)
        holder.bind(("0.0.0.0", 0))
        holder.listen(1)
        taken = holder.getsockname()[1]
        unused = harness.free_port()
        # The second port's low 16 bits name a free port; it must not be
        # used in their place.
        for port in (taken, unused + 65536):
            with self.subTest(port=port):
                server = self.start_server(HEADLESS, listen=False, files={
                    "tarnhold.bot": harness.settings_file(port)})
                server.wait_for_line(error_line(port))
                self.assertFalse(harness.port_is_listening(unused))
                time.sleep(0.2)
                self.assertTrue(server.running())
                self.assertEqual(server.stop(), 0)
                self.assert_only_log_lines(server)

    def test_stop_signals_disconnect_sessions_save_settings_and_end_with_zero(self):
        for signum in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=signum.name):
                home = self.home()
                server = self.start_with_settings(named_account("alice", "secret", home))
                settings = os.path.join(server.config_dir, "tarnhold.bot")
                with open(settings, "rb") as f:
                    before = f.read()

                idle = self.connect(server.port)
                self.assertEqual(idle.recv_until(), GREETING)
                logged_in = self.connect(server.port)
                self.assertEqual(logged_in.recv_until(), GREETING)
                self.log_in(logged_in, "alice", "secret")
                server.wait_for_line(r"\[TarnHold basic\] Connection from 127\.0\.0\.1 accepted\. "
                                     r"\[Account: Alice\]$")

                server.process.send_signal(signum)
                for client in (idle, logged_in):
                    self.assertEqual(client.expect_closed(timeout=20), DISCONNECTING)
                self.assertEqual(server.process.wait(timeout=30), 0)

                self.assertEqual(stat.S_IMODE(os.stat(settings).st_mode), 0o600)
                with open(os.path.join(server.config_dir, "tarnhold.bak"), "rb") as f:
                    self.assertEqual(f.read(), before)
                with open(settings, "rb") as f:
                    saved = f.read()
                self.assertTrue(saved.startswith(b"SRVROPT+!~*#$\r\n%d\r\n" % server.port))
                self.assertIn(b"REGACCT+!~*#$\r\nAlice\r\nalice\r\nsecret\r\n%s\r\n" % home.encode(), saved)
                self.assertFalse(harness.port_is_listening(server.port))
                self.assert_only_log_lines(server)

    def test_a_closed_standard_output_does_not_stop_serving(self):
        home = self.home()
        server = self.start_with_settings(named_account("bob", "pw", home))
        server.close_stdout()
        # Each session now logs into a closed pipe, at login and at its end.
        for _ in range(3):
            client = self.connect(server.port)
            self.assertEqual(client.recv_until(), GREETING)
            self.log_in(client, "bob", "pw")
            client.send(b"NOOP\r\n")
            self.assertEqual(self.reply_code(client), b"200")
            client.send(b"QUIT\r\n")
            self.assertEqual(client.expect_closed()[:3], b"221")
        self.assertTrue(server.running())
        self.assertEqual(server.stop(), 0)

    def test_a_settings_file_that_cannot_be_saved_ends_with_an_error(self):
        server = self.start_with_settings()
        shutil.rmtree(server.config_dir)
        self.assertEqual(server.stop(), 1)

    def killed_before_main(self, limit):
        """Whether the executable dies of SIGXFSZ under the limit even when
        asked only for its version, which writes no file of its own."""
        def apply_limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        done = subprocess.run([os.environ["TARNHOLD_SERVER"], "--version"], capture_output=True,
                              preexec_fn=apply_limit, timeout=60)
        return done.returncode == -signal.SIGXFSZ

    def test_under_a_file_size_limit_it_serves_and_a_save_that_cannot_be_written_fails(self):
        home = self.home()
        sections = named_account("alice", "secret", home)
        for limit in (0, 1, 4096):
            with self.subTest(limit=limit):
                if self.killed_before_main(limit):
                    # ThreadSanitizer's runtime writes a file of its own at
                    # start-up, before any code of ours runs.
                    self.skipTest("the executable's runtime cannot start under a file-size "
                                  "limit of %d bytes" % limit)
                server = self.start_server(HEADLESS, fsize=limit, files={
                    "tarnhold.bot": lambda port: harness.settings_file(port, sections=sections)})
                server.wait_for_line(listening_line(server.port))
                settings = os.path.join(server.config_dir, "tarnhold.bot")
                with open(settings, "rb") as f:
                    before = f.read()
                client = self.connect(server.port)
                self.assertEqual(client.recv_until(), GREETING)
                self.log_in(client, "alice", "secret")
                # An upload past the limit fails as a write does; the server lives on.
                listening = socket.create_server((harness.LOOPBACK, 0))
                self.addCleanup(listening.close)
                address = "127,0,0,1,%d,%d" % divmod(listening.getsockname()[1], 256)
                client.send(b"PORT %s\r\n" % address.encode())
                self.assertEqual(self.reply_code(client), b"250")
                client.send(b"STOR big\r\n")
                self.assertEqual(self.reply_code(client), b"150")
                data, _ = listening.accept()
                try:
                    data.sendall(b"x" * 65536)
                except OSError:
                    pass  # the server gave up on the file and closed
                data.close()
                self.assertEqual(self.reply_code(client), b"550")
                self.assertLessEqual(os.path.getsize(os.path.join(home, "big")), limit)
                client.send(b"NOOP\r\n")
                self.assertEqual(self.reply_code(client), b"200")
                # A settings file that fits is saved; one that does not keeps the
                # previous file whole and ends the process with 1.
                fits = len(before) <= limit
                self.assertEqual(server.stop(), 0 if fits else 1)
                with open(settings, "rb") as f:
                    self.assertEqual(f.read(), before)
                os.remove(os.path.join(home, "big"))

    def test_without_config_dir_the_settings_live_in_the_user_config_folder(self):
        # XDG_CONFIG_HOME when it is set, else ~/.config; the folder is made
        # (0700) when missing and the settings are saved there at exit.
        for env, folder in (({"XDG_CONFIG_HOME": "{config_dir}/xdg", "HOME": "{config_dir}"}, "xdg/tarnhold"),
                            ({"XDG_CONFIG_HOME": "", "HOME": "{config_dir}"}, ".config/tarnhold")):
            with self.subTest(folder=folder):
                server = self.start_server(["--headless"], env=env, listen=False)
                # No settings file: the default port 21, listening or not.
                server.wait_for_line(r"(Listening for connections|Could not start listening) on port 21")
                settings = os.path.join(server.config_dir, folder)
                self.assertEqual(stat.S_IMODE(os.stat(settings).st_mode), 0o700)
                self.assertEqual(server.stop(), 0)
                self.assertTrue(os.path.exists(os.path.join(settings, "tarnhold.bot")))

    def test_command_line_errors_end_with_usage_and_code_2(self):
        executable = os.environ["TARNHOLD_SERVER"]
        missing = os.path.join(tempfile.gettempdir(), "tarnhold-no-such-folder-%d" % os.getpid())
        for args in (["--bogus"], ["--headless", "extra"], ["--config-dir"], ["--config-dir", missing]):
            with self.subTest(args=args):
                done = subprocess.run([executable] + args, stdin=subprocess.DEVNULL,
                                      capture_output=True, timeout=30)
                self.assertEqual(done.returncode, 2)
                self.assertEqual(done.stdout, b"")
                self.assertNotEqual(done.stderr, b"")


if __name__ == "__main__":
    unittest.main()
