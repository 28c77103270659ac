"""The console's Stop with port mapping on, in the network lab (netlab.py):
runs the Qt Test port_mapping_console_test inside the lab's home host and
checks the router's rules while it runs: the control port and the passive
range forwarded once the console's server listens, none left after the
owner's Stop (removed as one range, which a version 2 IGD such as
miniupnpd offers), the console still up, and nothing left after it ends."""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from netlab import Mapping, NetLab

LOW, HIGH = 50000, 50009
CONSOLE_TEST = os.environ.get("TARNHOLD_CONSOLE_TEST", "")
WAIT = 240  # seconds: mapping asks a busy lab router once per port


class ConsoleStopTest(unittest.TestCase):

    def setUp(self):
        self.lab = NetLab.for_test(self, "miniupnpd", "upnpc")
        self.handshake = tempfile.mkdtemp(prefix="tarnhold-console-")
        self.addCleanup(shutil.rmtree, self.handshake, True)

    def heard(self, process, name):
        """Waits for the console test to leave the file `name`; its text."""
        path = os.path.join(self.handshake, name)
        deadline = time.monotonic() + WAIT
        while not os.path.exists(path):
            if process.poll() is not None:
                self.fail("the console test ended (%s) before %r" % (process.returncode, name))
            if time.monotonic() > deadline:
                self.fail("the console test did not reach %r" % name)
            time.sleep(0.1)
        with open(path, encoding="utf-8") as f:
            return f.read()

    def tell(self, name):
        open(os.path.join(self.handshake, name), "w").close()

    def test_stop_takes_the_forwardings_away(self):
        self.assertTrue(os.access(CONSOLE_TEST, os.X_OK), "TARNHOLD_CONSOLE_TEST: " + CONSOLE_TEST)
        self.lab.start_miniupnpd(upnp=True, natpmp=False)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", TARNHOLD_LAB_HANDSHAKE=self.handshake)
        process = self.lab.home.popen([CONSOLE_TEST], env=env)
        try:
            port, line = self.heard(process, "mapped").split("\n", 1)
            port = int(port)
            self.assertRegex(line, r"^Port mapping: 11 ports forwarded by %s \(UPnP\), "
                             r"external address %s$" % (re.escape(NetLab.ROUTER),
                                                         re.escape(NetLab.PUBLIC)))
            ports = [port] + [p for p in range(LOW, HIGH + 1) if p != port]
            self.assertEqual(self.lab.mappings(),
                             sorted(Mapping("tcp", p, NetLab.HOME, p) for p in ports))
            self.tell("stop")

            self.heard(process, "stopped")
            self.assertEqual(self.lab.drained_mappings(), [])
            # The range went in one request.
            self.assertTrue(any("DeletePortMappingRange: deleting external ports: %d-%d"
                                % (LOW, HIGH) in l for l in self.lab.miniupnpd_log)
                            or port in range(LOW, HIGH + 1), self.lab.miniupnpd_log[-20:])
            self.tell("checked")
            self.assertEqual(process.wait(timeout=WAIT), 0)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        self.assertEqual(self.lab.mappings(), [])


if __name__ == "__main__":
    unittest.main()
