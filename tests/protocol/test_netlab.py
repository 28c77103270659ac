"""The network lab itself (netlab.py): the router forwards only the ports
it is told to, by hand or by its UPnP IGD or NAT-PMP service, masquerades
the home network, keeps the home network out of the internet's reach, and
everything the lab made is gone after it, also when the test fails. And
the real server runs in the home namespace through the harness."""

import os
import subprocess
import unittest

import harness
import netlab
from netlab import NetLab

PORT = 5555
GREETING = b"220 Connected to Tarnwell Server\r\n"


class NetLabTestCase(unittest.TestCase):

    def lab(self, *programs):
        return NetLab.for_test(self, *programs)

    def assert_reaches(self, client_host, address, port, listener, peer):
        """A connection from client_host to address:port arrives at the
        listener, from peer's address, and carries bytes both ways."""
        client = client_host.client(address, port)
        conn, source = listener.accept()
        self.addCleanup(conn.close)
        self.assertEqual(source[0], peer)
        client.send(b"ping\n")
        self.assertEqual(conn.recv(5), b"ping\n")
        conn.sendall(b"pong\n")
        self.assertEqual(client.recv_until(b"\n"), b"pong\n")
        client.close()

    def assert_refused(self, client_host, address, port):
        with self.assertRaises(ConnectionRefusedError):
            client_host.client(address, port)


class RouterTest(NetLabTestCase):

    def test_internet_reaches_home_only_through_forwarded_ports(self):
        lab = self.lab()
        listener = lab.home.listen(PORT)
        self.assert_refused(lab.internet, lab.PUBLIC, PORT)
        with self.assertRaises(OSError) as raised:
            lab.internet.client(lab.HOME, PORT)
        self.assertEqual(raised.exception.strerror, "Network is unreachable")

        handle = lab.forward(PORT)
        # The server sees the internet client's own address: the router
        # only changes the destination.
        self.assert_reaches(lab.internet, lab.PUBLIC, PORT, listener, lab.INTERNET)
        lab.unforward(handle)
        self.assert_refused(lab.internet, lab.PUBLIC, PORT)

    def test_forwarded_range_and_other_port(self):
        lab = self.lab()
        lab.forward((6000, 6002))
        lab.forward(2121, to_port=PORT)
        for public_port, home_port in [(6000, 6000), (6002, 6002), (2121, PORT)]:
            with self.subTest(public_port=public_port):
                listener = lab.home.listen(home_port)
                self.assert_reaches(lab.internet, lab.PUBLIC, public_port, listener,
                                    lab.INTERNET)
                listener.close()
        self.assert_refused(lab.internet, lab.PUBLIC, 6003)

    def test_home_network_goes_out_masqueraded_and_reaches_itself_directly(self):
        lab = self.lab()
        outside = lab.internet.listen(8080)
        for host in (lab.home, lab.lan):
            with self.subTest(host=host.role):
                self.assert_reaches(host, lab.INTERNET, 8080, outside, lab.PUBLIC)
        inside = lab.home.listen(PORT)
        self.assert_reaches(lab.lan, lab.HOME, PORT, inside, lab.LAN)


