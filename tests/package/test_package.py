"""The Debian package as scripts/package.sh makes it: built with cpack from
this build tree into a folder of the test's own, its control fields and
contents, lintian's verdict, and the unpacked program run from a scratch
root (version, help with its data folder, a headless session), with
systemd-analyze verifying the unit as installed there."""

import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import harness
from harness import HEADLESS

BUILD = os.environ["TARNHOLD_BUILD_DIR"]
VERSION = os.environ["TARNHOLD_VERSION"]

# Every file the package must hold.
FILES = {
    "usr/bin/tarnhold",
    "usr/lib/tarnhold/tarnhold-desktop.so",
    "usr/lib/tarnhold/tarnhold-tls.so",
    "usr/lib/systemd/system/tarnhold.service",
    "usr/share/applications/tarnhold.desktop",
    "usr/share/icons/hicolor/scalable/apps/tarnhold.svg",
    "usr/share/man/man1/tarnhold.1.gz",
    "usr/share/doc/tarnhold/copyright",
    "usr/share/doc/tarnhold/changelog.gz",
    "usr/share/tarnhold/tarnhold.hlp",
    "usr/share/tarnhold/screenshots/main-window.png",
    "usr/share/tarnhold/screenshots/account-manager.png",
    "usr/share/tarnhold/screenshots/options.png",
    "usr/share/tarnhold/screenshots/network-options.png",
    "usr/share/tarnhold/screenshots/about.png",
}


def run(*args, **kwargs):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=240, **kwargs)


