"""The modern commands of the tarnhold executable (REST, APPE, SIZE, MDTM,
EPSV, EPRT, MLSD, MLST, OPTS, and FEAT and HELP listing them), driven with
raw sockets: every reply with the feature bit on, the unchanged replies
with it off, restarts at every offset that matters, EPSV ALL, EPRT's
address forms, and machine listings compared with the file system for
files, folders, links and each permission."""

import calendar
import os
import re
import socket
import stat
import time
import unittest

import harness
import test_data
from harness import ALL, CREATE, DELETE, LIST, MODERN, NOOP_OK, READ, RMDIR, WRITE
from test_data import COMPLETE, FAILED, OPENING, RETR_STARTED, STOR_STARTED, read_all
from test_session import HELP_LINES

NOT_IMPLEMENTED = b"502 Command not implemented\r\n"
LOGIN_FIRST = b"530 Please login with USER and PASS\r\n"
PAST_END = b"554 Restart offset past the end of the file\r\n"
APPE_STARTED = b"150 APPE command started\r\n"
EPSV_REPLY = re.compile(rb"^229 Entering Extended Passive Mode \(\|\|\|(\d+)\|\)\r\n$")
WRONG_PROTOCOL = b"522 Network protocol not supported, use (1)\r\n"
FEAT_REPLY = (b"211-Extensions supported:\r\n REST STREAM\r\n SIZE\r\n MDTM\r\n EPSV\r\n"
              b" EPRT\r\n MLST type*;size*;modify*;perm*;UNIX.mode*;\r\n UTF8\r\n211 End\r\n")
MODERN_HELP = [b"     REST  APPE  SIZE  MDTM  EPSV  EPRT\r\n", b"     MLSD  MLST  OPTS\r\n"]
CONTENT = bytes(range(256)) * 40  # 10240 bytes


def facts_of(line):
    """(facts as a dict, name) of an MLSD line or MLST entry line."""
    facts, name = line.split(b" ", 1)
    pairs = dict(pair.split(b"=", 1) for pair in facts.split(b";") if pair)
    return {key.decode(): value.decode() for key, value in pairs.items()}, name


def machine_time(seconds):
    return time.strftime("%Y%m%d%H%M%S", time.gmtime(seconds))


class ModernSession(test_data.Session):

    def epsv(self):
        reply = self.ask(b"EPSV")
        match = EPSV_REPLY.match(reply)
        self.test.assertIsNotNone(match, reply)
        return int(match.group(1))

    def mlsd(self, argument=b""):
        """MLSD over EPSV: (replies, {name: facts})."""
        port = self.epsv()
        data = self.data_connection(port)
        self.send(b"MLSD" + (b" " + argument if argument else b""))
        replies = [self.reply()]
        if not replies[0].startswith(b"150"):
            return replies, {}
        listing = read_all(data)
        replies.append(self.reply())
        entries = {}
        for line in listing.split(b"\r\n")[:-1]:
            facts, name = facts_of(line)
            entries[name.decode()] = facts
        return replies, entries

    def active(self, command, listening):
        """A data command over the PORT or EPRT connection to listening: the
        bytes that came."""
        self.send(command)
        self.test.assertEqual(self.reply(), OPENING)
        data, _ = listening.accept()
        with data:
            received = read_all(data)
        self.test.assertEqual(self.reply(), COMPLETE)
        return received

    def assert_passive_used_up(self):
        """Shows that no passive socket is left open: a PASV or EPSV while
        one is gets "502", so a new EPSV that works proves it; the listing
        over it then leaves none behind. (A connection attempt to the old
        port could reach another test's server that took the port.)"""
        data = self.data_connection(self.epsv())
        self.send(b"NLST")
        self.test.assertEqual(self.reply(), OPENING)
        read_all(data)
        self.test.assertEqual(self.reply(), COMPLETE)

    def mlst(self, argument):
        self.send(b"MLST " + argument if argument else b"MLST")
        first = self.reply()
        if not first.startswith(b"250-"):
            return first, None, None
        entry = self.reply()
        self.test.assertEqual(self.reply(), b"250 End\r\n")
        facts, name = facts_of(entry[1:-2])
        return first, facts, name


class ModernTestCase(test_data.DataTestCase):

    def modern(self, paths=None, extra_sections="", features=MODERN):
        return self.serve(paths=paths, extra_sections=extra_sections, features=features)

    def session(self, server, **kwargs):
        return ModernSession(self, server.port, **kwargs)


