"""Data connections of FTP sessions of the tarnhold executable, run headless
and driven with raw sockets: PORT, PASV, TYPE, STRU and MODE, LIST and
NLST, RETR and STOR in both modes, the sharing rule between sessions, and
clients that stall, vanish or never come, which must each end with the
expected reply and leave no descriptor or thread behind."""

import calendar
import io
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

import harness
from harness import ALL, HEADLESS, LIST, MARK, NOOP_OK, READ, WRITE


OPENING = b"150 Opening ASCII mode data connection\r\n"
RETR_STARTED = b"150 RETR command started\r\n"
STOR_STARTED = b"150 STOR command started\r\n"
COMPLETE = b"226 Transfer Complete\r\n"
PORT_OK = b"250 PORT command successful\r\n"
PORT_FAILED = b"550 PORT failed\r\n"
PORTS_IN_USE = b"502 All data ports are in use\r\n"
PASV_REPLY = re.compile(rb"^227 Entering passive mode \((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)\r\n$")
FAILED = {b"LIST": b"550 LIST failed\r\n", b"NLST": b"550 NLST failed\r\n",
          b"RETR": b"550 RETR failed\r\n", b"STOR": b"550 STOR failed\r\n"}

# Bytes that a conversion would change: CR, LF, lone CR, NUL, above 127.
AWKWARD = bytes(range(256)) * 3 + b"line\r\nbare lf\nbare cr\r\r\n\x00\xff"


def account(name, login, password, home, paths):
    """The settings lines of a named account with its accessible paths,
    given as (path, flags)."""
    lines = ["REGACCT" + MARK, name, login, password, home, "", "0", "f4240", "f4240", "300",
             "10", "1", "0", "0", "0", "0"]
    for path, flags in paths:
        lines += ["ACCPATH" + MARK, path, "%x" % flags, "0"]
    return "\r\n".join(lines) + "\r\n"


def descriptors(server):
    return len(os.listdir("/proc/%d/fd" % server.process.pid))


def threads(server):
    return len(os.listdir("/proc/%d/task" % server.process.pid))


