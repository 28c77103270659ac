"""Navigation and file management over a real session of the tarnhold
executable: CWD, CDUP, PWD/XPWD, DELE, RNFR/RNTO, MKD and RMD against a
temporary tree whose accounts have their home and accessible paths in it,
including traversal and symbolic-link attacks, names of odd content and
paths as long as the platform allows. Every refused command must leave
the file system exactly as it was."""

import ftplib
import os
import shutil
import stat
import tempfile
import threading
import unittest

import harness
from harness import ALL, HEADLESS, LIST, MARK, NOOP_OK, READ


LOGIN_FIRST = b"530 Please login with USER and PASS\r\n"
CWD_OK = b"250 CWD command successful\r\n"
CWD_FAILED = b"550 CWD failed, path does not exist or is not accessible\r\n"
DENIED = b"550 Access is denied\r\n"
DELE_OK = b"250 DELE command successful\r\n"
DELE_FAILED = b"550 DELE failed\r\n"
PENDING = b"350 requested file action pending further information\r\n"
RNTO_OK = b"250 RNTO command successful\r\n"
RNTO_FAILED = b"550 RNTO failed\r\n"
MKD_OK = b"250 MKD command successful\r\n"
MKD_FAILED = b"550 MKD failed\r\n"
RMD_OK = b"250 RMD command successful\r\n"
RMD_FAILED = b"550 RMD failed\r\n"

PATH_MAX = os.pathconf("/", "PC_PATH_MAX")  # terminator included
LONG_NAME = "n" * 200  # "CWD " and the name stay within the 216-character line limit


def pwd_reply(path):
    if isinstance(path, str):
        path = os.fsencode(path)
    return b'257 "' + path + b'" is current directory\r\n'


def account(login, home, paths):
    """A REGACCT section with password "pw" and the given (path, flags)."""
    values = [login.capitalize(), login, "pw", home, "", 0, "f4240", "f4240", 300, 10, 1, 0, 0, 0, 0]
    lines = ["REGACCT" + MARK] + [str(v) for v in values]
    for path, flags in paths:
        lines += ["ACCPATH" + MARK, path, "%x" % flags, "0"]
    return "\r\n".join(lines) + "\r\n"


def snapshot(root):
    """Every entry below root: folders, files with their contents and links
    with their targets. Walks by descriptor, so depth is no limit."""
    found = {}

    def walk(fd, prefix):
        for name in os.listdir(fd):
            path = prefix + "/" + name
            status = os.stat(name, dir_fd=fd, follow_symlinks=False)
            if stat.S_ISLNK(status.st_mode):
                found[path] = ("link", os.readlink(name, dir_fd=fd))
            elif stat.S_ISDIR(status.st_mode):
                found[path] = ("folder",)
                sub = os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=fd)
                try:
                    walk(sub, path)
                finally:
                    os.close(sub)
            else:
                file_fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW, dir_fd=fd)
                with os.fdopen(file_fd, "rb") as f:
                    found[path] = ("file", f.read())

    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    try:
        walk(fd, "")
    finally:
        os.close(fd)
    return found