class RepliesTest(ModernTestCase):

    def test_with_the_feature_off_every_reply_is_as_before(self):
        self.write("file", b"12345")
        server = self.modern(features=0)
        client = self.connect(server.port)
        client.recv_until()
        # Before login the new verbs are not even recognised.
        for line in (b"EPSV", b"OPTS UTF8 ON", b"MLST", b"SIZE file"):
            client.send(line + b"\r\n")
            self.assertEqual(client.recv_until(), NOT_IMPLEMENTED, line)
        session = self.session(server)
        for line in (b"EPSV", b"EPSV ALL", b"EPRT |1|127.0.0.1|5000|", b"SIZE file",
                     b"MDTM file", b"MLSD", b"MLST file", b"OPTS UTF8 ON", b"REST 2",
                     b"APPE file", b"FEAT"):
            with self.subTest(line=line):
                self.assertEqual(session.ask(line), NOT_IMPLEMENTED)
        session.send(b"HELP")
        self.assertEqual([session.reply() for _ in HELP_LINES], HELP_LINES)
        # REST did nothing: the whole file comes, and PASV still works.
        replies, data = session.transfer(b"RETR file", passive=True)
        self.assertEqual((replies, data), ([RETR_STARTED, COMPLETE], b"12345"))

    def test_feat_help_opts_and_the_login_rule_with_the_feature_on(self):
        server = self.modern()
        client = self.connect(server.port)
        client.recv_until()
        cases = [(b"FEAT", FEAT_REPLY), (b"OPTS UTF8 ON", b"200 UTF8 is always on\r\n"),
                 (b"opts utf8 on", b"200 UTF8 is always on\r\n"),
                 (b"OPTS UTF8 OFF", b"501 Option not understood\r\n"),
                 (b"OPTS", b"501 OPTS: command not understood\r\n"),
                 (b"OPTS MODE Z", b"501 Option not understood\r\n"),
                 (b"OPTS MLST size;TYPE;bogus;", b"200 MLST OPTS type;size;\r\n"),
                 (b"SIZE file", LOGIN_FIRST), (b"EPSV", LOGIN_FIRST), (b"MLSD", LOGIN_FIRST),
                 (b"REST 0", LOGIN_FIRST), (b"STOU x", NOT_IMPLEMENTED), (b"UTF8", NOT_IMPLEMENTED)]
        for line, reply in cases:
            with self.subTest(line=line):
                client.send(line + b"\r\n")
                self.assertEqual(client.recv_until(b"\r\n" if not reply.startswith(b"211-")
                                                   else b"211 End\r\n"), reply)
        client.send(b"HELP\r\n")
        expected = HELP_LINES[:-1] + MODERN_HELP + HELP_LINES[-1:]
        self.assertEqual([client.recv_until() for _ in expected], expected)


