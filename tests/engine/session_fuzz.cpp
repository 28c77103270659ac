// libFuzzer entry: a whole FTP session fed an arbitrary command stream
// over a loopback TCP connection. The first byte chooses the feature bits
// (bit 0: the modern commands) and the family (bit 1: over ::1, an IPv6
// session, where the machine has IPv6; else over 127.0.0.1); the rest is
// what the client sends. Every
// input starts from the same small tree (files, a folder with fewer
// rights, links; laid anew after any input that may have written), so a
// finding replays alone.
//
// A client thread answers like a willing FTP client: it reads every reply,
// connects to each port a 227 or 229 reply announces, and accepts the
// session's active connections, which are kept on this machine whatever
// address the input names. On every data connection it sends a few bytes,
// closes its sending side and reads until the session closes. After each
// input, nothing outside the accessible paths and nothing in the read-only
// folder may have changed.
//
// Built as session_fuzz with -DTARNHOLD_FUZZ=ON and clang; the same file
// also builds into session_fuzz_replay, which runs saved inputs (the
// seeds and the regression cases) in every build.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "config/account_store.h"
#include "config/records.h"
#include "engine/ftp_server.h"
#include "engine/ftp_thread.h"
#include "net/socket_address.h"
#include "net/text.h"

namespace {

namespace fs = std::filesystem;

// Inputs longer than this are cut: the whole stream is written before the
// session starts, so it must fit in the socket's buffer.
constexpr std::size_t kMaxInput = 16 * 1024;

// The loopback address of the family, at `port`.
SocketAddress Loopback(bool ipv6, int port) {
    SocketAddress at;
    SocketAddress::Parse(ipv6 ? "::1" : "127.0.0.1", static_cast<uint16_t>(port), at);
    return at;
}

// A listening socket on the family's loopback address; -1 for IPv6 on a
// machine without it.
int ListenOnLoopback(bool ipv6) {
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const SocketAddress at = Loopback(ipv6, 0);
    if (fd < 0 || bind(fd, at.Raw(), at.Length()) != 0 || listen(fd, 16) != 0) {
        if (ipv6) {
            if (fd >= 0) close(fd);
            return -1;
        }
        std::abort();
    }
    return fd;
}

int PortOf(int fd) {
    sockaddr_storage at{};
    socklen_t length = sizeof at;
    getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length);
    return SocketAddress::FromSystem(at).Port();
}

