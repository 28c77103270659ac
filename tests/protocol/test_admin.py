"""The administration subcommands of the tarnhold executable as an owner
runs them (account, path and option; their output, exit codes and the
settings file afterwards), the refusals that must leave the file exactly
as it was, and the settings-folder lock shared with running servers."""

import os
import pty
import shutil
import signal
import subprocess
import tempfile
import unittest

import harness
from harness import HEADLESS, MARK


def sections(text):
    """The settings file as [(marker, [values])] in file order."""
    found = []
    for line in text.split("\r\n"):
        if line.endswith(MARK):
            found.append((line[:-len(MARK)], []))
        elif found:
            found[-1][1].append(line)
    return found


def bob_section(home):
    """An enabled named account "Bob" (login bob) whose home is its path."""
    values = ["Bob", "bob", "pw", home, "", 0, "f4240", "f4240", 300, 10, 1, 0, 0, 0, 0]
    lines = ["REGACCT" + MARK] + [str(v) for v in values] + ["ACCPATH" + MARK, home, "66", "0"]
    return "\r\n".join(lines) + "\r\n"


class AdminCase(unittest.TestCase):
    """A settings folder holding a file with the account Bob, and the
    executable run on it as a subprocess."""

    def setUp(self):
        self.executable = os.environ["TARNHOLD_SERVER"]
        self.folder = tempfile.mkdtemp(prefix="tarnhold-admin-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.home = os.path.join(self.folder, "bob-home")
        os.mkdir(self.home)
        self.write_settings(harness.settings_file(2121, sections=bob_section(self.home)))

    def write_settings(self, text):
        with open(self.settings_path(), "w", newline="") as f:
            f.write(text)

    def settings_path(self, name="tarnhold.bot"):
        return os.path.join(self.folder, name)

    def settings_bytes(self):
        with open(self.settings_path(), "rb") as f:
            return f.read()

    def settings(self):
        return sections(self.settings_bytes().decode())

    def run_admin(self, *args, stdin=b"", folder=None, preexec=None):
        executable = self.reachable_executable() if preexec else self.executable
        done = subprocess.run([executable, "--config-dir", folder or self.folder] + list(args),
                              input=stdin, capture_output=True, timeout=60, preexec_fn=preexec)
        return done.returncode, done.stdout.decode(), done.stderr.decode()

    def assert_ok(self, *args, stdin=b""):
        rc, out, err = self.run_admin(*args, stdin=stdin)
        self.assertEqual((rc, err), (0, ""), args)
        return out

    def as_other_user(self):
        """A preexec function that runs the command as nobody when the test
        runs as root (for whom no permission bit refuses anything)."""
        if os.geteuid() != 0:
            return None
        return lambda: (os.setgroups([]), os.setgid(65534), os.setuid(65534))

    def reachable_executable(self):
        """A copy of the executable that another user can run: the clone may
        lie in a folder only its owner may enter (root's home is 0700)."""
        folder = tempfile.mkdtemp(prefix="tarnhold-exe-")
        self.addCleanup(shutil.rmtree, folder, True)
        os.chmod(folder, 0o755)
        copy = os.path.join(folder, "tarnhold")
        shutil.copy2(self.executable, copy)
        os.chmod(copy, 0o755)
        return copy


class AdminCommandsTest(AdminCase):

    def test_accounts_edited_and_listed(self):
        target = os.path.join(self.folder, "alice")
        os.mkdir(target)
        self.assert_ok("account", "add", "Alice", "--login", "alice", "--home", target + "//",
                       "--message", "Welcome\nRead the rules")
        self.assert_ok("account", "password", "Alice", stdin=b"s3cret\n")
        self.assert_ok("account", "set", "Bob", "--enabled", "no", "--name=Robert")
        self.assert_ok("account", "set", "anonymous", "--enabled", "yes", "--home", self.home)
        self.assertEqual(self.assert_ok("account", "list").splitlines(), [
            "anonymous\tanonymous\tyes\t%s\t" % self.home,
            "Robert\tbob\tno\t%s\t" % self.home,
            "Alice\talice\tyes\t%s\tWelcome\\nRead the rules" % target,
        ])
        accounts = [values for marker, values in self.settings() if marker == "REGACCT"]
        self.assertEqual([a[:5] for a in accounts], [
            ["Robert", "bob", "pw", self.home, ""],
            ["Alice", "alice", "s3cret", target, "Welcome\x1c\x1dRead the rules"],
        ])
        self.assertEqual(accounts[0][10], "0")  # enabled

        self.assert_ok("account", "delete", "Robert")
        self.assertEqual([line.split("\t")[0] for line in self.assert_ok("account", "list").splitlines()],
                         ["anonymous", "Alice"])
        # Every edit keeps the previous file as the backup.
        with open(self.settings_path("tarnhold.bak"), "rb") as f:
            self.assertIn(b"Robert", f.read())

    def test_a_new_home_replaces_the_old_home_path(self):
        new_home = os.path.join(self.folder, "new-home")
        os.mkdir(new_home)
        self.assert_ok("path", "add", "Bob", self.folder)
        self.assert_ok("account", "set", "Bob", "--home", new_home)
        self.assertEqual(self.assert_ok("path", "list", "Bob").splitlines(), [
            "%s\tread,list" % self.folder,
            "%s\tread,write,list,create" % new_home,
        ])
        # Anyone may log in anonymously: its home is only readable until
        # the owner says otherwise.
        self.assert_ok("account", "set", "anonymous", "--home", new_home)
        self.assertEqual(self.assert_ok("path", "list", "anonymous"), "%s\tread,list\n" % new_home)

    def test_paths_and_their_permissions(self):
        shared = os.path.join(self.folder, "shared")
        # A path that does not exist yet is kept, with a warning.
        self.assertEqual(self.run_admin("path", "add", "Bob", shared, "--read", "--delete", "--rmdir"),
                         (0, "", "tarnhold: warning: %s does not exist (yet)\n" % shared))
        self.assert_ok("path", "add", "anonymous", "/")
        self.assert_ok("path", "set", "Bob", self.home, "--none")
        self.assertEqual(self.assert_ok("path", "list", "Bob").splitlines(), [
            "%s\tnone" % self.home,
            "%s\tread,delete,rmdir" % shared,
        ])
        self.assertEqual(self.assert_ok("path", "list", "anonymous"), "/\tread,list\n")
        self.assert_ok("path", "delete", "Bob", shared + "/")
        paths = [values for marker, values in self.settings() if marker in ("ACCPATH", "ANONACCPATH")]
        self.assertEqual(paths, [["/", "44", "0"], [self.home, "0", "0"]])

    def test_options_set_and_listed(self):
        for key, value in (("port", "2200"), ("maxusers", "4294967295"), ("idletimeout", "0"),
                           ("startatboot", "no"), ("features", "0x9")):
            self.assert_ok("option", "set", key, value)
        self.assertEqual(self.assert_ok("option", "list"),
                         "port\t2200\nmaxusers\t4294967295\nidletimeout\t0\nstartatboot\tno\nfeatures\t9\n"
                         "passive_ports\t\npassive_address\t\nport_mapping\tno\nipv6\tno\n"
                         "apply_limits\tno\npassword_storage\tplain\ntransfer_log\t\n")
        self.assertFalse(os.path.exists(self.settings_path("tarnhold.conf")))
        self.assertEqual(self.settings()[0], ("SRVROPT", ["2200", "9", "f4240", "f4240", "4294967295",
                                                        "0", "1", "0", "0"]))

    def test_a_text_field_with_a_tab_or_backslash_stays_on_its_line(self):
        self.assert_ok("account", "set", "Bob", "--message", "a\tb\\c")
        self.assertEqual(self.assert_ok("account", "list").splitlines()[1].split("\t")[4], "a\\tb\\\\c")

    def test_refusals_name_the_problem_and_change_nothing(self):
        cases = [
            # (arguments, standard input, exit code, part of the message)
            (["account", "set", "Nobody", "--enabled", "no"], b"", 1, "no account named 'Nobody'"),
            (["account", "delete", "bob"], b"", 1, "no account named 'bob'"),
            (["path", "add", "Bob", "relative/folder"], b"", 1, "is not an absolute path"),
            (["account", "set", "Bob", "--home", "bob-home"], b"", 1, "is not an absolute path"),
            (["path", "add", "Bob", "/" + "x" * 300], b"", 1, "longer than 263 characters"),
            (["option", "set", "port", "abc"], b"", 1, "'abc' is not a whole number from 1 to 65535"),
            (["option", "set", "port", "0"], b"", 1, "not a whole number"),
            (["option", "set", "port", "65536"], b"", 1, "not a whole number"),
            (["option", "set", "idletimeout", "-5"], b"", 1, "not a whole number"),
            (["option", "set", "maxusers", "4294967296"], b"", 1, "not a whole number"),
            (["option", "set", "features", "0x10"], b"", 1, "bits this version does not know"),
            (["option", "set", "startatboot", "maybe"], b"", 1, "must be yes or no"),
            (["account", "password", "Bob"], b"", 1, "no password on standard input"),
            (["account", "password", "Bob"], b"\n", 1, "the password is empty"),
            (["account", "password", "anonymous"], b"pw\n", 1, "has no password"),
            (["account", "add", "bob"], b"", 1, "an account named 'Bob' exists"),
            (["account", "add", "Eve", "--login", "BOB"], b"", 1, "already has the login 'bob'"),
            (["account", "add", "Eve", "--login", "Anonymous"], b"", 1, "belongs to the anonymous account"),
            (["account", "add", "regacct" + MARK], b"", 1, "reserved by the settings file"),
            (["account", "add", "N" * 261], b"", 1, "longer than 260 characters"),
            (["account", "set", "Bob", "--login", "a\nb"], b"", 1, "must not contain line breaks"),
            (["account", "set", "anonymous", "--name", "Public"], b"", 1, "cannot be renamed"),
            (["account", "delete", "anonymous"], b"", 1, "cannot be deleted"),
            (["path", "delete", "Bob", "/elsewhere"], b"", 1, "is not an accessible path"),
            (["path", "delete", "Bob", self.home], b"", 1, "is the home folder"),
            (["path", "add", "Bob", self.home], b"", 1, "is already an accessible path"),
            (["account"], b"", 2, "missing the account command"),
            (["account", "rename", "Bob"], b"", 2, "unknown account command 'rename'"),
            (["account", "set", "Bob"], b"", 2, "needs at least one setting"),
            (["account", "set", "Bob", "--colour", "red"], b"", 2, "unknown account setting '--colour'"),
            (["account", "set", "Bob", "--login"], b"", 2, "missing the value of --login"),
            (["account", "list", "extra"], b"", 2, "unexpected 'extra'"),
            (["path", "add", "Bob"], b"", 2, "missing path"),
            (["path", "set", "Bob", self.home], b"", 2, "needs the permissions"),
            (["path", "set", "Bob", self.home, "--none", "--read"], b"", 2, "--none cannot go with"),
            (["option", "set", "colour", "1"], b"", 2, "unknown option 'colour'"),
        ]
        before = self.settings_bytes()
        for args, stdin, code, message in cases:
            with self.subTest(args=args):
                rc, out, err = self.run_admin(*args, stdin=stdin)
                self.assertEqual(rc, code)
                self.assertEqual(out, "")
                self.assertIn(message, err)
                self.assertTrue(err.startswith("tarnhold: "), err)
                self.assertEqual(self.settings_bytes(), before)
        self.assertFalse(os.path.exists(self.settings_path("tarnhold.bak")))

    def password_at_a_terminal(self, first, second):
        """Runs `account password Bob` with a terminal as standard input,
        types the two answers, and returns (exit code, what the terminal
        showed)."""
        controller, terminal = pty.openpty()
        process = subprocess.Popen([self.executable, "--config-dir", self.folder, "account", "password", "Bob"],
                                   stdin=terminal, stdout=subprocess.DEVNULL, stderr=terminal)
        os.close(terminal)
        shown = b""
        for answer in (first, second):
            while not shown.endswith(b": "):
                shown += os.read(controller, 1024)
            os.write(controller, answer + b"\n")
            shown += b"|"
        code = process.wait(timeout=60)
        try:
            while True:
                chunk = os.read(controller, 1024)
                if not chunk:
                    break
                shown += chunk
        except OSError:  # the terminal closed with its last process
            pass
        os.close(controller)
        return code, shown.decode()

    def test_a_password_typed_at_a_terminal_is_asked_twice_and_not_shown(self):
        code, shown = self.password_at_a_terminal(b"hunter2", b"hunter2")
        self.assertEqual(code, 0, shown)
        self.assertIn("New password: ", shown)
        self.assertIn("Repeat it: ", shown)
        self.assertNotIn("hunter2", shown)
        self.assertEqual([v for m, v in self.settings() if m == "REGACCT"][0][2], "hunter2")

        before = self.settings_bytes()
        code, shown = self.password_at_a_terminal(b"one", b"two")
        self.assertEqual(code, 1)
        self.assertIn("the two passwords differ", shown)
        self.assertEqual(self.settings_bytes(), before)

    def test_an_unwritable_folder_refuses_edits_and_still_lists(self):
        os.chmod(self.folder, 0o555)
        os.chmod(self.settings_path(), 0o644)
        self.addCleanup(os.chmod, self.folder, 0o700)
        before = self.settings_bytes()
        rc, out, err = self.run_admin("option", "set", "port", "2200", preexec=self.as_other_user())
        self.assertEqual(rc, 1)
        self.assertRegex(err, r"^tarnhold: cannot change the settings: cannot create .*tarnhold.lock: "
                              r"Permission denied\n$")
        # A lock file left by an earlier run lets the edit go as far as the save.
        os.chmod(self.folder, 0o700)
        open(os.path.join(self.folder, "tarnhold.lock"), "w").close()
        os.chmod(self.settings_path("tarnhold.lock"), 0o644)
        os.chmod(self.folder, 0o555)
        rc, out, err = self.run_admin("option", "set", "port", "2200", preexec=self.as_other_user())
        self.assertEqual(rc, 1)
        self.assertRegex(err, r"^tarnhold: could not save the settings in .*: Permission denied; "
                              r"nothing was changed\n$")
        self.assertEqual(self.settings_bytes(), before)
        rc, out, err = self.run_admin("option", "list", preexec=self.as_other_user())
        self.assertEqual((rc, err), (0, ""))
        self.assertIn("port\t2121\n", out)

    def test_settings_that_cannot_be_read_are_never_replaced(self):
        os.chmod(self.settings_path(), 0o200)
        self.addCleanup(os.chmod, self.settings_path(), 0o600)
        os.chmod(self.folder, 0o777)
        for args in (["option", "set", "port", "2200"], ["account", "list"]):
            with self.subTest(args=args):
                rc, out, err = self.run_admin(*args, preexec=self.as_other_user())
                self.assertEqual((rc, out), (1, ""))
                self.assertIn("cannot read the settings file", err)
        os.chmod(self.settings_path(), 0o600)
        self.assertIn(b"bob-home", self.settings_bytes())

    def test_without_a_folder_the_default_one_is_made(self):
        config_home = os.path.join(self.folder, "xdg")
        env = dict(os.environ, XDG_CONFIG_HOME=config_home)
        done = subprocess.run([self.executable, "option", "set", "port", "2200"], env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        folder = os.path.join(config_home, "tarnhold")
        self.assertEqual(os.stat(folder).st_mode & 0o777, 0o700)
        with open(os.path.join(folder, "tarnhold.bot"), "rb") as f:
            self.assertTrue(f.read().startswith(b"SRVROPT" + MARK.encode() + b"\r\n2200\r\n"))

    def test_a_missing_folder_is_an_error(self):
        missing = os.path.join(self.folder, "missing")
        rc, out, err = self.run_admin("account", "list", folder=missing)
        self.assertEqual((rc, out), (1, ""))
        self.assertIn("is not a folder", err)


class ConfFileTest(AdminCase, harness.ServerTestCase):
    """tarnhold.conf, the settings beyond the design, beside tarnhold.bot:
    `option set` of its keys writes it alone and keeps the owner's lines."""

    HAND_EDITED = (b"# Network settings \xe2\x80\x94 edited by hand\r\n"
                   b"\r\n"
                   b"passive_ports=40000-40009\r\n"
                   b"newer_key = from a later version\n"
                   b"port_mapping = maybe\r\n"
                   b"passive_address = ftp.example.org")

    def write_conf(self, data):
        with open(self.settings_path("tarnhold.conf"), "wb") as f:
            f.write(data)

    def conf_bytes(self):
        with open(self.settings_path("tarnhold.conf"), "rb") as f:
            return f.read()

    def test_set_writes_only_tarnhold_conf_and_keeps_the_owners_lines(self):
        self.write_conf(self.HAND_EDITED)
        settings = self.settings_bytes()
        rc, out, err = self.run_admin("option", "list")
        self.assertEqual(rc, 0)
        self.assertIn("\npassive_ports\t40000-40009\npassive_address\tftp.example.org\n"
                      "port_mapping\tno\n", out)
        self.assertEqual(err, "tarnhold: warning: tarnhold.conf line 5: port_mapping 'maybe' "
                              "must be yes or no\n")

        self.assert_ok("option", "set", "passive_ports", "50000-50099")
        self.assert_ok("option", "set", "port_mapping", "yes")
        self.assert_ok("option", "set", "passive_address", "")
        self.assertEqual(self.conf_bytes(),
                         self.HAND_EDITED.replace(b"40000-40009", b"50000-50099")
                         .replace(b"maybe", b"yes").replace(b" = ftp.example.org", b" ="))
        self.assertEqual(os.stat(self.settings_path("tarnhold.conf")).st_mode & 0o777, 0o600)
        self.assertEqual(self.settings_bytes(), settings)
        self.assertEqual(sorted(os.listdir(self.folder)),
                         ["bob-home", "tarnhold.bot", "tarnhold.conf", "tarnhold.lock"])
        self.assertIn("\npassive_ports\t50000-50099\npassive_address\t\nport_mapping\tyes\n",
                      self.assert_ok("option", "list"))

        # A missing file is made with the first key set.
        os.remove(self.settings_path("tarnhold.conf"))
        self.assert_ok("option", "set", "passive_address", "203.0.113.7")
        self.assertEqual(self.conf_bytes(), b"passive_address = 203.0.113.7\n")

    def test_refused_values_leave_the_file_as_it_was(self):
        cases = [
            (["passive_ports", "80-90"], "passive_ports '80-90' is not a range LOW-HIGH of ports"),
            (["passive_ports", "50000"], "passive_ports '50000' is not a range"),
            (["passive_ports", "60000-50000"], "passive_ports '60000-50000' is not a range"),
            (["passive_address", "ftp example org"], "is neither an IPv4 address nor a host name"),
            (["passive_address", "10.0.0.300"], "is neither an IPv4 address nor a host name"),
            (["passive_address", "host\npassive_ports = 50000-50099"], "must not contain line breaks"),
            (["port_mapping", "on"], "port_mapping 'on' must be yes or no"),
            (["apply_limits", "1"], "apply_limits '1' must be yes or no"),
        ]
        settings = self.settings_bytes()
        for conf in (self.HAND_EDITED, None):
            if conf is None:
                os.remove(self.settings_path("tarnhold.conf"))
            else:
                self.write_conf(conf)
            for args, message in cases:
                with self.subTest(args=args, conf=conf is not None):
                    rc, out, err = self.run_admin("option", "set", *args)
                    self.assertEqual((rc, out), (1, ""))
                    self.assertTrue(err.startswith("tarnhold: "), err)
                    self.assertIn(message, err)
                    if conf is None:
                        self.assertFalse(os.path.exists(self.settings_path("tarnhold.conf")))
                    else:
                        self.assertEqual(self.conf_bytes(), conf)
                    self.assertEqual(self.settings_bytes(), settings)
        self.assertEqual(self.run_admin("option", "set", "passive_ports")[0], 2)

    def test_a_server_logs_refused_lines_and_writes_them_back_at_exit(self):
        server = harness.ServerProcess(self.executable, HEADLESS, files={
            "tarnhold.bot": lambda port: harness.settings_file(port),
            "tarnhold.conf": self.HAND_EDITED})
        self.addCleanup(server.cleanup)
        server.start()
        server.wait_for_line(r"\[TarnHold error\] tarnhold\.conf line 5: port_mapping 'maybe' "
                             r"must be yes or no$")
        server.wait_for_line(r"\[TarnHold basic\] Listening for connections on port %d$" % server.port)
        conf = os.path.join(server.config_dir, "tarnhold.conf")
        os.chmod(conf, 0o644)
        # A server holds the folder: no edit meanwhile.
        rc, out, err = self.run_admin("option", "set", "port_mapping", "no", folder=server.config_dir)
        self.assertEqual(rc, 1)
        self.assertIn("cannot change the settings", err)
        self.assertEqual(server.stop(), 0)
        # Written at exit (mode 0600 again), the refused line as it was.
        self.assertEqual(os.stat(conf).st_mode & 0o777, 0o600)
        with open(conf, "rb") as f:
            self.assertEqual(f.read(), self.HAND_EDITED)


class SettingsLockTest(AdminCase, harness.ServerTestCase):

    def start_on(self, folder):
        """A headless server on `folder` (which keeps Bob), on a free port."""
        server = harness.ServerProcess(self.executable, HEADLESS, files={
            "tarnhold.bot": lambda port: harness.settings_file(port, sections=bob_section(self.home))})
        shutil.rmtree(server.config_dir)
        server.config_dir = folder
        server.start()
        self.addCleanup(server.cleanup)
        return server

    def test_one_server_per_folder_and_no_edits_while_it_runs(self):
        server = self.start_on(self.folder)
        second = subprocess.run([self.executable] + [a.format(config_dir=self.folder) for a in HEADLESS],
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        self.assertEqual(second.returncode, 1)
        self.assertEqual(second.stdout, b"")
        self.assertIn("cannot start a server: another Tarnhold process (%d) is using the settings folder"
                      % server.process.pid, second.stderr.decode())

        before = self.settings_bytes()
        rc, out, err = self.run_admin("account", "set", "Bob", "--enabled", "no")
        self.assertEqual((rc, out), (1, ""))
        self.assertIn("cannot change the settings: another Tarnhold process (%d)" % server.process.pid, err)
        self.assertEqual(self.settings_bytes(), before)
        self.assertIn("Bob\tbob\tyes", self.assert_ok("account", "list"))
        self.assertTrue(server.running())
        self.assertEqual(server.stop(), 0)
        self.assert_ok("account", "set", "Bob", "--enabled", "no")

    def test_a_server_does_not_start_on_settings_it_cannot_read(self):
        # Saved at exit, the defaults would replace them.
        os.chmod(self.settings_path(), 0o200)
        os.chmod(self.folder, 0o777)
        done = subprocess.run([self.reachable_executable(), "--headless", "--config-dir",
                               self.folder],
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60,
                              preexec_fn=self.as_other_user())
        self.assertEqual((done.returncode, done.stdout), (1, b""))
        self.assertIn(b"cannot read the settings file", done.stderr)
        os.chmod(self.settings_path(), 0o600)
        self.assertIn(b"bob-home", self.settings_bytes())

    def test_a_killed_server_leaves_no_lock(self):
        server = self.start_on(self.folder)
        server.process.send_signal(signal.SIGKILL)
        server.process.wait()
        self.assertTrue(os.path.exists(self.settings_path("tarnhold.lock")))
        self.assert_ok("option", "set", "maxusers", "7")
        again = self.start_on(self.folder)
        self.assertTrue(again.running())
        self.assertEqual(again.stop(), 0)


if __name__ == "__main__":
    unittest.main()