class RestartTest(ModernTestCase):

    def test_rest_then_retr_at_every_offset(self):
        self.write("file", CONTENT)
        session = self.session(self.modern())
        size = len(CONTENT)
        for passive in (True, False):
            for offset in (0, 1, 4321, size - 1, size):
                with self.subTest(passive=passive, offset=offset):
                    replies, data = session.transfer(b"RETR file", passive, rest=offset)
                    self.assertEqual(replies, [RETR_STARTED, COMPLETE])
                    self.assertEqual(data, CONTENT[offset:])
            with self.subTest(passive=passive, offset="past the end"):
                if passive:
                    session.pasv()
                else:
                    session.port()
                self.assertTrue(session.ask(b"REST %d" % (size + 1)).startswith(b"350"))
                self.assertEqual(session.ask(b"RETR file"), PAST_END)
                if passive:
                    session.assert_passive_used_up()
        self.assertEqual(session.ask(b"NOOP"), NOOP_OK)

    def test_rest_then_stor_keeps_the_prefix_and_ends_with_the_upload(self):
        session = self.session(self.modern())
        size = len(CONTENT)
        upload = b"UPLOADED" * 100
        for passive in (True, False):
            for offset in (0, 1, 5000, size):
                with self.subTest(passive=passive, offset=offset):
                    self.write("target", CONTENT)
                    replies, _ = session.transfer(b"STOR target", passive, upload=upload,
                                                  rest=offset)
                    self.assertEqual(replies, [STOR_STARTED, COMPLETE])
                    self.assertEqual(self.read("target"), CONTENT[:offset] + upload)
            for name in ("target", "missing"):
                with self.subTest(passive=passive, offset="past the end of " + name):
                    self.write("target", CONTENT)
                    replies, _ = session.transfer(b"STOR " + name.encode(), passive,
                                                  upload=upload, rest=size + 1)
                    self.assertEqual(replies, [PAST_END])
                    self.assertEqual(self.read("target"), CONTENT)
                    self.assertFalse(os.path.exists(self.path("missing")))

    def test_appe_appends_creates_and_ignores_rest(self):
        session = self.session(self.modern())
        for passive in (True, False):
            with self.subTest(passive=passive):
                self.write("log", b"first;")
                replies, _ = session.transfer(b"APPE log", passive, upload=b"second;", rest=2)
                self.assertEqual(replies, [APPE_STARTED, COMPLETE])
                self.assertEqual(self.read("log"), b"first;second;")
                name = "new %s" % passive
                replies, _ = session.transfer(b"APPE " + name.encode(), passive, upload=CONTENT)
                self.assertEqual(replies, [APPE_STARTED, COMPLETE])
                self.assertEqual(self.read(name), CONTENT)

    def test_rest_arguments_and_clearing(self):
        self.write("file", CONTENT)
        os.mkdir(self.path("sealed"))
        self.write("sealed/kept", b"kept")
        session = self.session(self.modern(paths=[(self.home, ALL),
                                                  (self.path("sealed"), ALL & ~WRITE)]))
        for argument in (b"", b"abc", b"-5", b"+5", b"5x", b"1.5", b"99999999999999999999"):
            with self.subTest(argument=argument):
                self.assertEqual(session.ask(b"REST " + argument if argument else b"REST"),
                                 b"501 REST needs a whole number of bytes\r\n")
        self.assertEqual(session.ask(b"REST 9223372036854775807"),
                         b"350 Restarting at 9223372036854775807\r\n")
        # Any other command clears the offset, a failed REST leaves none.
        for between in (b"NOOP", b"TYPE I", b"REST x", b"SIZE missing"):
            with self.subTest(between=between):
                _, port = session.pasv()
                data = session.data_connection(port)
                self.assertTrue(session.ask(b"REST 100").startswith(b"350"))
                session.ask(between)
                session.send(b"RETR file")
                self.assertEqual(session.reply(), RETR_STARTED)
                self.assertEqual(read_all(data), CONTENT)
                self.assertEqual(session.reply(), COMPLETE)
        # A refused path is refused as without an offset.
        replies, _ = session.transfer(b"STOR sealed/kept", True, upload=b"x", rest=2)
        self.assertEqual(replies, [STOR_STARTED, FAILED[b"STOR"]])
        replies, _ = session.transfer(b"RETR missing", True, rest=2)
        self.assertEqual(replies, [FAILED[b"RETR"]])
        self.assertEqual(self.read("sealed/kept"), b"kept")


class FileFactsTest(ModernTestCase):

    def test_size_mdtm_and_mlst_go_through_the_path_check(self):
        self.write("file", CONTENT)
        # Just below a whole second: MDTM cuts the fraction off.
        os.utime(self.path("file"), ns=(0, 1_700_000_000_999_999_999))
        os.mkdir(self.path("folder"))
        os.mkdir(self.path("private"))
        self.write("private/secret", b"secret")
        self.write("spaced name", b"12")
        with open(os.path.join(self.root, "outside"), "wb") as f:
            f.write(b"out of reach")
        os.symlink(os.path.join(self.root, "outside"), self.path("escape"))
        session = self.session(self.modern(paths=[(self.home, ALL),
                                                  (self.path("private"), ALL & ~READ & ~LIST)]))
        cases = [
            (b"SIZE file", b"213 10240\r\n"), (b"SIZE spaced name", b"213 2\r\n"),
            (b"MDTM file", b"213 20231114221320\r\n"),
        ]
        for verb in (b"SIZE", b"MDTM", b"MLST"):
            names = [b"missing", b"private/secret", b"/../outside", b"escape", b"private"]
            if verb != b"MLST":
                names.append(b"folder")
            cases += [(verb + b" " + name, b"550 %s failed\r\n" % verb) for name in names]
        for line, reply in cases:
            with self.subTest(line=line):
                self.assertEqual(session.ask(line), reply)

        status = os.stat(self.path("file"))
        first, facts, name = session.mlst(b"file")
        self.assertEqual(first, b"250-Listing /file\r\n")
        self.assertEqual(name, b"/file")
        self.assertEqual(facts, {"type": "file", "size": "10240", "modify": "20231114221320",
                                 "perm": "rwadf", "UNIX.mode": "%04o" % (status.st_mode & 0o7777)})
        # The client's path, as PWD shows it.
        self.assertEqual(session.ask(b"CWD folder"), b"250 CWD command successful\r\n")
        first, facts, name = session.mlst(b"")
        self.assertEqual((first, name, facts["type"]), (b"250-Listing /folder\r\n", b"/folder", "dir"))
        _, facts, name = session.mlst(b"../spaced name")
        self.assertEqual((name, facts["size"]), (b"/spaced name", "2"))
        # OPTS MLST chooses the facts shown.
        self.assertEqual(session.ask(b"OPTS MLST modify;UNIX.mode"),
                         b"200 MLST OPTS modify;UNIX.mode;\r\n")
        _, facts, _ = session.mlst(b"/file")
        self.assertEqual(set(facts), {"modify", "UNIX.mode"})


