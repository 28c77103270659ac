"""Port mapping in the network lab (netlab.py): with port_mapping = yes and
no hand-made forwards, the server asks the lab's router (miniupnpd) to
forward the control port and the passive range, by UPnP or, with UPnP
switched off in miniupnpd, by NAT-PMP. The internet client is then served
through them and told the router's external address; SIGTERM removes the
mappings. Without a router the failure is logged and the owner's network
is still served."""

import io
import unittest

from netlab import Mapping, NetLab
from test_data import AWKWARD
from test_internet import HomeServerTestCase, RecordingFTP

LOW, HIGH = 50000, 50099  # the range port mapping uses without passive_ports
# The owner's range where the whole default one is not needed: miniupnpd in
# the lab rewrites its rules for every mapping, up to half a second each.
OWN_LOW, OWN_HIGH = 50000, 50009
MAPPED_LINE = (r"Port mapping: (\d+) ports forwarded by ([\d.]+) \((UPnP|NAT-PMP)\), "
               r"external address ([\d.]+)$")


class PortMappingTest(HomeServerTestCase):

    lab_programs = ("miniupnpd", "upnpc")

    def serve(self, conf="port_mapping = yes\n"):
        return self.start_home_server(conf)

    def download(self, server, host, address):
        """Logs in from host, lists and downloads; the PASV addresses and
        ports given."""
        ftp = RecordingFTP()
        with host.inside():
            ftp.connect(address, server.port, timeout=15)
            try:
                ftp.login("alice", "secret")
                self.assertIn("awkward.bin", ftp.nlst())
                received = io.BytesIO()
                ftp.retrbinary("RETR awkward.bin", received.write)
                self.assertEqual(received.getvalue(), AWKWARD)
                ftp.quit()
            finally:
                ftp.close()
        return ftp.ports

    def expected_mappings(self, server, low, high):
        ports = [server.port] + [p for p in range(low, high + 1) if p != server.port]
        return sorted(Mapping("tcp", p, NetLab.HOME, p) for p in ports)

    def test_the_router_forwards_until_sigterm(self):
        # UPnP with the whole default range: SIGTERM's bounded wait must
        # still remove every one of its ports (one request for the range).
        cases = (("UPnP", True, "port_mapping = yes\n", LOW, HIGH),
                 ("NAT-PMP", False, "port_mapping = yes\npassive_ports = %d-%d\n"
                  % (OWN_LOW, OWN_HIGH), OWN_LOW, OWN_HIGH))
        for method, upnp, conf, low, high in cases:
            with self.subTest(method=method):
                self.lab.start_miniupnpd(upnp=upnp, natpmp=True)
                try:
                    server = self.serve(conf)
                    match = server.wait_for_line(MAPPED_LINE, timeout=240)
                    expected = self.expected_mappings(server, low, high)
                    self.assertEqual(match.groups(), (str(len(expected)), NetLab.ROUTER,
                                                      method, NetLab.PUBLIC))
                    self.assertEqual(self.lab.mappings(), expected)
                    for host, port in self.download(server, self.lab.internet, NetLab.PUBLIC):
                        self.assertEqual(host, NetLab.PUBLIC)
                        self.assertTrue(low <= port <= high, port)
                    # The owner's network keeps the local address.
                    for host, _ in self.download(server, self.lab.lan, NetLab.HOME):
                        self.assertEqual(host, NetLab.HOME)
                    self.assertEqual(server.stop(), 0)
                    # One request hands the whole range to the router, which
                    # works through it after the server has gone.
                    self.assertEqual(self.lab.drained_mappings(), [])
                finally:
                    self.lab.stop_miniupnpd()

    def test_ports_the_router_refuses_are_named_and_the_rest_kept(self):
        self.lab.start_miniupnpd(upnp=True, natpmp=False, refuse=(OWN_LOW + 5,))
        server = self.serve("port_mapping = yes\npassive_ports = %d-%d\n" % (OWN_LOW, OWN_HIGH))
        self.addCleanup(lambda: self.assertEqual(server.stop(), 0))
        match = server.wait_for_line(MAPPED_LINE, timeout=240)
        expected = [m for m in self.expected_mappings(server, OWN_LOW, OWN_HIGH)
                    if m.external_port != OWN_LOW + 5]
        self.assertEqual(match.group(1), str(len(expected)))
        server.wait_for_line(r"Port mapping failed: the router refused 1 of %d ports "
                             r"\(port %d: \S" % (len(expected) + 1, OWN_LOW + 5))
        self.assertEqual(self.lab.mappings(), expected)

    def test_without_a_router_the_failure_is_logged_and_the_lan_served(self):
        server = self.serve()
        self.addCleanup(lambda: self.assertEqual(server.stop(), 0))
        server.wait_for_line(r"Port mapping failed: no UPnP IGD found; \S", timeout=60)
        for host, port in self.download(server, self.lab.lan, NetLab.HOME):
            self.assertEqual(host, NetLab.HOME)
            self.assertTrue(LOW <= port <= HIGH, port)


if __name__ == "__main__":
    unittest.main()
