"""The tarnhold executable as a desktop program (on Qt's offscreen platform,
so no display is needed): it serves like the headless one, and SIGTERM runs
the Exit command even while sessions keep reporting to the window."""

import ftplib
import os
import subprocess
import tempfile
import shutil
import threading
import unittest

import harness

# A display is named, so the program opens its window, but Qt draws
# offscreen.
DESKTOP_ENV = {"DISPLAY": ":98", "QT_QPA_PLATFORM": "offscreen"}


anonymous_settings = harness.anonymous_settings_file


class DesktopTest(harness.ServerTestCase):

    def test_sigterm_with_busy_sessions_exits_and_saves(self):
        home = tempfile.mkdtemp(prefix="tarnhold-home-")
        self.addCleanup(shutil.rmtree, home, True)
        with open(os.path.join(home, "file.txt"), "wb") as f:
            f.write(b"x" * 100000)
        server = self.start_server(["--config-dir", "{config_dir}"], env=DESKTOP_ENV,
                                   files={"tarnhold.bot": lambda port: anonymous_settings(port, home)})
        stop = threading.Event()
        served = []

        def busy():
            # Every download sends two state changes to the window.
            try:
                ftp = ftplib.FTP()
                ftp.connect(harness.LOOPBACK, server.port, timeout=30)
                ftp.login("anonymous", "me@example.org")
                while not stop.is_set():
                    ftp.retrbinary("RETR file.txt", lambda b: None)
                    served.append(1)
            except (OSError, EOFError, ftplib.Error):
                pass  # the server ends the session at exit

        sessions = [threading.Thread(target=busy) for _ in range(4)]
        for s in sessions:
            s.start()
        deadline = 200
        while len(served) < 20 and deadline:
            threading.Event().wait(0.05)
            deadline -= 1
        self.assertGreaterEqual(len(served), 20)
        os.remove(os.path.join(server.config_dir, "tarnhold.bot"))
        self.assertEqual(server.stop(timeout=60), 0)
        stop.set()
        for s in sessions:
            s.join(30)
        self.assertTrue(os.path.exists(os.path.join(server.config_dir, "tarnhold.bot")))
        self.assertFalse(harness.port_is_listening(server.port))

    def test_only_the_desktop_maps_qt(self):
        # The console lives in a module beside the executable, loaded only
        # with a display: a headless server carries none of Qt's memory.
        def maps_qt(server):
            with open("/proc/%d/maps" % server.process.pid) as f:
                return "libQt6Widgets" in f.read()

        settings = {"tarnhold.bot": lambda port: harness.settings_file(port)}
        headless = self.start_server(harness.HEADLESS, files=settings)
        self.assertFalse(maps_qt(headless))
        desktop = self.start_server(["--config-dir", "{config_dir}"], env=DESKTOP_ENV, files=settings)
        self.assertTrue(maps_qt(desktop))
        self.assertEqual(desktop.stop(timeout=60), 0)
        self.assertEqual(headless.stop(), 0)

    def test_a_missing_module_is_reported_and_headless_still_runs(self):
        alone = tempfile.mkdtemp(prefix="tarnhold-alone-")
        self.addCleanup(shutil.rmtree, alone, True)
        program = os.path.join(alone, "tarnhold")
        shutil.copy(self.executable or os.environ["TARNHOLD_SERVER"], program)
        config = os.path.join(alone, "config")
        os.mkdir(config)
        done = subprocess.run([program, "--config-dir", config], capture_output=True, text=True,
                              timeout=60, env=dict(os.environ, **DESKTOP_ENV))
        self.assertEqual(done.returncode, 1)
        self.assertIn("cannot load the desktop console %s/tarnhold-desktop.so" % alone, done.stderr)
        self.assertIn("--headless runs the server without it", done.stderr)
        server = self.start_server(harness.HEADLESS, executable=program,
                                   files={"tarnhold.bot": lambda port: harness.settings_file(port)})
        self.assertEqual(server.stop(), 0)


if __name__ == "__main__":
    unittest.main()
