// The connection half of CIP_WSClient: connecting, listening, accepting,
// single sends and receives, lines and datagrams, and the socket options.
// Whole-file and stream transfers are in ws_client_transfer.cpp.
#include "net/ws_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "net/text.h"

namespace {

// hostText takes at most this many characters: any address text.
constexpr std::size_t kHostTextLimit = ADDRESS_TEXT_SIZE - 1;

int PortOf(int handle) {
    sockaddr_storage own{};
    socklen_t length = sizeof own;
    if (getsockname(handle, reinterpret_cast<sockaddr*>(&own), &length) != 0) return 0;
    return SocketAddress::FromSystem(own).Port();
}

// An IPv6 address text (not a dotted one, not a mapped IPv4 one).
bool ParseIPv6(const char* text, SocketAddress& out) {
    return text != nullptr && std::strchr(text, ':') != nullptr &&
           SocketAddress::Parse(text, 0, out) && out.IsIPv6();
}

// An IPv4 address from a dotted text; a null text is any address.
bool ParseAddress(const char* text, in_addr& out) {
    if (text == nullptr) {
        out.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return inet_pton(AF_INET, text, &out) == 1;
}

sockaddr_in MakeAddress(int family, int port, in_addr address) {
    sockaddr_in at{};
    at.sin_family = static_cast<sa_family_t>(family);
    at.sin_port = htons(static_cast<std::uint16_t>(port));
    at.sin_addr = address;
    return at;
}

int ConnectOnce(int handle, const sockaddr_in& to) {
    return connect(handle, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

}  // namespace

BlockReader::~BlockReader() = default;

BlockWriter::~BlockWriter() = default;

// A peer that leaves mid-transfer must give an error, not end the
// process, whatever writes to the socket (OpenSSL has no MSG_NOSIGNAL).
CIP_WSClient::CIP_WSClient() { IgnoreSigpipe(); }

CIP_WSClient::~CIP_WSClient() { CIP_WSClient::Disconnect(); }

int CIP_WSClient::Connect(int port, const char* host, int wait, int family, int type) {
    if (sock >= 0) return Result(WSR_ALREADY_OPEN);
    if (host == nullptr) return Result(WSR_RESOLVE_FAILED);
    SocketAddress ipv6;
    if (IsDottedAddress(host) || ParseIPv6(host, ipv6)) {
        CopyText(hostText, kHostTextLimit + 1, host);
    } else if (ResolveHost(host, hostText, kHostTextLimit + 1) != WSR_OK) {
        return Result(WSR_RESOLVE_FAILED);
    }
    if (ipv6.IsIPv6()) {
        family = AF_INET6;
        ipv6.SetPort(static_cast<std::uint16_t>(port));
    }
    this->family = family;
    socketType = type;
    in_addr address{};
    inet_pton(AF_INET, hostText, &address);
    remoteAddress = ipv6.IsIPv6() ? sockaddr_in{} : MakeAddress(family, port, address);

    if (CreateSocket(sock, family, type, 0) != 0) return Result(WSR_SOCKET_FAILED);
    auto fail = [this](int code) {
        CloseSocket(sock);
        sock = NO_SOCKET;
        return Result(code);
    };
    const bool bounded = wait >= 0;
    if (bounded && !SetSocketBlocking(sock, false)) return fail(WSR_CONNECT_FAILED);
    const int connected = ipv6.IsIPv6() ? connect(sock, ipv6.Raw(), ipv6.Length())
                                        : ConnectOnce(sock, remoteAddress);
    if (connected != 0) {
        // An interrupted blocking connect goes on in the background like a
        // non-blocking one; both end when the socket becomes writable.
        if (errno != EINPROGRESS && errno != EINTR) return fail(WSR_CONNECT_FAILED);
        if (bounded) {
            if (WaitWritable(wait, 0) != 0) return fail(WSR_CONNECT_TIMEOUT);
        } else if (PollSocket(sock, POLLOUT, -1) != 1) {
            return fail(WSR_CONNECT_FAILED);
        }
        // Writable also means "failed": the pending error tells.
        int pending = 0;
        socklen_t length = sizeof pending;
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &pending, &length) != 0 || pending != 0) {
            return fail(WSR_CONNECT_FAILED);
        }
    }
    if (bounded && !SetSocketBlocking(sock, true)) return fail(WSR_CONNECT_FAILED);
    remotePort = port;
    localPort = PortOf(sock);
    timeoutsOwed = true;
    int refused = OnConnected(sock, host);
    if (refused != 0) {
        CloseSocket(sock);
        sock = NO_SOCKET;
    }
    return Result(refused);
}

int CIP_WSClient::BindAndConnect(int localPort, int remotePort, const char* localText,
                                 const char* remoteText, int family, int type) {
    if (sock >= 0) return Result(WSR_ALREADY_OPEN);
    CopyText(hostText, kHostTextLimit + 1, remoteText != nullptr ? remoteText : "");
    this->family = family;
    socketType = type;
    if (CreateSocket(sock, family, type, 0) != 0) return Result(WSR_SOCKET_FAILED);
    in_addr local{};
    if (!ParseAddress(localText, local)) return Result(WSR_BIND_FAILED);
    sockaddr_in own = MakeAddress(family, localPort, local);
    if (bind(sock, reinterpret_cast<const sockaddr*>(&own), sizeof own) != 0) {
        return Result(WSR_BIND_FAILED);
    }
    in_addr remote{};
    if (remoteText == nullptr || !ParseAddress(remoteText, remote)) {
        return Result(WSR_CONNECT_FAILED);
    }
    remoteAddress = MakeAddress(family, remotePort, remote);
    if (ConnectOnce(sock, remoteAddress) != 0) {
        if (errno != EINTR || PollSocket(sock, POLLOUT, -1) != 1) return Result(WSR_CONNECT_FAILED);
        int pending = 0;
        socklen_t length = sizeof pending;
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &pending, &length) != 0 || pending != 0) {
            return Result(WSR_CONNECT_FAILED);
        }
    }
    this->remotePort = remotePort;
    this->localPort = PortOf(sock);
    timeoutsOwed = true;
    return Result(WSR_OK);
}

