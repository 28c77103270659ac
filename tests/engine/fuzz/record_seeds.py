"""Records what real FTP clients send, as seeds of the session fuzzer.

    python3 tests/engine/fuzz/record_seeds.py build/tarnhold tests/engine/fuzz/session_seeds [--ipv6-only]

Starts the server with the account fuzz/fuzz on a tree shaped like the
fuzzer's, puts a recording relay in front of its control port, and runs
curl, lftp and ftplib through it, with the modern commands off and on, over
127.0.0.1 and again over ::1 (ipv6 = yes; where the machine has IPv6).
Each client's command stream becomes one seed: a first byte with the
feature bits (0x2 added for ::1, as session_fuzz reads it), then the bytes
the client sent."""

import ftplib
import io
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "protocol"))
import harness  # noqa: E402
import test_data  # noqa: E402


class Relay:
    """Forwards one control connection at a time to the server and keeps
    every byte the client sent."""

    def __init__(self, server_port, host=harness.LOOPBACK):
        self.server_port = server_port
        self.host = host
        self.listener = socket.create_server((host, 0),
                                             family=socket.AF_INET6 if ":" in host else socket.AF_INET)
        self.port = self.listener.getsockname()[1]
        self.sent = bytearray()
        threading.Thread(target=self._serve, daemon=True).start()

    def take(self):
        sent, self.sent = bytes(self.sent), bytearray()
        return sent

    def _serve(self):
        while True:
            client, _ = self.listener.accept()
            server = socket.create_connection((self.host, self.server_port))
            threading.Thread(target=self._pump, args=(client, server, True), daemon=True).start()
            threading.Thread(target=self._pump, args=(server, client, False), daemon=True).start()

    def _pump(self, source, target, record):
        try:
            while True:
                chunk = source.recv(65536)
                if not chunk:
                    break
                if record:
                    self.sent += chunk
                target.sendall(chunk)
        except OSError:
            pass
        for sock in (source, target):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def make_tree(home):
    os.makedirs(os.path.join(home, "sub", "deeper"))
    os.makedirs(os.path.join(home, "readonly"))
    for name, data in (("a.txt", b"alpha\r\nbeta\r\n"), ("empty", b""), ("big.bin", b"b" * 70000),
                       ("sub/b.txt", b"in sub"), ("readonly/kept", b"kept")):
        with open(os.path.join(home, name), "wb") as f:
            f.write(data)


def sessions(relay_port, local, host=harness.LOOPBACK):
    """(name, function) of each client run through the relay on host."""
    url = "ftp://fuzz:fuzz@%s:%d/" % ("[%s]" % host if ":" in host else host, relay_port)
    cut = os.path.join(local, "cut.bin")

    def curl():
        with open(cut, "wb") as f:
            f.write(b"b" * 1000)
        run = ["curl", "-g", "--silent", "--max-time", "20"]
        subprocess.run(run + [url], capture_output=True)
        subprocess.run(run + ["-C", "-", "-o", cut, url + "big.bin"], capture_output=True)
        subprocess.run(run + ["-T", cut, url + "sub/up.bin"], capture_output=True)
        subprocess.run(run + ["-C", "-", "-T", cut, url + "a.txt"], capture_output=True)
        subprocess.run(run + ["-P", host, url + "a.txt"], capture_output=True)

    def lftp():
        commands = ("set net:max-retries 1; set net:timeout 10; set ftp:use-mlsd true; "
                    "ls; cd sub; get -c b.txt -o '%s/b.txt'; cd ..; put -c '%s' -o up.bin; "
                    "mirror sub '%s/mirror'; mkdir made; mv up.bin made/moved; rm made/moved; "
                    "rmdir made; quit" % (local, cut, local))
        subprocess.run(["lftp", "-p", str(relay_port), "-u", "fuzz,fuzz", host,
                        "-e", commands], capture_output=True, timeout=60)

    def python_ftplib():
        ftp = ftplib.FTP()
        ftp.connect(host, relay_port, timeout=10)
        ftp.login("fuzz", "fuzz")
        for passive in (True, False):
            ftp.set_pasv(passive)
            try:
                ftp.nlst()
                ftp.dir(lambda line: None)
                ftp.retrbinary("RETR a.txt", lambda data: None, rest=3)
                ftp.storbinary("STOR new.txt", io.BytesIO(b"new"))
                list(ftp.mlsd("sub", facts=["type", "size"]))
                ftp.size("big.bin")
                ftp.sendcmd("MDTM a.txt")
                ftp.sendcmd("MLST sub")
            except ftplib.all_errors:
                pass
        ftp.cwd("sub")
        ftp.pwd()
        ftp.quit()

    return [("curl", curl), ("lftp", lftp), ("ftplib", python_ftplib)]


def has_loopback6():
    try:
        with socket.socket(socket.AF_INET6) as sock:
            sock.bind(("::1", 0))
        return True
    except OSError:
        return False


def main(executable, out, ipv6_only=False):
    os.makedirs(out, exist_ok=True)
    hosts = ([] if ipv6_only else [harness.LOOPBACK]) + (["::1"] if has_loopback6() else [])
    for host, features in [(h, f) for h in hosts for f in (0, harness.MODERN)]:
        ipv6 = ":" in host
        root = tempfile.mkdtemp(prefix="tarnhold-seeds-")
        try:
            home = os.path.join(root, "home")
            local = os.path.join(root, "local")
            os.mkdir(local)
            make_tree(home)
            sections = test_data.account("Fuzz", "fuzz", "fuzz", home, [(home, harness.ALL)])
            server = harness.ServerProcess(executable, harness.HEADLESS, files={
                "tarnhold.bot": lambda port: harness.settings_file(port, sections=sections,
                                                                   features=features),
                "tarnhold.conf": "ipv6 = yes\n" if ipv6 else ""})
            server.start()
            try:
                relay = Relay(server.port, host)
                for name, run in sessions(relay.port, local, host):
                    run()
                    seed = bytes([features | (0x2 if ipv6 else 0)]) + relay.take()
                    seed_name = "%s-%sfeatures-%d" % (name, "ipv6-" if ipv6 else "", features)
                    with open(os.path.join(out, seed_name), "wb") as f:
                        f.write(seed)
            finally:
                server.cleanup()
        finally:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], "--ipv6-only" in sys.argv[3:])