class ExtendedPassiveTest(ModernTestCase):

    def test_epsv_transfers_and_only_the_client_may_connect(self):
        self.write("file", CONTENT)
        session = self.session(self.modern())
        for line in (b"EPSV", b"EPSV 1", b"epsv 1"):
            with self.subTest(line=line):
                reply = session.ask(line)
                port = int(EPSV_REPLY.match(reply).group(1))
                self.assertTrue(10000 <= port <= 32000, port)
                # The stranger is turned away before the client connects, so
                # the one-place queue of the passive socket never holds both.
                stranger = session.data_connection(port, source="127.0.0.3")
                session.send(b"RETR file")
                self.assertEqual(session.reply(), RETR_STARTED)
                self.assertEqual(read_all(stranger), b"")
                self.assertEqual(read_all(session.data_connection(port)), CONTENT)
                self.assertEqual(session.reply(), COMPLETE)
        for line in (b"EPSV 2", b"EPSV 3", b"EPSV x"):
            with self.subTest(line=line):
                self.assertEqual(session.ask(line), WRONG_PROTOCOL)

    def test_epsv_all_refuses_port_eprt_and_pasv(self):
        self.write("file", CONTENT)
        session = self.session(self.modern())
        self.assertEqual(session.ask(b"EPSV ALL"), b"200 EPSV ALL command successful\r\n")
        for verb, argument in ((b"PORT", b"127,0,0,1,40,0"), (b"EPRT", b"|1|127.0.0.1|10240|"),
                               (b"PASV", b"")):
            with self.subTest(verb=verb):
                self.assertEqual(session.ask(verb + b" " + argument if argument else verb),
                                 b"503 %s not allowed after EPSV ALL\r\n" % verb)
        data = session.data_connection(session.epsv())
        session.send(b"RETR file")
        self.assertEqual(session.reply(), RETR_STARTED)
        self.assertEqual(read_all(data), CONTENT)
        self.assertEqual(session.reply(), COMPLETE)

    def test_eprt_arguments(self):
        session = self.session(self.modern())
        listening = session.listener()
        number = listening.getsockname()[1]
        bad = b"501 EPRT: command not understood\r\n"
        cases = [
            (b"EPRT |1|127.0.0.1|1023|", b"550 EPRT failed\r\n"),
            (b"EPRT |2|::1|%d|" % number, WRONG_PROTOCOL),
            (b"EPRT |7|127.0.0.1|%d|" % number, WRONG_PROTOCOL),
            (b"EPRT", bad), (b"EPRT |1|127.0.0.1|%d" % number, bad),
            (b"EPRT |1|127.0.0.1|%d|x" % number, bad), (b"EPRT |1|localhost|%d|" % number, bad),
            (b"EPRT |1|127.0.0.1|0|", bad), (b"EPRT |1|127.0.0.1|65536|", bad),
            (b"EPRT |1|127.0.0.1|-5|", bad), (b"EPRT ||127.0.0.1|%d|" % number, bad),
            (b"EPRT 1|127.0.0.1|%d|" % number, bad),
        ]
        for line, reply in cases:
            with self.subTest(line=line):
                self.assertEqual(session.ask(line), reply)
        # A failed EPRT changed nothing; then another delimiter, and the
        # listing arrives where it says.
        self.assertEqual(session.ask(b"EPRT !1!127.0.0.1!%d!" % number),
                         b"200 EPRT command successful\r\n")
        self.assertIn(b"..\r\n", session.active(b"NLST", listening))


