"""Trust and audit: passwords stored as argon2id hashes (password_storage)
and the xferlog transfer log (transfer_log), against the real server."""

import ftplib
import io
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

import harness
from harness import ALL, HEADLESS, MARK, MODERN

LISTENING = r"Listening for connections on port"


def account_section(login, password, home):
    values = ["Name " + login, login, password, home, "", 0, "f4240", "f4240", 300, 10, 1, 0, 0, 0, 0]
    lines = ["REGACCT" + MARK] + [str(v) for v in values]
    lines += ["ACCPATH" + MARK, home, "%x" % ALL, "0"]
    return "\r\n".join(lines) + "\r\n"


def settings_text(port, sections, anonymous_home=None, features=0):
    """A settings file with the named accounts of sections and, with
    anonymous_home, an enabled anonymous account with every right there."""
    options = [port, features, "f4240", "f4240", 100, 0, 1, 0, 300]
    anonymous = ["Public FTP Account", "", "", anonymous_home or "", "", 0, "f4240", "f4240",
                 300, 10, 1 if anonymous_home else 0, 0, 0, 0, 0]
    lines = ["SRVROPT" + MARK] + [str(v) for v in options]
    lines += ["ANONACCT" + MARK] + [str(v) for v in anonymous]
    if anonymous_home:
        lines += ["ANONACCPATH" + MARK, anonymous_home, "%x" % ALL, "0"]
    return "\r\n".join(lines) + "\r\n" + sections + "BLKLIST" + MARK + "\r\n"


def stored_passwords(path):
    """{login: password line} of the named accounts of a settings file."""
    with open(path, "rb") as f:
        lines = f.read().decode("latin-1").split("\r\n")
    found = {}
    for i, line in enumerate(lines):
        if line.upper() == "REGACCT" + MARK:
            found[lines[i + 2]] = lines[i + 3]
    return found


def wait_until(condition, what, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("not within %s s: %s" % (timeout, what))


class AuditCase(harness.ServerTestCase):

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="tarnhold-audit-")
        self.addCleanup(shutil.rmtree, self.home, True)

    def serve(self, sections, conf="", anonymous_home=None, features=0, fsize=None, backup=True):
        text = lambda port: settings_text(port, sections, anonymous_home, features)
        files = {"tarnhold.bot": text, "tarnhold.conf": conf}
        if backup:
            files["tarnhold.bak"] = text
        server = self.start_server(HEADLESS, files=files, fsize=fsize)
        server.wait_for_line(LISTENING)
        return server

    def ftp(self, server, user, password):
        client = ftplib.FTP()
        client.connect(harness.LOOPBACK, server.port, timeout=20)
        self.addCleanup(client.close)
        client.login(user, password)
        return client

    def refused(self, server, user, password):
        with self.assertRaisesRegex(ftplib.error_perm, "^530 User cannot log in"):
            self.ftp(server, user, password)