int CIP_WSClient::OpenDatagram(int localPort, int remotePort, const char* remoteText,
                               const char* localText) {
    if (sock >= 0) return Result(WSR_ALREADY_OPEN);
    CopyText(hostText, kHostTextLimit + 1, remoteText != nullptr ? remoteText : "");
    family = AF_INET;
    socketType = SOCK_DGRAM;
    if (CreateSocket(sock, AF_INET, SOCK_DGRAM, 0) != 0) return Result(WSR_SOCKET_FAILED);
    in_addr local{};
    bool bound = false;
    if (ParseAddress(localText, local)) {
        sockaddr_in own = MakeAddress(AF_INET, localPort, local);
        bound = bind(sock, reinterpret_cast<const sockaddr*>(&own), sizeof own) == 0;
    }
    if (!bound) {
        CloseSocket(sock);
        sock = NO_SOCKET;
        return Result(WSR_BIND_FAILED);
    }
    this->localPort = PortOf(sock);
    this->remotePort = remotePort;
    SetReceiveTimeout(receiveTimeout);
    SetSendTimeout(sendTimeout);
    return Result(WSR_OK);
}

int CIP_WSClient::CreateSocket(int& handle, int family, int type, int protocol) {
    handle = socket(family, type | SOCK_CLOEXEC, protocol);
    if (handle < 0) {
        handle = NO_SOCKET;
        return Result(WSR_FAILED);
    }
    return Result(WSR_OK);
}

void CIP_WSClient::Secure(std::unique_ptr<TlsStream> stream) {
    if (stream) {
        stream->SetTimeouts(receiveTimeout, sendTimeout);
        stream->SetCancel([this] { return IsCancelled() != 0; });
    }
    CIP_TlsSocket::Secure(std::move(stream));
}

int CIP_WSClient::SecuredSocket() const { return sock; }

void CIP_WSClient::ApplyOwedTimeouts() {
    if (!timeoutsOwed || sock < 0) return;
    timeoutsOwed = false;
    SetSocketTimeout(sock, SO_RCVTIMEO, receiveTimeout);
    SetSocketTimeout(sock, SO_SNDTIMEO, sendTimeout);
}