class PathsTest(harness.ServerTestCase):

    def setUp(self):
        # root/srv/a is the home; root/srv/ab/c is a covered folder beside
        # it; root/outside is covered by no path.
        self.root = tempfile.mkdtemp(prefix="tarnhold-paths-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.home = os.path.join(self.root, "srv", "a")
        self.outside = os.path.join(self.root, "outside")
        for folder in ("sub/deep", "My Files", "nolist/inner", "keep", "full", "empty"):
            os.makedirs(os.path.join(self.home, folder))
        os.makedirs(os.path.join(self.root, "srv", "ab", "c"))
        os.makedirs(os.path.join(self.outside, "empty"))
        files = {"file.txt": "file", "a.txt": "a", "existing.txt": "existing",
                 "keep/kept.txt": "kept", "full/one.txt": "one"}
        for name, text in files.items():
            self.write(os.path.join(self.home, name), text)
        self.write(os.path.join(self.outside, "secret.txt"), "secret")
        links = {"tofile": os.path.join(self.outside, "secret.txt"), "out": self.outside,
                 "dangling": os.path.join(self.root, "nowhere"), "loop": "loop", "inner": "sub"}
        for name, target in links.items():
            os.symlink(target, os.path.join(self.home, name))

    @staticmethod
    def write(path, text):
        with open(path, "w") as f:
            f.write(text)

    def serve(self):
        srv = os.path.join(self.root, "srv")
        sections = account("alice", self.home, [
            (self.home, ALL),
            (os.path.join(self.home, "nolist"), ALL & ~LIST),
            (os.path.join(self.home, "keep"), READ | LIST),
            (os.path.join(srv, "ab", "c"), LIST),
        ]) + account("carol", self.home, [(srv, LIST), (self.home, ALL)])
        server = self.start_server(HEADLESS, files={
            "tarnhold.bot": lambda port: harness.settings_file(port, sections=sections)})
        server.wait_for_line(r"\[TarnHold basic\] Listening for connections on port %d$" % server.port)
        # Whatever the sessions did, the server ends cleanly (a sanitizer
        # build ends otherwise when it found a fault).
        self.addCleanup(lambda: self.assertEqual(server.stop(), 0))
        return server

    def greeted(self, server):
        client = self.connect(server.port)
        self.assertEqual(client.recv_until(), b"220 Connected to Tarnwell Server\r\n")
        return client

    def session(self, server, login="alice"):
        client = self.greeted(server)
        self.assertEqual(self.ask(client, "USER " + login), b"331 User name OK, send password as PASS\r\n")
        self.assertEqual(self.ask(client, "PASS pw"), b"230-logon successful\r\n")
        self.assertEqual(client.recv_until(), b"230 \r\n")
        return client

    @staticmethod
    def ask(client, line):
        client.send((os.fsencode(line) if isinstance(line, str) else line) + b"\r\n")
        return client.recv_until()

    def run_table(self, client, table):
        for line, reply in table:
            with self.subTest(line=line[:60]):
                self.assertEqual(self.ask(client, line), reply)

    def test_navigation(self):
        server = self.serve()
        srv = os.path.join(self.root, "srv")
        tables = {
            "alice": [
                # (command, reply, PWD afterwards)
                ("CWD sub", CWD_OK, "/sub"),
                ("CWD deep", CWD_OK, "/sub/deep"),
                ("CDUP", CWD_OK, "/sub"),
                ("CWD", CWD_OK, "/sub"),                 # no argument: stays
                ("CWD ../..", CWD_FAILED, "/sub"),       # above home, not covered
                ("CDUP", CWD_OK, "/"),
                ("CDUP", DENIED, "/"),                   # at home, nothing above covered
                ("CWD My Files", CWD_OK, "/My Files"),
                ("CWD \\sub\\\\deep\\", CWD_OK, "/sub/deep"),
                ("CWD //sub//", CWD_OK, "/sub"),
                ("CWD /inner", CWD_OK, "/inner"),        # a link inside home, shown as written
                ("CDUP", CWD_OK, "/"),
                ("CWD nolist", CWD_FAILED, "/"),         # covered without the List flag
                ("CWD nolist/inner", CWD_FAILED, "/"),
                ("CWD keep", CWD_OK, "/keep"),
                ("CWD /missing", CWD_FAILED, "/keep"),
                ("CWD /file.txt", CWD_FAILED, "/keep"),
                ("CWD /C:/", CWD_FAILED, "/keep"),       # no drive letters: a missing folder
                # home .../srv/a is a text prefix of .../srv/ab/c but not its
                # folder: the whole real path is shown.
                ("CWD ../../ab/c", CWD_OK, os.path.join(srv, "ab", "c")),
                ("CDUP", DENIED, os.path.join(srv, "ab", "c")),
                ("CWD ../../a/sub", CWD_OK, "/sub"),
            ],
            "carol": [
                ("CDUP", CWD_OK, srv),                   # the folder above home is covered
                ("CWD a/sub", CWD_OK, "/sub"),
                ("CWD ../..", CWD_OK, srv),
                ("CDUP", DENIED, srv),
                ("CWD ab", CWD_OK, os.path.join(srv, "ab")),
                ("CWD /", CWD_OK, "/"),
            ],
        }
        for login, table in tables.items():
            client = self.session(server, login)
            self.assertEqual(self.ask(client, "PWD"), pwd_reply("/"))
            self.assertEqual(self.ask(client, "XPWD"), pwd_reply("/"))
            for line, reply, shown in table:
                with self.subTest(login=login, line=line):
                    self.assertEqual(self.ask(client, line), reply)
                    self.assertEqual(self.ask(client, "PWD"), pwd_reply(shown))

    def test_file_management(self):
        server = self.serve()
        before = snapshot(self.root)
        client = self.session(server)
        self.run_table(client, [
            ("RNTO e.txt", RNTO_FAILED),          # no RNFR yet: nothing to rename
            ("RNFR", PENDING),                    # an empty source is kept...
            ("RNTO e.txt", RNTO_FAILED),          # ...and never renames the current folder
            ("DELE file.txt", DELE_OK),
            ("DELE keep/kept.txt", DELE_FAILED),  # no delete flag there
            ("DELE missing.txt", DELE_FAILED),
            ("DELE sub", DELE_FAILED),            # a folder
            ("RNFR missing.txt", PENDING),
            ("RNTO x.txt", RNTO_FAILED),
            ("RNFR a.txt", PENDING),
            ("RNTO b.txt", RNTO_OK),
            ("RNTO c.txt", RNTO_FAILED),          # tries a.txt again, which is gone
            ("RNFR b.txt", PENDING),
            ("RNTO existing.txt", RNTO_FAILED),   # never replaces
            ("RNTO c.txt", RNTO_OK),              # the source stays after a failure
            ("RMD full", RMD_FAILED),             # not empty
            ("RMD empty", RMD_OK),
            ("RMD keep", RMD_FAILED),             # no folder-delete flag
            ("MKD sub", MKD_FAILED),              # exists
            ("MKD keep/new", MKD_FAILED),         # no create flag
            ("MKD new folder", MKD_OK),
        ])
        expected = dict(before)
        del expected["/srv/a/file.txt"], expected["/srv/a/empty"]
        expected["/srv/a/c.txt"] = expected.pop("/srv/a/a.txt")
        expected["/srv/a/new folder"] = ("folder",)
        self.assertEqual(snapshot(self.root), expected)

    def test_every_command_needs_a_login(self):
        server = self.serve()
        before = snapshot(self.root)
        client = self.greeted(server)
        self.run_table(client, [(line, LOGIN_FIRST) for line in (
            "CWD sub", "CDUP", "PWD", "XPWD", "DELE file.txt", "RNFR a.txt", "RNTO b.txt",
            "MKD new", "RMD empty")])
        self.assertEqual(snapshot(self.root), before)

    def test_traversal_and_link_attacks_change_nothing(self):
        server = self.serve()
        before = snapshot(self.root)
        client = self.session(server)
        self.run_table(client, [
            ("CWD ../../outside", CWD_FAILED),
            ("CWD ..\\..\\outside", CWD_FAILED),
            ("CWD ..//\\..\\/outside/", CWD_FAILED),
            ("CWD sub/../../../outside", CWD_FAILED),
            ("CWD /../../../..", CWD_FAILED),
            ("CWD ../../outside/.", CWD_FAILED),
            ("CWD ...", CWD_FAILED),
            ("CWD sub.", CWD_FAILED),
            ("CWD out", CWD_FAILED),                  # link to a folder outside
            ("CWD out/empty", CWD_FAILED),
            ("CWD tofile", CWD_FAILED),               # link to a file outside
            ("CWD dangling", CWD_FAILED),
            ("CWD loop", CWD_FAILED),
            ("CWD loop/x", CWD_FAILED),
            (b"CWD ..\x00/sub", CWD_FAILED),          # a NUL ends the line: "CWD .."
            (b"CWD \x01\x02\x7f\x1b[2J", CWD_FAILED),
            ("DELE ../../outside/secret.txt", DELE_FAILED),
            ("DELE ..\\..\\outside\\secret.txt", DELE_FAILED),
            ("DELE out/secret.txt", DELE_FAILED),
            ("DELE out/secret.txt.", DELE_FAILED),
            (b"DELE \x00file.txt", DELE_FAILED),      # "DELE " names the current folder
            ("RMD out/empty", RMD_FAILED),
            ("RMD ../../outside/empty", RMD_FAILED),
            ("MKD out/new", MKD_FAILED),
            ("MKD ../../outside/new", MKD_FAILED),
            ("MKD ../new", MKD_FAILED),               # the folder above home is not covered
            ("MKD dangling", MKD_FAILED),
            ("MKD dangling/x", MKD_FAILED),
            ("MKD loop/x", MKD_FAILED),
            (b"MKD ../../outside/\x01\x1b", MKD_FAILED),
            ("RNFR out/secret.txt", PENDING),
            ("RNTO stolen.txt", RNTO_FAILED),
            ("RNFR ../../outside/secret.txt", PENDING),
            ("RNTO stolen.txt", RNTO_FAILED),
            ("RNFR file.txt", PENDING),
            ("RNTO out/file.txt", RNTO_FAILED),
            ("RNTO ../../outside/file.txt", RNTO_FAILED),
            ("RNTO ../file.txt", RNTO_FAILED),        # into a folder no path covers
            ("RNTO dangling", RNTO_FAILED),
            ("RNTO dangling/x", RNTO_FAILED),
            ("RNTO loop/x", RNTO_FAILED),
        ])
        self.assertEqual(self.ask(client, "PWD"), pwd_reply("/"))
        self.assertEqual(snapshot(self.root), before)

    def test_names_with_quotes_and_line_breaks_stay_one_reply(self):
        server = self.serve()
        client = self.session(server)
        # A double quote is doubled; CR goes as CR NUL and LF as NUL, so a
        # name can never end the reply early or add a line of its own.
        for name, shown in (('say "hi"', b'/say ""hi""'), (b"a\nb", b"/a\x00b"),
                            (b"c\rd", b"/c\r\x00d"), (b"e\r", b"/e\r\x00")):
            with self.subTest(name=name):
                if isinstance(name, str):
                    name = name.encode()
                self.assertEqual(self.ask(client, b"MKD /" + name), MKD_OK)
                self.assertTrue(os.path.isdir(os.path.join(os.fsencode(self.home), name)))
                self.assertEqual(self.ask(client, b"CWD /" + name), CWD_OK)
                self.assertEqual(self.ask(client, b"PWD"), pwd_reply(shown))
                self.assertEqual(self.ask(client, b"NOOP"), NOOP_OK)
        # ...and a client reads the quoted name back as it is.
        self.assertEqual(self.ask(client, b'CWD /say "hi"'), CWD_OK)
        client.send(b"PWD\r\n")
        self.assertEqual(ftplib.parse257(client.recv_until().decode().rstrip("\r\n")), '/say "hi"')

    def test_paths_as_long_as_the_platform_allows(self):
        server = self.serve()
        client = self.session(server)
        limit = PATH_MAX - 1

        # Through MKD and CWD steps: each works while the real path fits.
        level = 0
        while True:
            fits = len(self.home) + (level + 1) * (len(LONG_NAME) + 1) <= limit
            self.assertEqual(self.ask(client, "MKD " + LONG_NAME), MKD_OK if fits else MKD_FAILED)
            self.assertEqual(self.ask(client, "CWD " + LONG_NAME), CWD_OK if fits else CWD_FAILED)
            if not fits:
                break
            level += 1
            self.assertEqual(self.ask(client, "PWD"), pwd_reply("/" + "/".join([LONG_NAME] * level)))
        self.assertGreater(level, 10)
        self.assertEqual(self.ask(client, "PWD"), pwd_reply("/" + "/".join([LONG_NAME] * level)))
        self.assertEqual(self.ask(client, "CDUP"), CWD_OK)

        # Through the file system: a chain of folders made by descriptor
        # that ends one level past the limit, in an empty folder beside a
        # file whose real paths are too long. The deepest folder that fits
        # is entered; what lies past the limit is refused and stays.
        written = os.path.join(self.home, "deep")
        os.mkdir(written)
        fd = os.open(written, os.O_RDONLY | os.O_DIRECTORY)
        try:
            while len(written) + 1 + len(LONG_NAME) <= limit:
                os.mkdir(LONG_NAME, dir_fd=fd)
                sub = os.open(LONG_NAME, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
                os.close(fd)
                fd = sub
                written += "/" + LONG_NAME
            os.mkdir(LONG_NAME, dir_fd=fd)
            os.close(os.open("f" * 200, os.O_WRONLY | os.O_CREAT, dir_fd=fd))
        finally:
            os.close(fd)
        self.assertGreater(len(written) + 1 + len(LONG_NAME), limit)
        before = snapshot(self.root)
        self.assertEqual(self.ask(client, "CWD /deep"), CWD_OK)
        for _ in range(written.count("/" + LONG_NAME)):
            self.assertEqual(self.ask(client, "CWD " + LONG_NAME), CWD_OK)
        self.run_table(client, [
            ("CWD " + LONG_NAME, CWD_FAILED),
            ("PWD", pwd_reply(written[len(self.home):])),
            ("DELE " + "f" * 200, DELE_FAILED),
            ("RMD " + LONG_NAME, RMD_FAILED),
            ("MKD " + LONG_NAME + "/x", MKD_FAILED),
            ("RNFR " + "f" * 200, PENDING),
            ("RNTO moved", RNTO_FAILED),
        ])
        self.assertEqual(snapshot(self.root), before)

    def test_sessions_keep_their_own_current_folder(self):
        server = self.serve()
        folders = ["sub", "My Files", "sub/deep", "keep"]
        clients = [self.session(server) for _ in folders]
        errors = []

        def navigate(client, folder):
            try:
                for _ in range(50):
                    for line, reply in (("CWD " + folder, CWD_OK), ("PWD", pwd_reply("/" + folder)),
                                        ("CWD /", CWD_OK), ("PWD", pwd_reply("/"))):
                        got = self.ask(client, line)
                        if got != reply:
                            errors.append((folder, line, got))
                            return
            except Exception as error:  # reported below, in the test's thread
                errors.append((folder, repr(error)))

        threads = [threading.Thread(target=navigate, args=pair) for pair in zip(clients, folders)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(120)
        self.assertEqual(errors, [])


if __name__ == "__main__":
    unittest.main()