class HashedPasswordTest(AuditCase):

    def run_admin(self, folder, *args, stdin=b""):
        return subprocess.run([os.environ["TARNHOLD_SERVER"], "--config-dir", folder] + list(args),
                              input=stdin, capture_output=True, timeout=60)

    def test_a_password_set_while_hashed_is_stored_hashed_and_logs_in_under_either_setting(self):
        folder = tempfile.mkdtemp(prefix="tarnhold-admin-")
        self.addCleanup(shutil.rmtree, folder, True)
        with open(os.path.join(folder, "tarnhold.bot"), "w", newline="") as f:
            f.write(settings_text(2121, account_section("bob", "old", self.home)))
        done = self.run_admin(folder, "option", "set", "password_storage", "hashed")
        self.assertEqual(done.returncode, 0, done.stderr)
        done = self.run_admin(folder, "account", "password", "Name bob", stdin=b"NewPass\n")
        self.assertEqual(done.returncode, 0, done.stderr)
        stored = stored_passwords(os.path.join(folder, "tarnhold.bot"))["bob"]
        self.assertTrue(stored.startswith("$argon2id$v=19$m=19456,t=2,p=1$"), stored)
        listed = self.run_admin(folder, "account", "list")
        self.assertNotIn(b"argon2", listed.stdout + listed.stderr)

        for setting in ("hashed", "plain"):
            with self.subTest(password_storage=setting):
                server = self.serve(account_section("bob", stored, self.home),
                                    conf="password_storage = %s\n" % setting)
                self.ftp(server, "bob", "newpass").quit()
                self.refused(server, "bob", "new")
                self.refused(server, "bob", stored)
                server.stop()
                self.assertNotIn("argon2", "\n".join(server.lines))
                # A hash is kept byte for byte by the exit's save.
                self.assertEqual(stored_passwords(os.path.join(server.config_dir,
                                                               "tarnhold.bot"))["bob"], stored)

    def test_a_plain_password_is_replaced_by_its_hash_at_its_next_login(self):
        sections = account_section("bob", "s3cret", self.home) + account_section("eve", "evil", self.home)
        server = self.serve(sections, conf="password_storage = hashed\n")
        bot = os.path.join(server.config_dir, "tarnhold.bot")
        bak = os.path.join(server.config_dir, "tarnhold.bak")
        self.refused(server, "bob", "wrong")
        self.assertEqual(stored_passwords(bot)["bob"], "s3cret")
        self.ftp(server, "bob", "S3CRET").quit()
        # Written a moment after the login, the backup first.
        wait_until(lambda: stored_passwords(bot)["bob"].startswith("$argon2id$"),
                   "bob's password hashed in tarnhold.bot")
        stored = stored_passwords(bot)["bob"]
        for path in (bot, bak):
            with open(path, "rb") as f:
                self.assertNotIn(b"s3cret", f.read(), path)
            self.assertEqual(stored_passwords(path), {"bob": stored, "eve": "evil"}, path)
        # The hash logs in from now on; a wrong password still fails.
        self.ftp(server, "bob", "s3cret").quit()
        self.refused(server, "bob", "s3cre")
        self.assertNotIn("argon2", "\n".join(server.lines))
        self.assertNotIn("s3cret", "\n".join(server.lines).lower())

    def test_under_plain_storage_nothing_is_hashed_and_a_hash_like_plain_password_is_text(self):
        fake = "$argon2id$v=19$m=19456,t=2,p=1$c2FsdA$aGFzaA"
        server = self.serve(account_section("bob", fake, self.home) +
                            account_section("amy", "plain", self.home))
        self.ftp(server, "bob", fake.upper()).quit()
        self.refused(server, "bob", "x")
        self.ftp(server, "amy", "plain").quit()
        server.stop()  # the exit's save shows what the accounts hold
        self.assertEqual(stored_passwords(os.path.join(server.config_dir, "tarnhold.bot")),
                         {"bob": fake, "amy": "plain"})


def xferlog_fields(line):
    fields = line.split(" ")
    assert len(fields) == 18, line
    # "Fri Dec 11 07:25:11 2026": the day of the month may be padded.
    if fields[2] == "":
        fields = fields[:2] + fields[3:]
        assert len(fields) == 18, line
    time.strptime(" ".join(fields[0:5]), "%a %b %d %H:%M:%S %Y")
    keys = ["seconds", "host", "bytes", "path", "type", "action", "direction", "access",
            "user", "service", "method", "userid", "status"]
    record = dict(zip(keys, fields[5:]))
    assert record["seconds"].isdigit() and record["bytes"].isdigit(), line
    assert (record["type"], record["action"], record["service"], record["method"],
            record["userid"]) == ("b", "_", "ftp", "0", "*"), line
    return record