int CIP_WSClient::ReceiveBytes(int socket, void* buffer, int size, int flags) {
    if (socket == sock && (flags & MSG_DONTWAIT) == 0) ApplyOwedTimeouts();
    return CIP_TlsSocket::ReceiveBytes(socket, buffer, size, flags);
}

int CIP_WSClient::SendBytes(int socket, const void* data, int length, int flags) {
    if (socket == sock && (flags & MSG_DONTWAIT) == 0) ApplyOwedTimeouts();
    return CIP_TlsSocket::SendBytes(socket, data, length, flags);
}

bool CIP_WSClient::CloseDataSocket() {
    // The close alone ends the connection as a shutdown before it would: the
    // descriptor is this object's only (close-on-exec, one thread at a
    // time), and under TLS CloseSocket sends close_notify first. A shutdown
    // as well would cost every transfer one more system call.
    const bool ok = CloseSocket(sock) == 0;
    sock = NO_SOCKET;
    timeoutsOwed = false;
    return ok;
}

int CIP_WSClient::Disconnect() {
    bool ok = true;
    if (sock >= 0 && !CloseDataSocket()) ok = false;
    // Closing a listening socket stops it as a shutdown would, waiting
    // connections reset alike; only this object's thread waits on it.
    if (listenSocket >= 0 && CloseSocket(listenSocket) != 0) ok = false;
    sock = NO_SOCKET;
    listenSocket = NO_SOCKET;
    remotePort = 0;
    localPort = 0;
    listenPort = 0;
    hostText[0] = '\0';
    return Result(ok ? WSR_OK : WSR_FAILED);
}

