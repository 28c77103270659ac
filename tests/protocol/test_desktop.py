"""The tarnhold executable as a desktop program (on Qt's offscreen platform,
so no display is needed): it serves like the headless one, and SIGTERM runs
the Exit command even while sessions keep reporting to the window."""

import ftplib
import os
import tempfile
import shutil
import threading
import unittest

import harness

# A display is named, so the program opens its window, but Qt draws
# offscreen.
DESKTOP_ENV = {"DISPLAY": ":98", "QT_QPA_PLATFORM": "offscreen"}


def anonymous_settings(port, home):
    options = [port, 0, "f4240", "f4240", 100, 0, 1, 0, 300]
    anonymous = ["Public FTP Account", "", "", home, "", 0, "f4240", "f4240", 300, 10, 1, 0, 0, 0, 0]
    lines = ["SRVROPT" + harness.MARK] + [str(v) for v in options]
    lines += ["ANONACCT" + harness.MARK] + [str(v) for v in anonymous]
    lines += ["ANONACCPATH" + harness.MARK, home, "%x" % harness.ALL, "0"]
    return "\r\n".join(lines) + "\r\nBLKLIST" + harness.MARK + "\r\n"


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


if __name__ == "__main__":
    unittest.main()
