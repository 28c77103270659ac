// A client for the small-file rows that costs next to nothing itself, so
// that the servers' own share of a row shows: logs in, changes into FOLDER
// and fetches each NAME over a PASV (or EPSV) data connection of its own,
// as a script with ftplib does, then writes what it got into OUT/NAME and
// prints the seconds the fetches took (the login and the writes not
// counted). Blocking calls, loopback only; it trusts the server it is
// pointed at no further than to end each reply with CRLF.
//     ftp_fetch PORT USER PASSWORD FOLDER pasv|epsv OUT NAME...
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "ftp_fetch: %s\n", what.c_str());
    std::exit(1);
}

int Connect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Fail("connect to port " + std::to_string(port));
    }
    // Each command goes out at once, as ftplib's do.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

class Control {
public:
    explicit Control(int port) : fd_(Connect(port)) { Expect("2"); }
    ~Control() { close(fd_); }

    // Sends a command and reads its reply, which must start with one of
    // the digits in `first`.
    std::string Ask(const std::string& command, const char* first) {
        const std::string line = command + "\r\n";
        if (send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
            Fail("sending " + command);
        }
        return Expect(first, command);
    }

    // The next reply (the last line of a multi-line one), which must start
    // with one of the digits in `first`.
    std::string Expect(const char* first, const std::string& after = "the greeting") {
        for (;;) {
            const std::string line = Line();
            // "123-" opens a multi-line reply; its last line is "123 ".
            if (line.size() >= 4 && line[3] == '-') continue;
            if (line.empty() || std::strchr(first, line[0]) == nullptr) Fail("after " + after + ": " + line);
            return line;
        }
    }

private:
    std::string Line() {
        for (;;) {
            const std::size_t end = pending_.find("\r\n");
            if (end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 2);
                return line;
            }
            char buffer[4096];
            const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
            if (got <= 0) Fail("the control connection ended");
            pending_.append(buffer, static_cast<std::size_t>(got));
        }
    }

    int fd_;
    std::string pending_;
};

// The data port of a 227 or 229 reply.
int DataPort(const std::string& reply, bool extended) {
    if (extended) {
        const std::size_t bars = reply.find("|||");
        if (bars == std::string::npos) Fail("no port in " + reply);
        return std::atoi(reply.c_str() + bars + 3);
    }
    const std::size_t open = reply.find('(');
    int h1, h2, h3, h4, p1, p2;
    if (open == std::string::npos ||
        std::sscanf(reply.c_str() + open, "(%d,%d,%d,%d,%d,%d)", &h1, &h2, &h3, &h4, &p1, &p2) != 6) {
        Fail("no address in " + reply);
    }
    return p1 * 256 + p2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 8) {
        std::fprintf(stderr, "usage: ftp_fetch PORT USER PASSWORD FOLDER pasv|epsv OUT NAME...\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const bool extended = std::strcmp(argv[5], "epsv") == 0;
    const std::string out = argv[6];
    const std::vector<std::string> names(argv + 7, argv + argc);

    Control control(port);
    // A server may let an account in without a password.
    if (control.Ask(std::string("USER ") + argv[2], "23")[0] == '3') {
        control.Ask(std::string("PASS ") + argv[3], "2");
    }
    control.Ask("TYPE I", "2");
    control.Ask(std::string("CWD ") + argv[4], "2");

    std::vector<std::string> files(names.size());
    static char buffer[256 * 1024];
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < names.size(); ++i) {
        const int data = Connect(DataPort(control.Ask(extended ? "EPSV" : "PASV", "2"), extended));
        control.Ask("RETR " + names[i], "1");
        for (;;) {
            const ssize_t got = recv(data, buffer, sizeof buffer, 0);
            if (got < 0) Fail("receiving " + names[i]);
            if (got == 0) break;
            files[i].append(buffer, static_cast<std::size_t>(got));
        }
        close(data);
        control.Expect("2", "RETR " + names[i]);
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    control.Ask("QUIT", "2");

    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string path = out + "/" + names[i];
        FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr || std::fwrite(files[i].data(), 1, files[i].size(), file) != files[i].size() ||
            std::fclose(file) != 0) {
            Fail("writing " + path);
        }
    }
    std::printf("%.9f\n", elapsed.count());
    return 0;
}