class TransferLogTest(AuditCase):

    def log_lines(self, path, count):
        """The log's lines once it holds count of them."""
        def ready():
            try:
                with open(path) as f:
                    lines = f.read().splitlines()
            except FileNotFoundError:
                return None
            return lines if len(lines) >= count else None
        lines = wait_until(ready, "%d lines in %s" % (count, path))
        return [xferlog_fields(line) for line in lines]

    def put(self, name, data):
        with open(os.path.join(self.home, name), "wb") as f:
            f.write(data)

    def test_each_transfer_whose_data_connection_opened_logs_one_line_that_matches_it(self):
        self.put("my file.txt", b"x" * 1000)
        with open(os.path.join(self.home, "big"), "wb") as f:
            f.truncate(64 * 1024 * 1024)
        server = self.serve(account_section("bob", "pw", self.home), conf="transfer_log = xferlog\n",
                            features=MODERN)
        log = os.path.join(server.config_dir, "xferlog")
        client = self.ftp(server, "bob", "pw")
        client.retrbinary("RETR my file.txt", lambda data: None)
        client.storbinary("STOR up.bin", io.BytesIO(b"u" * 500))
        client.storbinary("APPE up.bin", io.BytesIO(b"a" * 200))
        client.retrbinary("RETR up.bin", lambda data: None, rest=100)
        # Refused before any data connection: no line.
        with self.assertRaises(ftplib.error_perm):
            client.retrbinary("RETR missing", lambda data: None)
        # Cut by the client after a little.
        connection = client.transfercmd("RETR big")
        connection.recv(1000)
        connection.close()
        with self.assertRaises(ftplib.error_perm):
            client.voidresp()
        client.quit()
        lines = self.log_lines(log, 5)
        self.assertEqual(len(lines), 5)
        want = [("/my_file.txt", "1000", "o", "c"), ("/up.bin", "500", "i", "c"),
                ("/up.bin", "200", "i", "c"), ("/up.bin", "600", "o", "c")]
        for line, (path, size, direction, status) in zip(lines, want):
            self.assertEqual((line["path"], line["bytes"], line["direction"], line["status"]),
                             (path, size, direction, status))
        cut = lines[4]
        self.assertEqual((cut["path"], cut["direction"], cut["status"]), ("/big", "o", "i"))
        self.assertLess(int(cut["bytes"]), 64 * 1024 * 1024)
        for line in lines:
            self.assertEqual((line["host"], line["access"], line["user"]), ("127.0.0.1", "r", "bob"))

    def test_anonymous_lines_name_the_email_and_a_moved_log_is_started_anew(self):
        self.put("a", b"abc")
        server = self.serve("", conf="transfer_log = %s/xfer.log\n" % self.home,
                            anonymous_home=self.home)
        log = os.path.join(self.home, "xfer.log")
        client = self.ftp(server, "anonymous", "me@example.org")
        client.retrbinary("RETR a", lambda data: None)
        [line] = self.log_lines(log, 1)
        self.assertEqual((line["access"], line["user"], line["bytes"]), ("a", "me@example.org", "3"))
        os.rename(log, log + ".1")
        wait_until(lambda: os.path.exists(log), "a new log at the path", timeout=10)
        client.retrbinary("RETR /a", lambda data: None)
        self.assertEqual(len(self.log_lines(log, 1)), 1)
        self.assertEqual(len(self.log_lines(log + ".1", 1)), 1)
        client.quit()

    def test_a_full_disk_loses_lines_reports_them_and_never_stalls_a_session(self):
        self.put("a", b"abc")
        limit = 2000
        server = self.serve(account_section("bob", "pw", self.home), conf="transfer_log = xferlog\n",
                            fsize=limit, backup=False)
        log = os.path.join(server.config_dir, "xferlog")
        client = self.ftp(server, "bob", "pw")
        for _ in range(60):
            client.retrbinary("RETR a", lambda data: None)
        match = server.wait_for_line(r"Transfer log .*xferlog: (\d+) lines? lost \((.*)\)", timeout=30)
        self.assertEqual(match.group(2), "File too large")
        with open(log) as f:
            kept = f.read()
        self.assertLessEqual(len(kept), limit)
        self.assertTrue(kept.endswith("\n"))
        lines = kept.splitlines()
        for line in lines:
            xferlog_fields(line)
        # What was not kept was reported (the rest comes in a later report).
        self.assertLessEqual(int(match.group(1)), 60 - len(lines))
        self.assertGreater(int(match.group(1)), 0)
        client.retrbinary("RETR a", lambda data: None)
        client.quit()


if __name__ == "__main__":
    unittest.main()