class PackageTest(harness.ServerTestCase):

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="tarnhold-package-")
        done = run("cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                   "-B", cls.work)
        if done.returncode != 0:
            raise AssertionError("cpack failed:\n" + done.stdout + done.stderr)
        arch = run("dpkg", "--print-architecture").stdout.strip()
        cls.deb = os.path.join(cls.work, "tarnhold_%s_%s.deb" % (VERSION, arch))
        cls.root = os.path.join(cls.work, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def field(self, name):
        return run("dpkg-deb", "-f", self.deb, name).stdout.strip()

    def test_control_fields_and_computed_dependencies(self):
        self.assertEqual(self.field("Package"), "tarnhold")
        self.assertEqual(self.field("Version"), VERSION)
        depends = [d.strip().split(" ")[0] for d in self.field("Depends").split(",")]
        # dpkg-shlibdeps found the libraries the executable and its modules
        # link; adduser (postinst) and the SVG plugin (loaded at run time)
        # are named.
        for package in ("libc6", "libstdc++6", "libqt6widgets6", "libssl3", "libsodium23",
                        "adduser", "libqt6svg6"):
            self.assertIn(package, depends)

    def test_contents_and_lintian(self):
        listing = run("dpkg-deb", "-c", self.deb).stdout.splitlines()
        files = {line.split()[-1].lstrip("./") for line in listing if not line.startswith("d")}
        self.assertEqual(files, FILES)
        for line in listing:
            self.assertIn(" root/root ", line)
        done = run("lintian", "--fail-on", "error,warning", self.deb)
        tags = [line for line in done.stdout.splitlines() if re.match(r"^[EW]: ", line)]
        self.assertEqual((done.returncode, tags), (0, []), done.stdout + done.stderr)

    def test_copyright_file_is_machine_readable_and_names_apache_2(self):
        with open(os.path.join(self.root, "usr/share/doc/tarnhold/copyright")) as f:
            text = f.read()
        self.assertEqual(text.splitlines()[0],
                         "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/")
        # Paragraphs of "Field: value" lines; a field's value is its lines,
        # continuation lines indented.
        paragraphs = []
        for block in text.strip("\n").split("\n\n"):
            fields = {}
            for line in block.splitlines():
                if line[:1] in (" ", "\t"):
                    fields[name].append(line.strip())
                else:
                    name, value = line.split(":", 1)
                    fields[name] = [value.strip()]
            paragraphs.append(fields)
        files = {p["Files"][0]: p["License"][0] for p in paragraphs if "Files" in p}
        licences = {p["License"][0]: " ".join(p["License"][1:]) for p in paragraphs
                    if "Files" not in p and "License" in p}
        self.assertEqual(files["*"], "Apache-2.0")
        # Every licence a Files paragraph names has a paragraph of its own.
        self.assertLessEqual(set(files.values()), licences.keys())
        self.assertIn('"/usr/share/common-licenses/Apache-2.0"', licences["Apache-2.0"])

    def test_desktop_entry(self):
        with open(os.path.join(self.root, "usr/share/applications/tarnhold.desktop")) as f:
            entry = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        self.assertEqual((entry["Name"], entry["Exec"], entry["Icon"], entry["Categories"]),
                         ("Tarnwell Server", "tarnhold", "tarnhold", "Network;"))

    def test_the_unpacked_program_runs_and_finds_its_data_folder(self):
        program = os.path.join(self.root, "usr/bin/tarnhold")
        self.assertEqual(run(program, "--version").stdout, "tarnhold %s\n" % VERSION)
        manual = os.path.join(self.root, "usr/share/tarnhold/tarnhold.hlp")
        shown = run(program, "--help")
        self.assertEqual(shown.returncode, 0)
        self.assertIn("Help manual: %s\n" % manual, shown.stdout)
        self.assertIn("account password NAME", shown.stdout)

        server = self.start_server(HEADLESS, executable=program,
                                   files={"tarnhold.bot": lambda port: harness.settings_file(port)})
        server.wait_for_line(r"Listening for connections on port %d$" % server.port)
        client = self.connect(server.port)
        self.assertEqual(client.recv_until(), b"220 Connected to Tarnwell Server\r\n")
        client.send(b"QUIT\r\n")
        self.assertEqual(client.recv_until(), b"221 Goodbye\r\n")
        self.assertEqual(server.stop(), 0)

    def test_the_unpacked_program_finds_its_desktop_module(self):
        program = os.path.join(self.root, "usr/bin/tarnhold")
        server = self.start_server(["--config-dir", "{config_dir}"], executable=program,
                                   env={"DISPLAY": ":98", "QT_QPA_PLATFORM": "offscreen"},
                                   files={"tarnhold.bot": lambda port: harness.settings_file(port)})
        client = self.connect(server.port)
        self.assertEqual(client.recv_until(), b"220 Connected to Tarnwell Server\r\n")
        client.close()
        self.assertEqual(server.stop(), 0)

    def test_the_unpacked_program_finds_its_tls_module(self):
        program = os.path.join(self.root, "usr/bin/tarnhold")
        settings = lambda port: harness.settings_file(port, features=0x2)
        server = self.start_server(HEADLESS, executable=program, files={"tarnhold.bot": settings})
        server.wait_for_line(r"Listening for connections on port %d$" % server.port)
        client = self.connect(server.port)
        self.assertEqual(client.recv_until(), b"220 Connected to Tarnwell Server\r\n")
        client.send(b"AUTH TLS\r\n")
        self.assertEqual(client.recv_until(), b"234 AUTH TLS successful\r\n")
        client.close()
        self.assertEqual(server.stop(), 0)

    def test_the_installed_unit_verifies_clean(self):
        unit = os.path.join(self.root, "usr/lib/systemd/system/tarnhold.service")
        with open(unit) as f:
            text = f.read()
        self.assertIn("ExecStart=/usr/bin/tarnhold --headless --config-dir /var/lib/tarnhold\n", text)
        # The scratch root borrows this machine's units (targets, sockets)
        # that the unit's dependencies name.
        shutil.copytree("/lib/systemd/system", os.path.join(self.root, "lib/systemd/system"),
                        symlinks=True, dirs_exist_ok=True)
        env = dict(os.environ, MANPATH=os.path.join(self.root, "usr/share/man"))
        done = run("systemd-analyze", "verify", "--root=" + self.root, unit, env=env)
        self.assertEqual((done.returncode, done.stdout + done.stderr), (0, ""))

    def test_manual_page_renders_without_warnings(self):
        page = os.path.join(self.root, "usr/share/man/man1/tarnhold.1.gz")
        with gzip.open(page, "rt") as f:
            text = f.read()
        self.assertIn(".SH ADMINISTRATION", text)
        self.assertIn("Apache License, Version 2.0", text)
        done = run("man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", page)
        self.assertEqual((done.returncode, done.stderr), (0, ""))


if __name__ == "__main__":
    unittest.main()