int ConnectTo(bool ipv6, int port) {
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const SocketAddress at = Loopback(ipv6, port);
    if (fd >= 0 && connect(fd, at.Raw(), at.Length()) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The session under test: a real CIP_FTPThread on a connection made here.
class FuzzSession : public CIP_FTPThread {
public:
    FuzzSession(CIP_FTPServer* owner, int socket, const sockaddr_storage& peer, int sinkPort)
        : CIP_FTPThread(owner), sinkPort_(sinkPort) {
        sock = socket;
        peerAddress = SocketAddress::FromSystem(peer);
    }

protected:
    // Active connections go to the client thread's sink, and only when the
    // input named a loopback address: never anywhere off this machine.
    bool ConnectActive(CIP_WSClient& connection) override {
        SocketAddress named;
        if (!SocketAddress::Parse(clientAddress, 0, named)) return false;
        const in6_addr v6 = named.IPv6();
        const bool loopback = named.IsIPv6() ? IN6_IS_ADDR_LOOPBACK(&v6)
                                             : (ntohl(named.IPv4()) >> 24) == 127;
        if (!loopback) return false;
        dataPort = sinkPort_;
        CopyText(clientAddress, named.IsIPv6() ? "::1" : "127.0.0.1");
        return CIP_FTPThread::ConnectActive(connection);
    }

private:
    int sinkPort_;
};

// The passive port a 227 or 229 reply announces, or 0.
int AnnouncedPort(const std::string& reply) {
    int h1, h2, h3, h4, p1, p2;
    if (std::sscanf(reply.c_str(), "227 Entering passive mode (%d,%d,%d,%d,%d,%d)", &h1, &h2,
                    &h3, &h4, &p1, &p2) == 6) {
        return p1 * 256 + p2;
    }
    int port;
    if (std::sscanf(reply.c_str(), "229 Entering Extended Passive Mode (|||%d|)", &port) == 1) {
        return port;
    }
    return 0;
}

// The willing client: reads replies on `control` until it closes, and
// serves every data connection it opens or accepts on `sink`.
void ServeClientSide(int control, int sink, bool ipv6) {
    std::vector<int> data;
    std::string pending;
    auto open = [&data](int fd) {
        if (fd < 0) return;
        static const char kUpload[] = "uploaded by the fuzz client\r\n";
        send(fd, kUpload, sizeof kUpload - 1, MSG_NOSIGNAL);
        shutdown(fd, SHUT_WR);
        data.push_back(fd);
    };
    for (;;) {
        std::vector<pollfd> watched{{control, POLLIN, 0}, {sink, POLLIN, 0}};
        for (int fd : data) watched.push_back({fd, POLLIN, 0});
        if (poll(watched.data(), watched.size(), 5000) <= 0) continue;
        char buffer[65536];
        if (watched[0].revents != 0) {
            const ssize_t n = recv(control, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            pending.append(buffer, static_cast<std::size_t>(n));
            for (std::size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
                const int port = AnnouncedPort(pending.substr(0, end));
                if (port > 0) open(ConnectTo(ipv6, port));
                pending.erase(0, end + 2);
            }
        }
        if (watched[1].revents != 0) open(accept4(sink, nullptr, nullptr, SOCK_CLOEXEC));
        for (std::size_t i = 2; i < watched.size(); ++i) {
            if (watched[i].revents == 0) continue;
            if (recv(watched[i].fd, buffer, sizeof buffer, 0) <= 0) {
                close(watched[i].fd);
                data.erase(std::find(data.begin(), data.end(), watched[i].fd));
            }
        }
    }
    for (int fd : data) close(fd);
}

struct World {
    fs::path root;
    fs::path home;
    CIP_FTPServer* server;
    int listener;
    int sink;
    // On ::1; -1 where the machine has no IPv6.
    int listener6;
    int sink6;
};

void Write(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// The tree every input starts from.
void ResetTree(const World& world) {
    std::error_code ignored;
    fs::remove_all(world.home, ignored);
    fs::create_directories(world.home / "sub" / "deeper");
    fs::create_directories(world.home / "readonly");
    Write(world.home / "a.txt", "alpha\r\nbeta\r\n");
    Write(world.home / "empty", "");
    Write(world.home / "big.bin", std::string(70000, 'b'));
    Write(world.home / "sub" / "b.txt", "in sub");
    Write(world.home / "readonly" / "kept", "kept");
    fs::create_symlink("a.txt", world.home / "link", ignored);
    fs::create_symlink("gone", world.home / "dangling", ignored);
    fs::create_symlink(world.root / "outside", world.home / "escape", ignored);
}

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// What no session may ever change, whatever it was sent: anything outside
// the accessible paths, and the folder that grants only reading and
// listing. A breach aborts, so libFuzzer keeps the input.
void CheckBoundaries(const World& world) {
    std::size_t entries = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(world.root)) {
        (void)entry;
        ++entries;
    }
    std::size_t readonly = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(world.home / "readonly")) {
        (void)entry;
        ++readonly;
    }
    if (entries != 2 || readonly != 1 || Read(world.root / "outside") != "never to be reached" ||
        Read(world.home / "readonly" / "kept") != "kept") {
        std::fprintf(stderr, "a session changed what it may not change\n");
        std::abort();
    }
}

World& TheWorld() {
    static World world = [] {
        char pattern[] = "/tmp/tarnhold-session-fuzz-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        World made;
        made.root = pattern;
        made.home = made.root / "home";
        Write(made.root / "outside", "never to be reached");
        // Never destroyed: libFuzzer ends the process with exit().
        made.server = new CIP_FTPServer;
        {
            AccountStore::Lock lock(made.server->store);
            AccountStore& store = made.server->store;
            account_s* account = store.AddAccount();
            CopyText(account->login, "fuzz");
            CopyText(account->password, "fuzz");
            CopyText(account->home, made.home.c_str());
            account->paths.AddPath(made.home.c_str(), 0x77);
            account->paths.AddPath((made.home / "readonly").c_str(), 0x44);
            store.anonymous.enabled = 1;
            CopyText(store.anonymous.home, made.home.c_str());
            store.anonymous.paths.AddPath(made.home.c_str(), 0x44);
        }
        made.listener = ListenOnLoopback(false);
        made.sink = ListenOnLoopback(false);
        made.listener6 = ListenOnLoopback(true);
        made.sink6 = made.listener6 >= 0 ? ListenOnLoopback(true) : -1;
        if (made.sink6 < 0) made.listener6 = -1;
        return made;
    }();
    return world;
}

}  // namespace

// Whether a command stream may change the tree: it holds one of the verbs
// that write, in any letter case. Only then is the tree laid anew after it.
bool MayChangeTree(const uint8_t* data, std::size_t size) {
    static const char* const kWriters[] = {"STOR", "APPE", "DELE", "RMD", "MKD", "RNTO"};
    std::string upper(reinterpret_cast<const char*>(data), size);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* verb : kWriters) {
        if (upper.find(verb) != std::string::npos) return true;
    }
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& world = TheWorld();
    static bool changed = true;
    if (changed) ResetTree(world);
    changed = MayChangeTree(data, size);
    const uint32_t features = size > 0 && (data[0] & 1) != 0 ? FEATURE_MODERN_COMMANDS : 0;
    const bool ipv6 = size > 0 && (data[0] & 2) != 0 && world.listener6 >= 0;
    const int listener = ipv6 ? world.listener6 : world.listener;
    const int sink = ipv6 ? world.sink6 : world.sink;
    {
        AccountStore::Lock lock(world.server->store);
        world.server->store.options.features = features;
    }
    const uint8_t* stream = size > 0 ? data + 1 : data;
    const std::size_t length = size > 0 ? std::min(size - 1, kMaxInput) : 0;

    // Tens of thousands of short connections a minute can run the
    // machine's ephemeral ports short for a moment: wait for one then,
    // since that is no finding.
    int client = -1;
    for (int attempt = 0; attempt < 200 && client < 0; ++attempt) {
        client = ConnectTo(ipv6, PortOf(listener));
        if (client < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (client < 0) {
        std::perror("session_fuzz: no connection to the session's listener");
        std::abort();
    }
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    const int accepted =
        accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
    if (accepted < 0) std::abort();
    int buffer = 1 << 20;
    setsockopt(client, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    // As the server sets it: without it every reply that follows another
    // waits for the client's delayed acknowledgement.
    int noDelay = 1;
    setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    for (std::size_t sent = 0; sent < length;) {
        const ssize_t n = send(client, stream + sent, length - sent, MSG_NOSIGNAL);
        if (n <= 0) std::abort();
        sent += static_cast<std::size_t>(n);
    }
    // The end of the stream: the session sees its peer go once it has
    // read every line.
    shutdown(client, SHUT_WR);

    std::thread clientSide(ServeClientSide, client, sink, ipv6);
    {
        FuzzSession session(world.server, accepted, peer, PortOf(sink));
        session.Run();
    }
    close(accepted);
    clientSide.join();
    close(client);
    CheckBoundaries(world);
    return 0;
}