class MiniupnpdTest(NetLabTestCase):

    def test_upnp_mapping_appears_forwards_and_disappears(self):
        lab = self.lab("miniupnpd", "upnpc")
        lab.start_miniupnpd(upnp=True, natpmp=False)
        listener = lab.home.listen(PORT)
        # -i: miniupnpc calls an IGD whose external address is reserved
        # "not connected" (203.0.113.1 is a documentation address).
        upnpc = ["upnpc", "-i"]
        added = lab.home.run(upnpc + ["-a", lab.HOME, str(PORT), str(PORT), "TCP"])
        self.assertIn("ExternalIPAddress = %s" % lab.PUBLIC, added.stdout)
        self.assertIn("is redirected to internal %s:%d" % (lab.HOME, PORT), added.stdout,
                      added.stdout + added.stderr)
        self.assertEqual(lab.mappings(), [netlab.Mapping("tcp", PORT, lab.HOME, PORT)])
        self.assert_reaches(lab.internet, lab.PUBLIC, PORT, listener, lab.INTERNET)

        # Found by discovery above; named directly here (discovery takes seconds).
        deleted = lab.home.run(upnpc + ["-u", lab.igd_url, "-d", str(PORT), "TCP"])
        self.assertIn("UPNP_DeletePortMapping() returned : 0", deleted.stdout,
                      deleted.stdout + deleted.stderr)
        self.assertEqual(lab.mappings(), [])
        self.assertNotIn("dport %d" % PORT, lab.ruleset())
        self.assert_refused(lab.internet, lab.PUBLIC, PORT)

    def test_natpmp_mapping_appears_forwards_and_disappears(self):
        lab = self.lab("miniupnpd", "natpmpc")
        lab.start_miniupnpd(upnp=False, natpmp=True)
        listener = lab.home.listen(PORT)
        natpmpc = ["natpmpc", "-g", lab.ROUTER]
        self.assertIn("Public IP address : %s" % lab.PUBLIC, lab.home.run(natpmpc).stdout)
        added = lab.home.run(natpmpc + ["-a", str(PORT), str(PORT), "tcp", "3600"])
        self.assertIn("Mapped public port %d protocol TCP to local port %d" % (PORT, PORT),
                      added.stdout, added.stdout + added.stderr)
        self.assertEqual(lab.mappings(), [netlab.Mapping("tcp", PORT, lab.HOME, PORT)])
        self.assert_reaches(lab.internet, lab.PUBLIC, PORT, listener, lab.INTERNET)

        # A lifetime of 0 removes the mapping.
        lab.home.run(natpmpc + ["-a", str(PORT), str(PORT), "tcp", "0"], check=True)
        self.assertEqual(lab.mappings(), [])
        self.assert_refused(lab.internet, lab.PUBLIC, PORT)
        # UPnP is off: the router serves no UPnP description (no TCP port).
        self.assertEqual(lab.router.run(["ss", "-Hltn"]).stdout, "")
        self.assertIsNone(lab.igd_url)


class TeardownTest(NetLabTestCase):

    def skip_unless_available(self, *programs):
        reason = NetLab.available(*programs)
        if reason:
            self.skipTest(reason)

    def test_nothing_is_left_after_a_failing_test(self):
        self.skip_unless_available("miniupnpd")
        with self.assertRaises(ZeroDivisionError):
            with NetLab() as lab:
                lab.forward(PORT)
                lab.start_miniupnpd()
                sleeper = lab.home.popen(["sleep", "600"])
                names = [host.netns for host in lab.hosts]
                1 / 0
        self.assertIsNotNone(sleeper.poll())
        self.assertFalse(os.path.exists(lab.dir))
        self.assertEqual([n for n in netlab._lab_namespaces() if n in names], [])
        listed = subprocess.run(["ip", "netns", "list"], capture_output=True,
                                text=True).stdout
        for name in names:
            self.assertNotIn(name, listed)
        lab.close()  # a second close does nothing

    def test_a_namespace_left_behind_fails_the_close(self):
        self.skip_unless_available()
        lab = NetLab()
        self.addCleanup(subprocess.run, ["ip", "netns", "del", lab.tag + "-extra"])
        subprocess.run(["ip", "netns", "add", lab.tag + "-extra"], check=True)
        with self.assertRaisesRegex(AssertionError, "left behind: " + lab.tag + "-extra"):
            lab.close()


class ServerInHomeTest(NetLabTestCase, harness.ServerTestCase):

    def test_lan_client_gets_the_greeting_of_the_server_at_home(self):
        lab = self.lab()
        server = self.start_server(harness.HEADLESS, netns=lab.home.netns,
                                   files={"tarnhold.bot": harness.settings_file})
        # Nothing listens on the test's own side: only the home namespace serves.
        self.assertFalse(harness.port_is_listening(server.port))
        client = lab.lan.client(lab.HOME, server.port)
        self.assertEqual(client.recv_until(), GREETING)
        client.close()
        self.assertEqual(server.stop(), 0)


if __name__ == "__main__":
    unittest.main()
