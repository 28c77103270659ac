"""Real FTP clients against the tarnhold executable run headless: Python's
ftplib, curl and lftp list, download and upload in passive and active mode,
and lftp mirrors a tree of folders down and back up byte for byte; all of
it again with the modern commands on, where curl resumes cut transfers
over EPSV, lftp continues and mirrors with MLSD, and ftplib reads MLSD."""

import ftplib
import io
import os
import random
import subprocess
import time
import unittest

import harness
import test_data
from harness import MODERN

AWKWARD = test_data.AWKWARD


class ClientsTest(test_data.DataTestCase):
    features = 0  # the extension bits the server runs with

    def setUp(self):
        super().setUp()
        self.write("awkward.bin", AWKWARD)
        self.write("empty", b"")
        self.server = self.serve(features=self.features)
        self.url = "ftp://alice:secret@%s:%d/" % (harness.LOOPBACK, self.server.port)

    def ftp(self, passive):
        ftp = ftplib.FTP()
        ftp.connect(harness.LOOPBACK, self.server.port, timeout=30)
        self.addCleanup(ftp.close)
        self.assertTrue(ftp.login("alice", "secret").startswith("230"))
        ftp.set_pasv(passive)
        return ftp

    def run_client(self, args, timeout=120):
        result = subprocess.run(args, capture_output=True, timeout=timeout)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
        return result.stdout

    def test_ftplib_in_both_modes(self):
        for passive in (True, False):
            with self.subTest(passive=passive):
                ftp = self.ftp(passive)
                upload = ("upload passive" if passive else "upload active")
                self.assertEqual(ftp.storbinary("STOR " + upload, io.BytesIO(AWKWARD)),
                                 "226 Transfer Complete")
                self.assertEqual(self.read(upload), AWKWARD)
                received = io.BytesIO()
                self.assertEqual(ftp.retrbinary("RETR awkward.bin", received.write),
                                 "226 Transfer Complete")
                self.assertEqual(received.getvalue(), AWKWARD)
                self.assertEqual(ftp.retrbinary("RETR empty", received.write),
                                 "226 Transfer Complete")
                names = ftp.nlst()
                self.assertTrue({"awkward.bin", "empty", upload} <= set(names), names)
                lines = []
                ftp.dir(lines.append)
                by_name = {line[59:]: line for line in lines}
                self.assertTrue(by_name["awkward.bin"].startswith("-r-xr-xrwx   1 owner    group"))
                self.assertEqual(int(by_name["awkward.bin"][29:45]), len(AWKWARD))
                with self.assertRaises(ftplib.error_perm):
                    ftp.retrbinary("RETR missing", received.write)
                self.assertTrue(ftp.quit().startswith("221"))

    def test_curl_lists_downloads_and_uploads(self):
        source = os.path.join(self.root, "to upload")
        with open(source, "wb") as f:
            f.write(AWKWARD)
        for mode in ([], ["-P", harness.LOOPBACK]):
            with self.subTest(mode=mode):
                curl = ["curl", "--silent", "--show-error", "--max-time", "60"] + mode
                listing = self.run_client(curl + [self.url])
                self.assertIn(b" awkward.bin", listing)
                self.assertEqual(self.run_client(curl + [self.url + "awkward.bin"]), AWKWARD)
                name = "curl-active" if mode else "curl-passive"
                self.run_client(curl + ["-T", source, self.url + name])
                self.assertEqual(self.read(name), AWKWARD)

    def test_lftp_mirrors_a_tree_down_and_back_up(self):
        rng = random.Random(7)
        tree = {
            "top.txt": b"top\r\n",
            "with space.bin": AWKWARD,
            "sub/empty": b"",
            "sub/deeper/random.bin": rng.randbytes(3 << 20),
            "sub/deeper/deepest/last.txt": b"last\n",
        }
        os.makedirs(self.path("tree", "sub", "deeper", "deepest"))
        os.makedirs(self.path("tree", "hollow"))
        for name, content in tree.items():
            self.write(os.path.join("tree", name), content)
        local = os.path.join(self.root, "mirrored")

        def lftp(passive, commands):
            setup = "set cmd:fail-exit yes; set net:max-retries 1; set net:timeout 30; " \
                    "set ftp:passive-mode %s; " % ("on" if passive else "off")
            self.run_client(["lftp", "-p", str(self.server.port), "-u", "alice,secret",
                             harness.LOOPBACK, "-e", setup + commands + "; quit"])

        lftp(True, "mirror tree '%s'" % local)
        lftp(False, "mirror --reverse --no-perms '%s' back" % local)
        for copy in (local, self.path("back")):
            for name, content in tree.items():
                with open(os.path.join(copy, name), "rb") as f:
                    self.assertEqual(f.read(), content, (copy, name))
            self.assertTrue(os.path.isdir(os.path.join(copy, "hollow")))
        compare = subprocess.run(["diff", "-r", self.path("tree"), self.path("back")],
                                 capture_output=True)
        self.assertEqual(compare.returncode, 0, compare.stdout)


