"""Records what real FTP clients send, as seeds of the session fuzzer.

    python3 tests/engine/fuzz/record_seeds.py build/tarnhold tests/engine/fuzz/session_seeds

Starts the server with the account fuzz/fuzz on a tree shaped like the
fuzzer's, puts a recording relay in front of its control port, and runs
curl, lftp and ftplib through it, with the modern commands off and on.
Each client's command stream becomes one seed: a first byte with the
feature bits, then the bytes the client sent."""

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

    def __init__(self, server_port):
        self.server_port = server_port
        self.listener = socket.create_server((harness.LOOPBACK, 0))
        self.port = self.listener.getsockname()[1]
        self.sent = bytearray()
        threading.Thread(target=self._serve, daemon=True).start()

    def take(self):
        sent, self.sent = bytes(self.sent), bytearray()
        return sent

    def _serve(self):
        while True:
            client, _ = self.listener.accept()
            server = socket.create_connection((harness.LOOPBACK, self.server_port))
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


def sessions(relay_port, local):
    """(name, function) of each client run through the relay."""
    url = "ftp://fuzz:fuzz@%s:%d/" % (harness.LOOPBACK, relay_port)
    cut = os.path.join(local, "cut.bin")

    def curl():
        with open(cut, "wb") as f:
            f.write(b"b" * 1000)
        run = ["curl", "--silent", "--max-time", "20"]
        subprocess.run(run + [url], capture_output=True)
        subprocess.run(run + ["-C", "-", "-o", cut, url + "big.bin"], capture_output=True)
        subprocess.run(run + ["-T", cut, url + "sub/up.bin"], capture_output=True)
        subprocess.run(run + ["-C", "-", "-T", cut, url + "a.txt"], capture_output=True)
        subprocess.run(run + ["-P", harness.LOOPBACK, url + "a.txt"], capture_output=True)

    def lftp():
        commands = ("set net:max-retries 1; set net:timeout 10; set ftp:use-mlsd true; "
                    "ls; cd sub; get -c b.txt -o '%s/b.txt'; cd ..; put -c '%s' -o up.bin; "
                    "mirror sub '%s/mirror'; mkdir made; mv up.bin made/moved; rm made/moved; "
                    "rmdir made; quit" % (local, cut, local))
        subprocess.run(["lftp", "-p", str(relay_port), "-u", "fuzz,fuzz", harness.LOOPBACK,
                        "-e", commands], capture_output=True, timeout=60)

    def python_ftplib():
        ftp = ftplib.FTP()
        ftp.connect(harness.LOOPBACK, relay_port, timeout=10)
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


def main(executable, out):
    os.makedirs(out, exist_ok=True)
    for features in (0, harness.MODERN):
        root = tempfile.mkdtemp(prefix="tarnhold-seeds-")
        try:
            home = os.path.join(root, "home")
            local = os.path.join(root, "local")
            os.mkdir(local)
            make_tree(home)
            sections = test_data.account("Fuzz", "fuzz", "fuzz", home, [(home, harness.ALL)])
            server = harness.ServerProcess(executable, harness.HEADLESS, files={
                "tarnhold.bot": lambda port: harness.settings_file(port, sections=sections,
                                                                   features=features)})
            server.start()
            try:
                relay = Relay(server.port)
                for name, run in sessions(relay.port, local):
                    run()
                    seed = bytes([features]) + relay.take()
                    with open(os.path.join(out, "%s-features-%d" % (name, features)), "wb") as f:
                        f.write(seed)
            finally:
                server.cleanup()
        finally:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
