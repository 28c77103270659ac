"""A real FTP client (ftplib) that a GUI test drives line by line.

    python3 ftp_driver.py PORT [HOST]      (HOST: 127.0.0.1 unless given, ::1 too)

Reads one command a line from standard input and answers each with one
line, "ok ..." or "error ...":

    connect               connect and read the greeting, without logging in
    login USER PASS       connect when needed, then log in
    tlslogin USER PASS    connect with AUTH TLS (any certificate), then log in
    retr NAME             download NAME whole (passive); ok <bytes>
    startretr NAME RATE   start downloading NAME in the background, reading
                          about RATE bytes a second; ok at once
    fast                  let the background download read at full speed
    waitretr              wait for the background download; ok <bytes>
    noop                  NOOP; ok <reply>
    cmd VERB [ARG]        any command; ok <reply> or error <reply>
    nlst                  NLST (passive); ok <names, comma-separated>
    stor NAME             upload a few bytes as NAME (passive)
    closed                wait until the server closes the control
                          connection; ok <last reply>
    quit                  QUIT and close
Every wait is bounded, so a test never hangs on this client.
"""

import ftplib
import io
import ssl
import sys
import threading
import time

TIMEOUT = 60


class Driver:
    def __init__(self, port, host="127.0.0.1"):
        self.port = port
        self.host = host
        self.ftp = None
        self.download = None
        self.rate = None
        self.received = 0

    def connect(self):
        if self.ftp is None:
            self.ftp = ftplib.FTP(timeout=TIMEOUT)
            self.ftp.connect(self.host, self.port)
        return "ok connected"

    def login(self, user, password):
        self.connect()
        self.ftp.login(user, password)
        return "ok logged in"

    def tlslogin(self, user, password):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        self.ftp = ftplib.FTP_TLS(context=context, timeout=TIMEOUT)
        self.ftp.connect(self.host, self.port)
        self.ftp.login(user, password)  # AUTH TLS first
        return "ok logged in"

    def retr(self, name):
        got = []
        self.ftp.retrbinary("RETR " + name, got.append)
        return "ok %d" % sum(len(b) for b in got)

    def startretr(self, name, rate):
        self.rate = int(rate)
        self.received = 0
        connection = self.ftp.transfercmd("RETR " + name)

        def read():
            with connection:
                while True:
                    started = time.monotonic()
                    chunk = connection.recv(65536)
                    if not chunk:
                        break
                    self.received += len(chunk)
                    rate = self.rate
                    if rate:
                        time.sleep(max(0.0, len(chunk) / rate - (time.monotonic() - started)))
            self.ftp.voidresp()

        self.download = threading.Thread(target=read, daemon=True)
        self.download.start()
        return "ok started"

    def fast(self):
        self.rate = None
        return "ok fast"

    def waitretr(self):
        self.download.join(TIMEOUT)
        if self.download.is_alive():
            return "error download still running"
        return "ok %d" % self.received

    def noop(self):
        return "ok " + self.ftp.voidcmd("NOOP")

    def cmd(self, *words):
        return "ok " + self.ftp.sendcmd(" ".join(words))

    def nlst(self):
        return "ok " + ",".join(self.ftp.nlst())

    def stor(self, name):
        return "ok " + self.ftp.storbinary("STOR " + name, io.BytesIO(b"uploaded"))

    def closed(self):
        last = ""
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            line = self.ftp.file.readline()
            if not line:
                return "ok " + last
            last = line.strip()
        return "error still open"

    def quit(self):
        self.ftp.quit()
        self.ftp = None
        return "ok bye"


def main():
    driver = Driver(int(sys.argv[1]), *sys.argv[2:3])
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        try:
            answer = getattr(driver, words[0])(*words[1:])
        except Exception as error:  # every failure is an answer, never an end
            answer = "error %s" % str(error).replace("\n", " ")
        # One line per answer, whatever the reply held.
        print(answer.replace("\r", "").replace("\n", " "), flush=True)


if __name__ == "__main__":
    main()