class MachineListingTest(ModernTestCase):

    # Single permissions: the perm of a folder holding only that grant, as
    # its parent lists it, and of a file in a folder that adds List to it.
    PERMISSIONS = [
        ("read", READ, "", "r"),
        ("write", WRITE, "c", "wa"),
        ("delete", DELETE, "fp", "df"),
        ("list", LIST, "el", ""),
        ("create", CREATE, "m", ""),
        ("rmdir", RMDIR, "dp", ""),
        ("none", 0, "", ""),
        ("all", ALL, "dfelcmp", "rwadf"),
    ]

    def test_facts_match_the_file_system(self):
        self.write("file", CONTENT)
        os.chmod(self.path("file"), 0o640)
        os.mkdir(self.path("folder"))
        os.symlink("file", self.path("to file"))
        os.symlink("folder", self.path("to folder"))
        os.symlink("gone", self.path("dangling"))
        with open(os.path.join(self.root, "outside"), "wb") as f:
            f.write(b"out of reach")
        os.symlink(os.path.join(self.root, "outside"), self.path("escape"))
        session = self.session(self.modern())
        for argument in (b"", b"/", b"."):
            replies, entries = session.mlsd(argument)
            self.assertEqual(replies, [OPENING, COMPLETE])
            self.assertEqual(set(entries), {".", "..", "file", "folder", "to file", "to folder",
                                            "dangling", "escape"})
        for name, kind in (("file", "file"), ("folder", "dir"), ("to file", "file"),
                           ("to folder", "dir"), (".", "cdir"), ("..", "pdir"),
                           ("escape", "file")):
            with self.subTest(name=name):
                status = os.stat(os.path.join(self.home, name))
                facts = entries[name]
                self.assertEqual(facts["type"], kind)
                self.assertEqual(facts["modify"], machine_time(status.st_mtime))
                self.assertEqual(facts["UNIX.mode"], "%04o" % stat.S_IMODE(status.st_mode))
                if kind == "file":
                    self.assertEqual(int(facts["size"]), status.st_size)
                else:
                    self.assertNotIn("size", facts)
        self.assertEqual(entries["dangling"]["type"], "OS.unix=slink")
        # Each perm is what the account may do there: the link that leads
        # out of the accessible paths may only be deleted or renamed.
        self.assertEqual([entries[n]["perm"] for n in ("file", "to file", "folder", ".", "..",
                                                       "dangling", "escape")],
                         ["rwadf", "rwadf", "dfelcmp", "dfelcmp", "", "df", "df"])

    def test_perm_letters_for_each_permission(self):
        paths = [(self.home, LIST)]
        for name, flags, _, _ in self.PERMISSIONS:
            os.mkdir(self.path("only " + name))
            os.mkdir(self.path("with list " + name))
            self.write(os.path.join("with list " + name, "file"), b"x")
            paths += [(self.path("only " + name), flags),
                      (self.path("with list " + name), flags | LIST)]
        session = self.session(self.modern(paths=paths))
        _, listed = session.mlsd()
        self.assertEqual(listed["."]["perm"], "el")
        for name, flags, folder_perm, file_perm in self.PERMISSIONS:
            with self.subTest(permission=name):
                self.assertEqual(listed["only " + name]["perm"], folder_perm)
                replies, entries = session.mlsd(b"with list " + name.encode())
                self.assertEqual(replies, [OPENING, COMPLETE])
                self.assertEqual(entries["file"]["perm"], file_perm)
                letters = set(folder_perm) | {"e", "l"}
                self.assertEqual(entries["."]["perm"],
                                 "".join(c for c in "dfelcmp" if c in letters))
                # The folder's own grant is what its parent's listing shows.
                self.assertEqual(listed["with list " + name]["perm"], entries["."]["perm"])

    def test_mlsd_refusals_come_before_any_data_connection(self):
        os.mkdir(self.path("unlisted"))
        self.write("file", b"x")
        session = self.session(self.modern(paths=[(self.home, ALL),
                                                  (self.path("unlisted"), ALL & ~LIST)]))
        for argument in (b"unlisted", b"file", b"missing", b"/.."):
            for passive in (True, False):
                with self.subTest(argument=argument, passive=passive):
                    if passive:
                        session.epsv()
                    else:
                        session.port()
                    self.assertEqual(session.ask(b"MLSD " + argument), b"550 MLSD failed\r\n")
                    if passive:
                        session.assert_passive_used_up()
        # Active mode too lists what the argument names.
        self.write("unlisted/hidden", b"")
        self.assertIn(b"; file\r\n", session.active(b"MLSD /", session.port()))

    def test_names_with_line_breaks_stay_on_their_line(self):
        self.write("two\nlines\r", b"x")
        session = self.session(self.modern())
        port = session.epsv()
        data = session.data_connection(port)
        session.send(b"MLSD")
        self.assertEqual(session.reply(), OPENING)
        lines = read_all(data).split(b"\r\n")[:-1]
        self.assertEqual(session.reply(), COMPLETE)
        self.assertEqual(len(lines), 3)
        self.assertIn(b" two\x00lines\r\x00", [line[line.index(b" "):] for line in lines])


if __name__ == "__main__":
    unittest.main()