int CIP_WSClient::Listen(int port, int backlog, int family, std::uint32_t address) {
    if (listenSocket >= 0) return Result(WSR_ALREADY_OPEN);
    in_addr at{};
    at.s_addr = address;
    listenAddress = MakeAddress(family, port, at);
    const SocketAddress any6 = SocketAddress::Any(AF_INET6, static_cast<std::uint16_t>(port));
    const bool ipv6 = family == AF_INET6;
    // Non-blocking from the start, so that a connection that vanishes
    // between the wait and the accept can never block a bounded accept.
    if (CreateSocket(listenSocket, family, SOCK_STREAM | SOCK_NONBLOCK, listenProtocol) != 0) {
        return Result(WSR_SOCKET_FAILED);
    }
    auto fail = [this](int code) {
        CloseSocket(listenSocket);
        listenSocket = NO_SOCKET;
        return Result(code);
    };
    int on = 1;
    setsockopt(listenSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // An IPv6 data port is for IPv6 clients: its IPv4 twin stays free.
    if (ipv6 && setsockopt(listenSocket, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
        return fail(WSR_SOCKET_FAILED);
    }
    const int bound = ipv6 ? bind(listenSocket, any6.Raw(), any6.Length())
                           : bind(listenSocket, reinterpret_cast<const sockaddr*>(&listenAddress),
                                  sizeof listenAddress);
    if (bound != 0) return fail(WSR_BIND_FAILED);
    if (listen(listenSocket, backlog) != 0) return fail(WSR_LISTEN_FAILED);
    // Only a port left to the system needs asking for.
    listenPort = port > 0 && port <= 65535 ? port : PortOf(listenSocket);
    return Result(WSR_OK);
}

int CIP_WSClient::WaitForConnection(int seconds) {
    if (listenSocket < 0) return Result(WSR_FAILED);
    return Result(SelectReadable(listenSocket, seconds, 0) == 0 ? WSR_OK : WSR_FAILED);
}

int CIP_WSClient::AdoptAccepted(int handle, const sockaddr_storage& accepted) {
    const SocketAddress peer = SocketAddress::FromSystem(accepted);
    sock = handle;
    family = peer.Family();
    socketType = SOCK_STREAM;
    remoteAddress =
        peer.IsIPv6() ? sockaddr_in{} : MakeAddress(AF_INET, peer.Port(), in_addr{peer.IPv4()});
    peer.Text(hostText, sizeof hostText);
    remotePort = peer.Port();
    // An accepted connection has its listening socket's port.
    localPort = listenPort > 0 ? listenPort : PortOf(sock);
    // An accepted connection is bounded like an outgoing one: a client
    // that stops reading or sending must not hold its session for ever.
    timeoutsOwed = true;
    return OnConnected(sock, hostText);
}

int CIP_WSClient::Accept() {
    if (sock >= 0 && !CloseDataSocket()) return Result(WSR_FAILED);
    if (listenSocket < 0) return Result(WSR_FAILED);
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        int handle =
            accept4(listenSocket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (handle >= 0) return AdoptAccepted(handle, peer);
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
            if (PollSocket(listenSocket, POLLIN, -1) < 0) return Result(WSR_FAILED);
        } else if (errno != EINTR) {
            return Result(WSR_FAILED);
        }
    }
}

int CIP_WSClient::AcceptFrom(std::uint32_t peerAddress, int seconds) {
    return AcceptFrom(SocketAddress::FromIPv4(peerAddress), seconds);
}

int CIP_WSClient::AcceptFrom(const SocketAddress& expected, int seconds) {
    using Clock = std::chrono::steady_clock;
    if (sock >= 0 && !CloseDataSocket()) return Result(WSR_FAILED);
    if (listenSocket < 0) return Result(WSR_FAILED);
    const auto deadline = Clock::now() + std::chrono::seconds(seconds > 0 ? seconds : 0);
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        int handle =
            accept4(listenSocket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        const int error = errno;
        if (handle >= 0) {
            if (SocketAddress::FromSystem(peer).SameHost(expected)) {
                return AdoptAccepted(handle, peer);
            }
            CloseSocket(handle);
        } else if (error != EAGAIN && error != EWOULDBLOCK && error != ECONNABORTED &&
                   error != EINTR) {
            return Result(WSR_FAILED);
        }
        // The deadline holds however many strangers keep connecting.
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return Result(WSR_TIMEOUT);
        if (handle < 0 && error != EINTR &&
            PollSocket(listenSocket, POLLIN, static_cast<int>(left.count())) < 0) {
            return Result(WSR_FAILED);
        }
    }
}

int CIP_WSClient::Send(const void* data, int length) {
    if (data == nullptr) return 0;
    if (length <= 0) length = static_cast<int>(std::strlen(static_cast<const char*>(data)));
    int n = SendBytes(sock, data, length, 0);
    return n < 0 ? 0 : n;
}

int CIP_WSClient::SendAll(const void* data, int length) {
    const char* p = static_cast<const char*>(data);
    int sent = 0;
    while (length > 0) {
        int n = Send(p + sent, length);
        if (n <= 0) break;
        sent += n;
        length -= n;
    }
    return sent;
}

int CIP_WSClient::SendDatagram(const void* data, int& length) {
    if (sock < 0) return Result(WSR_NOT_CONNECTED);
    in_addr address{};
    if (data == nullptr || length < 0 || inet_pton(AF_INET, hostText, &address) != 1) {
        return Result(WSR_SEND_FAILED);
    }
    sockaddr_in to = MakeAddress(AF_INET, remotePort, address);
    ssize_t n;
    do {
        n = sendto(sock, data, static_cast<std::size_t>(length), MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Result(WSR_SEND_FAILED);
    length = static_cast<int>(n);
    return Result(WSR_OK);
}

int CIP_WSClient::WaitWritable(int seconds, int microseconds) {
    if (sock < 0) return Result(WSR_FAILED);
    return Result(PollSocket(sock, POLLOUT, PollMilliseconds(seconds, microseconds)) == 1
                      ? WSR_OK
                      : WSR_FAILED);
}

int CIP_WSClient::Receive(void* buffer, int size, int wait) {
    if (wait > 0 && WaitReadable(wait, 0) != 0) return 0;
    return ReceiveBytes(sock, buffer, size, 0);
}

int CIP_WSClient::ReceiveAll(void* buffer, int size, int wait) {
    char* p = static_cast<char*>(buffer);
    int received = 0;
    while (size > 0) {
        if (wait > 0 && WaitReadable(wait, 0) != 0) break;
        int n = ReceiveBytes(sock, p + received, size, 0);
        if (n <= 0) break;
        received += n;
        size -= n;
    }
    return received;
}

int CIP_WSClient::ReadLine(char* buffer, int size, int wait) {
    if (buffer == nullptr || size < 1) return 0;
    buffer[0] = '\0';
    int total = 0;
    int room = size - 1;
    while (room > 0 && IsCancelled() == 0) {
        if (wait > 0 && WaitReadable(wait, 0) != 0) break;
        // Peek first, so that nothing after the line end is consumed.
        char* at = buffer + total;
        int peeked = ReceiveBytes(sock, at, room, MSG_PEEK);
        if (peeked <= 0) break;
        const void* lf = std::memchr(at, '\n', static_cast<std::size_t>(peeked));
        int take = lf != nullptr ? static_cast<int>(static_cast<const char*>(lf) - at) + 1 : peeked;
        int got = ReceiveBytes(sock, at, take, 0);
        if (got <= 0) break;
        total += got;
        room -= got;
        buffer[total] = '\0';
        if (lf != nullptr && got == take) break;
    }
    return total;
}

int CIP_WSClient::DrainInput() {
    char scratch[4096];
    while (HasInput(sock)) {
        if (Receive(scratch, sizeof scratch, 0) <= 0) break;
    }
    return Result(WSR_OK);
}

int CIP_WSClient::ReceiveDatagram(void* buffer, int& size, int wait) {
    if (sock < 0) return Result(WSR_NOT_CONNECTED);
    if (WaitReadable(wait, 0) != 0) return Result(WSR_TIMEOUT);
    socklen_t length = sizeof remoteAddress;
    ssize_t n;
    do {
        length = sizeof remoteAddress;
        n = recvfrom(sock, buffer, static_cast<std::size_t>(size > 0 ? size : 0), 0,
                     reinterpret_cast<sockaddr*>(&remoteAddress), &length);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Result(WSR_RECEIVE_FAILED);
    size = static_cast<int>(n);
    return Result(WSR_OK);
}

int CIP_WSClient::WaitReadable(int seconds, int microseconds) {
    return Result(SelectReadable(sock, seconds, microseconds) == 0 ? WSR_OK : WSR_FAILED);
}

int CIP_WSClient::Result(int code) { return code; }

int CIP_WSClient::ContinueReceive(std::int64_t) { return IsCancelled() != 0 ? 0 : 1; }

int CIP_WSClient::ContinueSend(std::int64_t) { return IsCancelled() != 0 ? 0 : 1; }

int CIP_WSClient::IsCancelled() { return 0; }

void CIP_WSClient::SetDataTimeouts(int sendMilliseconds, int receiveMilliseconds) {
    sendTimeout = std::max(sendMilliseconds, 0);
    receiveTimeout = std::max(receiveMilliseconds, 0);
}

int CIP_WSClient::SetReceiveTimeout(int milliseconds) {
    if (SetSocketTimeout(sock, SO_RCVTIMEO, milliseconds) != 0) return Result(-1);
    receiveTimeout = std::max(milliseconds, 0);
    return Result(WSR_OK);
}

int CIP_WSClient::SetSendTimeout(int milliseconds) {
    if (SetSocketTimeout(sock, SO_SNDTIMEO, milliseconds) != 0) return Result(-1);
    sendTimeout = std::max(milliseconds, 0);
    return Result(WSR_OK);
}

int CIP_WSClient::SetNonBlocking(bool on) {
    return Result(sock >= 0 && SetSocketBlocking(sock, !on) ? WSR_OK : WSR_FAILED);
}

int CIP_WSClient::ResolveHost(const char* text, char* out, int size) {
    return Result(ResolveHostText(text, out, size));
}

int CIP_WSClient::IsDottedAddress(const char* text) {
    in_addr parsed{};
    return text != nullptr && inet_pton(AF_INET, text, &parsed) == 1 ? 1 : 0;
}
