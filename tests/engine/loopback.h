// Loopback TCP helpers for the engine tests.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace loopback {

inline void SetReceiveTimeout(int fd, int milliseconds) {
    timeval tv{milliseconds / 1000, (milliseconds % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// A blocking client connection to 127.0.0.1:port whose receives give up
// after 10 s; -1 when the connection failed (errno tells why).
inline int ConnectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    SetReceiveTimeout(fd, 10000);
    return fd;
}

// Both ends of one loopback TCP connection: `client` connected, `served`
// accepted.
struct Pair {
    int client = -1;
    int served = -1;
    Pair() {
        int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof at;
        bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length);
        client = ConnectTo(ntohs(at.sin_port));
        served = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        SetReceiveTimeout(served, 10000);
        close(listener);
    }
    ~Pair() {
        if (client >= 0) close(client);
        if (served >= 0) close(served);
    }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;
    void CloseClient() {
        close(client);
        client = -1;
    }
};

inline void SendText(int fd, const std::string& text) {
    send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

// Everything the peer sends until it closes (or 10 s pass).
inline std::string ReceiveUntilClosed(int fd) {
    std::string all;
    char buffer[512];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return all;
        all.append(buffer, static_cast<std::size_t>(n));
    }
}

// Bytes until `end` has arrived (or the peer closes, or 10 s pass).
inline std::string ReceiveUntil(int fd, const std::string& end) {
    std::string all;
    char c;
    while (all.size() < end.size() || all.compare(all.size() - end.size(), end.size(), end) != 0) {
        if (recv(fd, &c, 1, 0) != 1) break;
        all.push_back(c);
    }
    return all;
}

// A socket bound to the port on all addresses as the server binds its
// passive sockets (a connection of an earlier run that lingers on the port
// does not count), or -1.
inline int BindPort(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whether the server could listen on the port right now.
inline bool PortIsFree(int port) {
    int fd = BindPort(port);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// A socket that holds the port (listening on all addresses), or -1.
inline int HoldPort(int port) {
    int fd = BindPort(port);
    if (fd >= 0 && listen(fd, 1) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Threads of this process. A sanitizer may start a helper thread with the
// first thread created, so one is created first.
inline int CountThreads() {
    std::thread([] {}).join();
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

inline int CountOpenDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// A port that nothing uses at this moment, for a server that must listen on
// a given port. It lies outside the range the kernel gives to outgoing
// connections, so a client of a test running in parallel cannot take it
// between this choice and the server's bind, and outside the passive data
// ports 10000-32000.
inline int FreeListeningPort() {
    int low = 32768, high = 60999;
    if (FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        if (std::fscanf(f, "%d %d", &low, &high) != 2) low = 32768, high = 60999;
        std::fclose(f);
    }
    std::random_device seed;
    std::mt19937 random(seed());
    std::uniform_int_distribution<int> pick(32001, 65535);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int port = pick(random);
        if (port >= low && port <= high) continue;
        const int fd = BindPort(port);
        if (fd >= 0) {
            close(fd);
            return port;
        }
    }
    return -1;
}

}  // namespace loopback
