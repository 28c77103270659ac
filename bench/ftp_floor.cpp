// The loopback floor of the small-file rows: the least a server can do for
// a client that logs in and fetches files one by one over PASV or EPSV.
// One session at a time on a thread of its own, blocking calls, canned
// replies, no access checks (a name is only kept inside the folder): what is
// left of a row's time against it is the client's and the kernel's. Not an
// FTP server; it serves the benchmark's folder on loopback only.
//     ftp_floor PORT FOLDER
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

bool SendAll(int fd, const char* data, std::size_t count) {
    while (count > 0) {
        const ssize_t sent = send(fd, data, count, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        count -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool Reply(int fd, const std::string& text) { return SendAll(fd, text.data(), text.size()); }

int ListenOn(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Data ports in turn from a range, as tarnhold takes them: a bind to a port
// of the kernel's choosing searches the range that the client's own ports
// and thousands of closed connections fill, and costs more the longer a
// benchmark runs.
constexpr int kLowestDataPort = 10000;
constexpr int kHighestDataPort = 32000;
int nextDataPort = kLowestDataPort + getpid() % (kHighestDataPort - kLowestDataPort);

int ListenForData(int& port) {
    for (int tries = 0; tries <= kHighestDataPort - kLowestDataPort; ++tries) {
        port = nextDataPort;
        nextDataPort = port == kHighestDataPort ? kLowestDataPort : port + 1;
        const int fd = ListenOn(port);
        if (fd >= 0) return fd;
    }
    return -1;
}

// Reads one command line into `line`, without its line end; false at the end.
bool ReadLine(int fd, std::string& pending, std::string& line) {
    for (;;) {
        const std::size_t end = pending.find("\r\n");
        if (end != std::string::npos) {
            line.assign(pending, 0, end);
            pending.erase(0, end + 2);
            return true;
        }
        // A line longer than any command ends the session.
        if (pending.size() > 4096) return false;
        char buffer[1024];
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) return false;
        pending.append(buffer, static_cast<std::size_t>(got));
    }
}

// The file read and sent whole over an accepted data connection.
bool SendFile(int listener, const std::string& path) {
    const int data = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (data < 0) return false;
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = file >= 0;
    static char buffer[256 * 1024];
    while (ok) {
        const ssize_t got = read(file, buffer, sizeof buffer);
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        ok = SendAll(data, buffer, static_cast<std::size_t>(got));
    }
    if (file >= 0) close(file);
    close(data);
    return ok;
}

void Serve(int control, const std::string& root) {
    std::string pending, line, folder = root;
    int listener = -1;
    bool open = Reply(control, "220 floor\r\n");
    while (open && ReadLine(control, pending, line)) {
        const std::string verb = line.substr(0, line.find(' '));
        const std::string argument = line.size() > verb.size() ? line.substr(verb.size() + 1) : "";
        if (strcasecmp(verb.c_str(), "USER") == 0) {
            open = Reply(control, "331 password\r\n");
        } else if (strcasecmp(verb.c_str(), "PASS") == 0) {
            open = Reply(control, "230 in\r\n");
        } else if (!argument.empty() && (argument.find('/') != std::string::npos || argument[0] == '.')) {
            // One name inside the served folder, never a way out of it.
            open = Reply(control, "550 no such name\r\n");
        } else if (strcasecmp(verb.c_str(), "CWD") == 0) {
            folder = root + "/" + argument;
            open = Reply(control, "250 ok\r\n");
        } else if (strcasecmp(verb.c_str(), "PASV") == 0 || strcasecmp(verb.c_str(), "EPSV") == 0) {
            if (listener >= 0) close(listener);
            int port = 0;
            listener = ListenForData(port);
            char text[96];
            if (listener < 0) {
                open = Reply(control, "425 no data port\r\n");
            } else if (strcasecmp(verb.c_str(), "PASV") == 0) {
                std::snprintf(text, sizeof text, "227 Entering Passive Mode (127,0,0,1,%d,%d)\r\n",
                              port >> 8, port & 0xff);
            } else {
                std::snprintf(text, sizeof text, "229 Entering Extended Passive Mode (|||%d|)\r\n", port);
            }
            if (listener >= 0) open = Reply(control, text);
        } else if (strcasecmp(verb.c_str(), "RETR") == 0 && listener >= 0) {
            open = Reply(control, "150 sending\r\n");
            const bool sent = SendFile(listener, folder + "/" + argument);
            close(listener);
            listener = -1;
            open = open && Reply(control, sent ? "226 done\r\n" : "550 failed\r\n");
        } else if (strcasecmp(verb.c_str(), "QUIT") == 0) {
            Reply(control, "221 bye\r\n");
            break;
        } else {
            open = Reply(control, "200 ok\r\n");
        }
    }
    if (listener >= 0) close(listener);
    close(control);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ftp_floor PORT FOLDER\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const int listener = ListenOn(std::atoi(argv[1]));
    if (listener < 0) {
        std::perror("ftp_floor: listen");
        return 1;
    }
    for (;;) {
        const int control = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (control < 0) continue;
        // Replies go out at once: a 226 held back behind an unacknowledged
        // 150 would wait for the client's delayed acknowledgement.
        const int on = 1;
        setsockopt(control, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        // Each session on a thread of its own, as the servers run theirs
        // (a thread or a process per connection): where the system places
        // a new one against its client weighs on the rows that spread over
        // two CPUs, and the floor pays for it alike.
        std::thread(Serve, control, std::string(argv[2])).join();
    }
}