def peak_memory_kib(server):
    with open("/proc/%d/status" % server.process.pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise AssertionError("no VmHWM")


def make_sparse(path, size):
    with open(path, "wb") as f:
        f.truncate(size)


def read_all(sock):
    """Everything until the peer closes; a reset ends it too."""
    data = bytearray()
    while True:
        try:
            chunk = sock.recv(1 << 20)
        except ConnectionResetError:
            return bytes(data)
        if not chunk:
            return bytes(data)
        data += chunk


class Session:
    """A logged-in control connection with helpers for both data modes."""

    def __init__(self, test, port, user=b"alice", password=b"secret", host=harness.LOOPBACK):
        self.test = test
        self.client = harness.Client(port, host=host)
        test.addCleanup(self.client.close)
        test.assertEqual(self.client.recv_until(), b"220 Connected to Tarnwell Server\r\n")
        test.assertEqual(self.ask(b"USER " + user), b"331 User name OK, send password as PASS\r\n")
        test.assertEqual(self.ask(b"PASS " + password), b"230-logon successful\r\n")
        test.assertEqual(self.reply(), b"230 \r\n")

    def send(self, line):
        self.client.send(line + b"\r\n")

    def reply(self, timeout=None):
        return self.client.recv_until(timeout=timeout)

    def ask(self, line, timeout=None):
        self.send(line)
        return self.reply(timeout)

    def pasv(self):
        """PASV; the announced (address, port)."""
        reply = self.ask(b"PASV")
        match = PASV_REPLY.match(reply)
        self.test.assertIsNotNone(match, reply)
        numbers = [int(n) for n in match.groups()]
        return ".".join(map(str, numbers[:4])), numbers[4] * 256 + numbers[5]

    def listener(self, address=harness.LOOPBACK):
        sock = socket.socket()
        self.test.addCleanup(sock.close)
        sock.bind((address, 0))
        sock.listen(4)
        sock.settimeout(40)
        return sock

    def port(self, address=harness.LOOPBACK):
        """A listening socket that PORT names."""
        sock = self.listener(address)
        number = sock.getsockname()[1]
        line = "PORT %s,%d,%d" % (address.replace(".", ","), number // 256, number % 256)
        self.test.assertEqual(self.ask(line.encode()), PORT_OK)
        return sock

    def data_connection(self, port, source=None):
        sock = socket.create_connection((harness.LOOPBACK, port), timeout=40,
                                        source_address=(source, 0) if source else None)
        self.test.addCleanup(sock.close)
        return sock

    def transfer(self, command, passive, upload=None, timeout=None, rest=None):
        """Runs a data command in the given mode: (replies, received bytes).
        upload is sent and the connection closed for STOR. rest, when
        given, is sent as REST right before the command."""
        if passive:
            _, port = self.pasv()
            data = self.data_connection(port)
        else:
            listening = self.port()
        if rest is not None:
            self.test.assertTrue(self.ask(b"REST %d" % rest).startswith(b"350 "))
        self.send(command)
        replies = [self.reply(timeout)]
        if not replies[0].startswith(b"150"):
            return replies, b""
        if not passive:
            data, _ = listening.accept()
            self.test.addCleanup(data.close)
            data.settimeout(40)
        received = b""
        try:
            if upload is not None:
                data.sendall(upload)
                data.shutdown(socket.SHUT_WR)
            received = read_all(data)
        except OSError:
            pass  # the server closed a refused upload unread
        data.close()
        replies.append(self.reply(timeout))
        return replies, received


class DataTestCase(harness.ServerTestCase):

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="tarnhold-data-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.home = os.path.join(self.root, "home")
        os.mkdir(self.home)

    def path(self, *names):
        return os.path.join(self.home, *names)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def round_trip(self, ftp, name):
        """Through a logged-in ftplib client: AWKWARD stored as name byte
        for byte, awkward.bin fetched whole, and listed."""
        self.assertEqual(ftp.storbinary("STOR " + name, io.BytesIO(AWKWARD)),
                         "226 Transfer Complete")
        self.assertEqual(self.read(name), AWKWARD)
        received = io.BytesIO()
        ftp.retrbinary("RETR awkward.bin", received.write)
        self.assertEqual(received.getvalue(), AWKWARD)
        self.assertIn("awkward.bin", ftp.nlst())

    def serve(self, extra_sections="", paths=None, executable=None, features=0):
        """A server with the account alice/secret at home, all rights there
        unless paths say otherwise."""
        sections = account("Alice", "alice", "secret", self.home,
                           paths if paths is not None else [(self.home, ALL)])
        sections += extra_sections
        server = self.start_server(HEADLESS, executable=executable, files={
            "tarnhold.bot": lambda port: harness.settings_file(port, sections=sections,
                                                               features=features)})
        server.wait_for_line(r"Listening for connections on port %d$" % server.port)
        self.addCleanup(lambda: self.assertEqual(server.stop(), 0))
        return server

    def session(self, server, **kwargs):
        return Session(self, server.port, **kwargs)

    def assert_refused(self, port):
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection((harness.LOOPBACK, port), timeout=5).close()


class NegotiationTest(DataTestCase):

    def test_type_stru_and_mode_replies(self):
        session = self.session(self.serve())
        cases = [
            (b"TYPE", b"500 TYPE: command not understood\r\n"),
            (b"TYPE i", b"250 TYPE command successful\r\n"),
            (b"TYPE A N", b"250 TYPE command successful\r\n"),
            (b"TYPE L 8", b"550 TYPE failed\r\n"),
            (b"TYPE E", b"550 TYPE failed\r\n"),
            (b"STRU", b"500 STRU: command not understood\r\n"),
            (b"STRU f", b"250 STRU command successful\r\n"),
            (b"STRU R", b"250 STRU command successful\r\n"),
            (b"STRU P", b"550 STRU failed\r\n"),
            (b"MODE S", b"502 MODE command not implemented\r\n"),
            (b"PORT", b"500 PORT: command not understood\r\n"),
        ]
        for line, reply in cases:
            with self.subTest(line=line):
                self.assertEqual(session.ask(line), reply)

    def test_port_arguments(self):
        server = self.serve()
        session = self.session(server)
        target = session.listener()
        number = target.getsockname()[1]
        high, low = number // 256, number % 256

        def nlst_arrives_at(listening):
            session.send(b"NLST")
            self.assertEqual(session.reply(), OPENING)
            data, _ = listening.accept()
            with data:
                self.assertIn(b"..\r\n", read_all(data))
            self.assertEqual(session.reply(), COMPLETE)

        def argument(address, length):
            # The high byte padded with leading zeros to the length.
            tail = b",%d,%d" % (high, low)
            return address + b"," + b"0" * (length - len(address) - len(tail)) + tail[1:]

        # Only the low 8 bits of p1 count.
        self.assertEqual(session.ask(b"PORT 127,0,0,1,%d,%d" % (high + 256, low)), PORT_OK)
        nlst_arrives_at(target)
        # 25 characters are taken; 26 are refused and change nothing.
        self.assertEqual(session.ask(b"PORT " + argument(b"127,0,0,1", 25)), PORT_OK)
        self.assertEqual(session.ask(b"PORT " + argument(b"127,0,0,2", 26)), PORT_FAILED)
        nlst_arrives_at(target)
        # 1024 is the lowest port taken.
        self.assertEqual(session.ask(b"PORT 127,0,0,1,3,255"), PORT_FAILED)
        self.assertEqual(session.ask(b"PORT 127,0,0,1,4,0"), PORT_OK)
        self.assertEqual(session.ask(b"PORT 127,0,0,1,%d,%d" % (high, low)), PORT_OK)

        # Four commas: refused, yet the address is taken and the port kept.
        other = socket.socket()
        self.addCleanup(other.close)
        try:
            other.bind(("127.0.0.2", number))
        except OSError:
            self.skipTest("port %d is taken on 127.0.0.2" % number)
        other.listen(1)
        other.settimeout(40)
        self.assertEqual(session.ask(b"PORT 127,0,0,2,4"), PORT_FAILED)
        nlst_arrives_at(other)
        self.assertEqual(session.ask(b"NOOP"), NOOP_OK)

    def test_pasv_announces_the_address_the_client_reached(self):
        server = self.serve()
        for address in ("127.0.0.1", "127.0.0.2"):
            with self.subTest(address=address):
                session = self.session(server, host=address)
                announced, port = session.pasv()
                self.assertEqual(announced, address)
                self.assertTrue(10000 <= port <= 32000, port)

    def test_one_pasv_serves_one_data_command(self):
        self.write("file", b"contents")
        server = self.serve()
        session = self.session(server)

        # A second PASV finds the first one's socket still open.
        _, port = session.pasv()
        self.assertEqual(session.ask(b"PASV"), PORTS_IN_USE)
        data = session.data_connection(port)
        session.send(b"NLST")
        self.assertEqual(session.reply(), OPENING)
        self.assertIn(b"file\r\n", read_all(data))
        self.assertEqual(session.reply(), COMPLETE)
        self.assert_refused(port)

        # PASV, LIST, LIST: the second LIST goes to the PORT address.
        listening = session.port()
        _, port = session.pasv()
        data = session.data_connection(port)
        session.send(b"LIST")
        self.assertEqual(session.reply(), OPENING)
        passive_listing = read_all(data)
        self.assertEqual(session.reply(), COMPLETE)
        session.send(b"LIST")
        self.assertEqual(session.reply(), OPENING)
        data, _ = listening.accept()
        with data:
            self.assertEqual(read_all(data), passive_listing)
        self.assertEqual(session.reply(), COMPLETE)

        # PASV, PORT, RETR: the pending PASV still decides.
        _, port = session.pasv()
        listening = session.port()
        data = session.data_connection(port)
        session.send(b"RETR file")
        self.assertEqual(session.reply(), RETR_STARTED)
        self.assertEqual(read_all(data), b"contents")
        self.assertEqual(session.reply(), COMPLETE)
        listening.settimeout(0.5)
        with self.assertRaises(socket.timeout):
            listening.accept()

    def test_passive_data_comes_only_from_the_client_of_the_session(self):
        self.write("file", b"for alice only")
        server = self.serve()
        session = self.session(server)
        _, port = session.pasv()
        stranger = session.data_connection(port, source="127.0.0.3")
        session.send(b"RETR file")
        self.assertEqual(session.reply(), RETR_STARTED)
        self.assertEqual(read_all(stranger), b"")
        data = session.data_connection(port)
        self.assertEqual(read_all(data), b"for alice only")
        self.assertEqual(session.reply(), COMPLETE)


class ListingTest(DataTestCase):

    def test_list_and_nlst_lines_in_both_modes(self):
        year = time.localtime().tm_year
        this_year = calendar.timegm((year, 1, 5, 13, 7, 0))
        self.write("readme.txt", b"x" * 1234)
        os.utime(self.path("readme.txt"), (this_year, this_year))
        self.write("old.txt", b"")
        os.utime(self.path("old.txt"), (0, calendar.timegm((2001, 11, 23, 8, 5, 0))))
        self.write("fixed", b"1234567")
        os.chmod(self.path("fixed"), 0o444)
        self.write(".hidden", b"1234567")
        long_name = "n" * 200
        self.write(long_name, b"")
        os.mkdir(self.path("docs"))
        for name in ("fixed", ".hidden", long_name, "docs"):
            os.utime(self.path(name), (this_year, this_year))
        folder_size = os.stat(self.path("docs")).st_size

        expected = {
            "readme.txt": "-r-xr-xrwx   1 owner    group            1234 Jan  5 13:07 readme.txt",
            "old.txt": "-r-xr-xrwx   1 owner    group               0 Nov 23  2001 old.txt",
            "fixed": "-r-xr-xr-x   1 owner    group               7 Jan  5 13:07 fixed",
            ".hidden": "-r-xr-x-w-   1 owner    group               7 Jan  5 13:07 .hidden",
            long_name[:195]: "-r-xr-xrwx   1 owner    group               0 Jan  5 13:07 "
                             + long_name[:195],
            "docs": "dr-xr-xrwx   1 owner    group%16d Jan  5 13:07 docs" % folder_size,
        }
        names = set(expected) | {".", ".."}
        server = self.serve()
        session = self.session(server)
        for passive in (True, False):
            for command in (b"LIST", b"LIST -la"):
                with self.subTest(command=command, passive=passive):
                    replies, data = session.transfer(command, passive)
                    self.assertEqual(replies, [OPENING, COMPLETE])
                    self.assertTrue(data.endswith(b"\r\n"))
                    lines = data.decode().split("\r\n")[:-1]
                    by_name = {line[59:]: line for line in lines}
                    self.assertEqual(set(by_name), names)
                    for name, line in expected.items():
                        self.assertEqual(by_name[name], line)
                    self.assertEqual(len(by_name["readme.txt"]), 69)
            with self.subTest(command=b"NLST", passive=passive):
                replies, data = session.transfer(b"NLST", passive)
                self.assertEqual(replies, [OPENING, COMPLETE])
                self.assertEqual(sorted(data.split(b"\r\n")[:-1]),
                                 sorted(name.encode() for name in names))

    def test_listing_needs_the_list_permission_of_the_current_folder(self):
        os.mkdir(self.path("inner"))
        # Bob's home grants everything but List; Carol's home lies where no
        # accessible path reaches.
        inner = self.path("inner")
        sections = account("Bob", "bob", "pw", inner, [(inner, ALL & ~LIST)])
        sections += account("Carol", "carol", "pw", self.root, [(self.home, ALL)])
        server = self.serve(extra_sections=sections)
        for user in (b"bob", b"carol"):
            session = self.session(server, user=user, password=b"pw")
            for command in (b"LIST", b"NLST"):
                for passive in (True, False):
                    with self.subTest(user=user, command=command, passive=passive):
                        replies, data = session.transfer(command, passive)
                        self.assertEqual(replies, [OPENING, FAILED[command]])
                        self.assertEqual(data, b"")
            self.assertEqual(session.ask(b"NOOP"), NOOP_OK)


class TransferTest(DataTestCase):

    def test_retr_sends_the_exact_bytes_in_both_types_and_modes(self):
        self.write("awkward.bin", AWKWARD)
        self.write("empty", b"")
        self.write("with space.txt", b"spaced")
        session = self.session(self.serve())
        for type_line in (b"TYPE A", b"TYPE I"):
            self.assertEqual(session.ask(type_line), b"250 TYPE command successful\r\n")
            for passive in (True, False):
                for name, content in ((b"awkward.bin", AWKWARD), (b"empty", b""),
                                      (b"with space.txt", b"spaced")):
                    with self.subTest(type=type_line, passive=passive, name=name):
                        replies, data = session.transfer(b"RETR " + name, passive)
                        self.assertEqual(replies, [RETR_STARTED, COMPLETE])
                        self.assertEqual(data, content)

    def test_retr_refusals_come_without_150(self):
        os.mkdir(self.path("folder"))
        os.mkdir(self.path("private"))
        with open(self.path("private", "secret"), "wb") as f:
            f.write(b"no")
        paths = [(self.home, ALL), (self.path("private"), ALL & ~READ)]
        session = self.session(self.serve(paths=paths))
        with open(os.path.join(self.root, "outside"), "wb") as f:
            f.write(b"out of reach")
        for name in (b"missing", b"folder", b"private/secret", b"/../outside"):
            for passive in (True, False):
                with self.subTest(name=name, passive=passive):
                    if passive:
                        _, port = session.pasv()
                    else:
                        session.port()
                    self.assertEqual(session.ask(b"RETR " + name), FAILED[b"RETR"])
                    if passive:
                        self.assert_refused(port)
        self.assertEqual(session.ask(b"NOOP"), NOOP_OK)

    def test_stor_writes_the_exact_bytes_in_both_modes(self):
        session = self.session(self.serve())
        for passive in (True, False):
            with self.subTest(passive=passive):
                self.write("existing", b"old contents that are longer" * 1000)
                cases = [(b"existing", AWKWARD), (b"empty upload", b""),
                         (b"my file.txt", b"spaces in the name")]
                for name, content in cases:
                    replies, _ = session.transfer(b"STOR " + name, passive, upload=content)
                    self.assertEqual(replies, [STOR_STARTED, COMPLETE])
                    self.assertEqual(self.read(name.decode()), content)
                replies, data = session.transfer(b"RETR my file.txt", passive)
                self.assertEqual(data, b"spaces in the name")

    def test_stor_refusals_come_after_150_and_touch_nothing(self):
        os.mkdir(self.path("readonly"))
        self.write("readonly/kept", b"kept")
        paths = [(self.home, ALL), (self.path("readonly"), ALL & ~WRITE)]
        session = self.session(self.serve(paths=paths))
        os.mkdir(self.path("folder"))
        for name in (b"readonly/new", b"readonly/kept", b"missing/new", b"folder",
                     b"/../outside"):
            for passive in (True, False):
                with self.subTest(name=name, passive=passive):
                    replies, _ = session.transfer(b"STOR " + name, passive, upload=b"data")
                    self.assertEqual(replies, [STOR_STARTED, FAILED[b"STOR"]])
        self.assertEqual(sorted(os.listdir(self.path("readonly"))), ["kept"])
        self.assertEqual(self.read("readonly/kept"), b"kept")
        self.assertFalse(os.path.exists(os.path.join(self.root, "outside")))
        self.assertEqual(session.ask(b"NOOP"), NOOP_OK)

    def test_a_download_starts_only_for_a_file_that_is_there(self):
        os.mkdir(self.path("folder"))
        os.mkfifo(self.path("fifo"))
        server = self.serve()
        session = self.session(server)
        for passive in (True, False):
            # Refused before a 150: nothing there, or a folder.
            for name in (b"missing", b"folder"):
                replies, data = session.transfer(b"RETR " + name, passive)
                self.assertEqual((replies, data), ([FAILED[b"RETR"]], b""), name)
            # There but no file: it starts, then fails without waiting for
            # a writer.
            replies, data = session.transfer(b"RETR fifo", passive)
            self.assertEqual((replies, data), ([RETR_STARTED, FAILED[b"RETR"]], b""))
        self.assertEqual(session.ask(b"NOOP"), NOOP_OK)

    def test_a_reader_and_a_writer_of_one_file_exclude_each_other(self):
        big = 64 << 20
        make_sparse(self.path("big.bin"), big)
        server = self.serve()
        uploader = self.session(server)
        reader = self.session(server)

        # While one session uploads, another cannot download the file.
        _, port = uploader.pasv()
        upload = uploader.data_connection(port)
        uploader.send(b"STOR growing")
        self.assertEqual(uploader.reply(), STOR_STARTED)
        upload.sendall(b"first part")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if os.path.exists(self.path("growing")) and os.path.getsize(self.path("growing")) == 10:
                break
            time.sleep(0.02)
        replies, data = reader.transfer(b"RETR growing", passive=True)
        self.assertEqual(replies, [RETR_STARTED, FAILED[b"RETR"]])
        self.assertEqual(data, b"")
        upload.sendall(b", second part")
        upload.close()
        self.assertEqual(uploader.reply(), COMPLETE)
        self.assertEqual(self.read("growing"), b"first part, second part")

        # While one session downloads (its client not reading yet), an
        # upload over the file fails at once and leaves it whole.
        _, port = reader.pasv()
        download = reader.data_connection(port)
        reader.send(b"RETR big.bin")
        self.assertEqual(reader.reply(), RETR_STARTED)
        download.recv(1)
        replies, _ = uploader.transfer(b"STOR big.bin", passive=True, upload=b"x" * 1000)
        self.assertEqual(replies, [STOR_STARTED, FAILED[b"STOR"]])
        self.assertEqual(os.path.getsize(self.path("big.bin")), big)
        # Two readers share the file.
        replies, data = uploader.transfer(b"RETR big.bin", passive=False)
        self.assertEqual(replies, [RETR_STARTED, COMPLETE])
        self.assertEqual(len(data), big)
        self.assertEqual(len(read_all(download)) + 1, big)
        self.assertEqual(reader.reply(), COMPLETE)

    def test_memory_stays_flat_for_large_transfers(self):
        size = 96 << 20
        make_sparse(self.path("large.bin"), size)
        server = self.serve()
        session = self.session(server)
        replies, data = session.transfer(b"RETR large.bin", passive=True)
        self.assertEqual(replies, [RETR_STARTED, COMPLETE])
        before = peak_memory_kib(server)
        for passive in (True, False):
            replies, data = session.transfer(b"RETR large.bin", passive)
            self.assertEqual((replies, len(data)), ([RETR_STARTED, COMPLETE], size))
            replies, _ = session.transfer(b"STOR copy.bin", passive, upload=data)
            self.assertEqual(replies, [STOR_STARTED, COMPLETE])
            self.assertEqual(os.path.getsize(self.path("copy.bin")), size)
        del data
        # Nothing near the file's size was ever held in memory.
        self.assertLess(peak_memory_kib(server) - before, 32 << 10)


class FaultTest(DataTestCase):

    def test_stalled_vanished_and_absent_clients(self):
        make_sparse(self.path("big.bin"), 64 << 20)
        server = self.serve()
        sessions = [self.session(server) for _ in range(7)]
        before = (descriptors(server), threads(server))
        outcomes = {}

        def never_connects(session, command):
            session.pasv()
            started = time.monotonic()
            session.send(command)
            first = session.reply()
            return [first, session.reply(timeout=60)], time.monotonic() - started

        def never_reads(session):
            _, port = session.pasv()
            data = session.data_connection(port)
            data.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            session.send(b"RETR big.bin")
            replies = [session.reply(), session.reply(timeout=200)]
            data.close()
            return replies

        def stops_sending(session):
            _, port = session.pasv()
            data = session.data_connection(port)
            session.send(b"STOR partial.bin")
            first = session.reply()
            data.sendall(b"p" * 100000)
            replies = [first, session.reply(timeout=60)]
            data.close()
            return replies

        def closes_early(session):
            _, port = session.pasv()
            data = session.data_connection(port)
            session.send(b"RETR big.bin")
            replies = [[session.reply()]]
            data.recv(1024)
            data.close()
            replies[0].append(session.reply())
            # A listing that cannot be sent whole is no success either.
            for command in (b"LIST", b"NLST"):
                _, port = session.pasv()
                data = session.data_connection(port)
                data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                data.close()  # a reset
                session.send(command)
                replies.append([session.reply(), session.reply()])
            return replies

        def closed_port(session):
            listening = session.port()
            listening.close()
            replies = []
            for command in (b"LIST", b"NLST", b"RETR big.bin", b"STOR never.bin"):
                session.send(command)
                replies.append([session.reply(), session.reply()])
            return replies

        jobs = {
            "list never connects": lambda: never_connects(sessions[0], b"LIST"),
            "retr never connects": lambda: never_connects(sessions[1], b"RETR big.bin"),
            "stor never connects": lambda: never_connects(sessions[2], b"STOR absent.bin"),
            "never reads": lambda: never_reads(sessions[3]),
            "stops sending": lambda: stops_sending(sessions[4]),
            "closes early": lambda: closes_early(sessions[5]),
            "closed port": lambda: closed_port(sessions[6]),
        }

        def run(name, job):
            try:
                outcomes[name] = job()
            except BaseException as error:  # reported by the main thread
                outcomes[name] = error

        workers = [threading.Thread(target=run, args=item) for item in jobs.items()]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join(300)
        for name, outcome in outcomes.items():
            if isinstance(outcome, BaseException):
                raise AssertionError("%s: %r" % (name, outcome))

        for name, command in (("list never connects", b"LIST"), ("retr never connects", b"RETR"),
                              ("stor never connects", b"STOR")):
            with self.subTest(name):
                replies, waited = outcomes[name]
                first = OPENING if command == b"LIST" else (
                    RETR_STARTED if command == b"RETR" else STOR_STARTED)
                self.assertEqual(replies, [first, FAILED[command]])
                self.assertGreater(waited, 18)
        self.assertEqual(outcomes["never reads"], [RETR_STARTED, FAILED[b"RETR"]])
        self.assertEqual(outcomes["stops sending"], [STOR_STARTED, FAILED[b"STOR"]])
        self.assertEqual(self.read("partial.bin"), b"p" * 100000)
        self.assertEqual(outcomes["closes early"], [[RETR_STARTED, FAILED[b"RETR"]],
                                                    [OPENING, FAILED[b"LIST"]],
                                                    [OPENING, FAILED[b"NLST"]]])
        self.assertEqual(outcomes["closed port"], [
            [OPENING, FAILED[b"LIST"]], [OPENING, FAILED[b"NLST"]],
            [RETR_STARTED, FAILED[b"RETR"]], [STOR_STARTED, FAILED[b"STOR"]]])
        self.assertFalse(os.path.exists(self.path("absent.bin")))
        self.assertFalse(os.path.exists(self.path("never.bin")))

        for session in sessions:
            self.assertEqual(session.ask(b"NOOP"), NOOP_OK)
        self.assertEqual((descriptors(server), threads(server)), before)
        # And each session still transfers.
        replies, data = sessions[0].transfer(b"RETR partial.bin", passive=True)
        self.assertEqual((replies, len(data)), ([RETR_STARTED, COMPLETE], 100000))

    def test_a_full_disk_ends_the_upload_with_550(self):
        # A file-size limit makes writes fail the way a full disk does.
        wrapper = os.path.join(self.root, "limited.sh")
        with open(wrapper, "w") as f:
            f.write("#!/bin/sh\ntrap '' XFSZ\nulimit -f 2048\nexec \"%s\" \"$@\"\n"
                    % os.environ["TARNHOLD_SERVER"])
        os.chmod(wrapper, 0o755)
        server = self.serve(executable=wrapper)
        session = self.session(server)
        before = descriptors(server)
        for passive in (True, False):
            with self.subTest(passive=passive):
                replies, _ = session.transfer(b"STOR full.bin", passive, upload=b"f" * (4 << 20))
                self.assertEqual(replies, [STOR_STARTED, FAILED[b"STOR"]])
                size = os.path.getsize(self.path("full.bin"))
                self.assertTrue(0 < size < 4 << 20, size)
        self.assertEqual(descriptors(server), before)
        replies, _ = session.transfer(b"STOR small.bin", True, upload=b"fits")
        self.assertEqual(replies, [STOR_STARTED, COMPLETE])

    def test_a_read_only_target_refuses_the_upload(self):
        os.mkdir(self.path("sealed"))
        self.write("sealed/kept", b"kept")
        if os.geteuid() == 0:
            # The owner's mode bits do not stop root; the immutable flag does.
            targets = [self.path("sealed", "kept"), self.path("sealed")]
            try:
                sealed = subprocess.run(["chattr", "+i"] + targets, capture_output=True)
            except FileNotFoundError:
                sealed = None
            if sealed is None or sealed.returncode != 0:
                self.skipTest("no read-only target can be made here")
            self.addCleanup(subprocess.run, ["chattr", "-i"] + targets, capture_output=True)
        else:
            os.chmod(self.path("sealed", "kept"), 0o444)
            os.chmod(self.path("sealed"), 0o555)
            self.addCleanup(os.chmod, self.path("sealed"), 0o755)
        server = self.serve()
        session = self.session(server)
        before = descriptors(server)
        for name in (b"sealed/kept", b"sealed/new"):
            for passive in (True, False):
                with self.subTest(name=name, passive=passive):
                    replies, _ = session.transfer(b"STOR " + name, passive, upload=b"new")
                    self.assertEqual(replies, [STOR_STARTED, FAILED[b"STOR"]])
        self.assertEqual(self.read("sealed/kept"), b"kept")
        self.assertEqual(os.listdir(self.path("sealed")), ["kept"])
        self.assertEqual(descriptors(server), before)
        replies, data = session.transfer(b"RETR sealed/kept", True)
        self.assertEqual((replies, data), ([RETR_STARTED, COMPLETE], b"kept"))


if __name__ == "__main__":
    unittest.main()