class ModernClientsTest(ClientsTest):
    """The tests above with the modern commands on, and what they add."""
    features = MODERN

    def setUp(self):
        super().setUp()
        self.content = random.Random(13).randbytes((3 << 20) + 12345)
        self.local = os.path.join(self.root, "local")
        os.mkdir(self.local)

    def local_file(self, name, data):
        path = os.path.join(self.local, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_curl_resumes_a_cut_download_and_upload_over_epsv(self):
        self.write("big.bin", self.content)
        cut = self.local_file("big.bin", self.content[:1234567])
        curl = ["curl", "--silent", "--show-error", "--max-time", "60", "-v", "-C", "-"]
        result = subprocess.run(curl + ["-o", cut, self.url + "big.bin"], capture_output=True,
                                timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"229 Entering Extended Passive Mode", result.stderr)
        self.assertIn(b"REST 1234567", result.stderr)
        with open(cut, "rb") as f:
            self.assertEqual(f.read(), self.content)

        self.write("up.bin", self.content[:777777])
        whole = self.local_file("whole.bin", self.content)
        result = subprocess.run(curl + ["-T", whole, self.url + "up.bin"], capture_output=True,
                                timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"APPE up.bin", result.stderr)
        self.assertEqual(self.read("up.bin"), self.content)

    def test_lftp_continues_both_ways_and_mirrors_with_mlsd(self):
        self.write("big.bin", self.content)
        cut = self.local_file("big.bin", self.content[:2000000])
        self.write("up.bin", self.content[:500000])
        whole = self.local_file("whole.bin", self.content)
        os.makedirs(self.path("tree", "sub", "deeper"))
        tree = {"a.txt": b"a\r\n", "sub/b.bin": AWKWARD, "sub/deeper/c.bin": self.content,
                "sub/deeper/empty": b""}
        for name, content in tree.items():
            self.write(os.path.join("tree", name), content)
        mirrored = os.path.join(self.root, "mirrored")
        commands = ("set cmd:fail-exit yes; set net:max-retries 1; set net:timeout 30; "
                    "set ftp:use-mlsd true; debug -o '%s' 5; "
                    "get -c big.bin -o '%s'; put -c '%s' -o up.bin; mirror tree '%s'; quit"
                    % (os.path.join(self.root, "lftp.log"), cut, whole, mirrored))
        self.run_client(["lftp", "-p", str(self.server.port), "-u", "alice,secret",
                         harness.LOOPBACK, "-e", commands])
        with open(cut, "rb") as f:
            self.assertEqual(f.read(), self.content)
        self.assertEqual(self.read("up.bin"), self.content)
        for name, content in tree.items():
            with open(os.path.join(mirrored, name), "rb") as f:
                self.assertEqual(f.read(), content, name)
        with open(os.path.join(self.root, "lftp.log"), "rb") as f:
            log = f.read()
        self.assertIn(b"---> MLSD", log)
        self.assertIn(b"---> REST 2000000", log)
        self.assertIn(b"---> REST 500000", log)

    def test_ftplib_reads_mlsd_size_and_mdtm(self):
        os.mkdir(self.path("folder"))
        ftp = self.ftp(passive=True)
        entries = dict(ftp.mlsd())
        self.assertEqual(entries["awkward.bin"]["size"], str(len(AWKWARD)))
        self.assertEqual(entries["awkward.bin"]["perm"], "rwadf")
        self.assertEqual((entries["folder"]["type"], entries["."]["type"]), ("dir", "cdir"))
        status = os.stat(self.path("awkward.bin"))
        self.assertEqual(entries["awkward.bin"]["modify"],
                         time.strftime("%Y%m%d%H%M%S", time.gmtime(status.st_mtime)))
        # Asking for some facts selects them with OPTS MLST.
        chosen = dict(ftp.mlsd(facts=["type", "size"]))
        self.assertEqual(chosen["awkward.bin"], {"type": "file", "size": str(len(AWKWARD))})
        self.assertEqual(ftp.size("awkward.bin"), len(AWKWARD))
        self.assertEqual(ftp.sendcmd("MDTM awkward.bin"),
                         "213 " + entries["awkward.bin"]["modify"])


if __name__ == "__main__":
    unittest.main()
