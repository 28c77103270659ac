#include "engine/ws_thread.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "engine/ws_server.h"
#include "net/data_source.h"
#include "net/text.h"

namespace {}  // namespace

CIP_WSThread::CIP_WSThread() = default;

CIP_WSThread::~CIP_WSThread() = default;

bool CIP_WSThread::ServerShuttingDown() const {
    return server != nullptr && server->IsShuttingDown();
}

int CIP_WSThread::SecuredSocket() const { return sock; }

int CIP_WSThread::Send(const void* data, int length, int flags) {
    if (data == nullptr) return -1;
    if (length < 0) length = static_cast<int>(std::strlen(static_cast<const char*>(data)));
    return SendBytes(sock, data, length, flags);
}

int CIP_WSThread::SendAll(const void* data, int length, int flags) {
    const char* p = static_cast<const char*>(data);
    int sent = 0;
    while (length > 0) {
        int n = Send(p, length, flags);
        if (n < 0) break;
        p += n;
        sent += n;
        length -= n;
        if (ServerShuttingDown()) break;
    }
    return sent;
}

int CIP_WSThread::SendWrapped(const char* text, int length, int width) {
    if (text == nullptr || width < 1) return -1;
    if (length <= 0) length = static_cast<int>(std::strlen(text));
    std::vector<char> piece(static_cast<std::size_t>(width) + 5);
    int total = 0;
    for (int offset = 0; offset < length; offset += width) {
        int count = length - offset < width ? length - offset : width;
        std::memcpy(piece.data(), text + offset, static_cast<std::size_t>(count));
        piece[count] = '\r';
        piece[count + 1] = '\n';
        int n = Send(piece.data(), count + 2, 0);
        if (n <= 0) return n;
        total += n;
    }
    return total;
}

int CIP_WSThread::Receive(void* buffer, int size, int timeout) {
    if (timeout > 0 && SelectReadable(sock, timeout, 0) != 0) return 0;
    return ReceiveBytes(sock, buffer, size, 0);
}

int CIP_WSThread::ReceiveAll(void* buffer, int size, int timeout) {
    char* p = static_cast<char*>(buffer);
    int received = 0;
    while (size > 0) {
        if (timeout > 0 && SelectReadable(sock, timeout, 0) != 0) break;
        int n = ReceiveBytes(sock, p, size, 0);
        if (n < 0) break;
        if (n == 0) {
            if (!IsConnectionAlive()) break;
            continue;
        }
        p += n;
        received += n;
        size -= n;
        if (ServerShuttingDown()) break;
    }
    return received;
}

int CIP_WSThread::ReadLine(char* buffer, int size, int timeout) {
    if (buffer == nullptr || size < 1) return 0;
    int total = 0;
    int room = size - 1;
    buffer[0] = '\0';
    while (room > 0) {
        char* at = buffer + total;
        int peeked = PeekLine(at, room, timeout);
        if (peeked < 1) return total;
        // A CR that ended the previous piece and an LF that starts this one
        // are one line end split across two packets.
        if (total > 0 && buffer[total - 1] == '\r' && at[0] == '\n') {
            if (TakeLine(at, 1) != 1) return total;
            buffer[total + 1] = '\0';
            return total + 1;
        }
        int take = peeked;
        bool lineEnd = false;
        for (int i = 0; i + 1 < peeked; ++i) {
            if (at[i] == '\r' && at[i + 1] == '\n') {
                take = i + 2;
                lineEnd = true;
                break;
            }
        }
        int got = TakeLine(at, take);
        if (got < 1) return total;
        total += got;
        room -= got;
        buffer[total] = '\0';
        if (lineEnd && got == take) return total;
    }
    return total;
}

int CIP_WSThread::PeekLine(char* at, int room, int timeout) {
    // What was read ahead goes first, whether or not reading ahead is
    // still allowed.
    if (aheadCount == 0) {
        const bool ahead = ReadsAhead();
        // A plain connection read ahead waits in the receive itself, bounded
        // by the socket's time-out, rather than in a poll() before it.
        const bool waitInReceive = ahead && !IsSecured() && WaitInReceive(timeout);
        if (!waitInReceive && timeout > 0 && SelectReadable(sock, timeout, 0) != 0) return 0;
        if (!ahead) return ReceiveBytes(sock, at, room, MSG_PEEK);
        const int got = ReceiveBytes(sock, readAhead, static_cast<int>(sizeof readAhead), 0);
        if (got < 1) return got;
        aheadStart = 0;
        aheadCount = got;
    }
    const int shown = std::min(room, aheadCount);
    std::memcpy(at, readAhead + aheadStart, static_cast<std::size_t>(shown));
    return shown;
}

bool CIP_WSThread::WaitInReceive(int seconds) {
    constexpr int kLongestWait = 2'000'000;  // seconds: as milliseconds it fits an int32_t
    const int32_t wanted = seconds > 0 ? std::min(seconds, kLongestWait) * 1000 : receiveTimeout;
    if (receiveWaitSet != wanted) {
        if (SetSocketTimeout(sock, SO_RCVTIMEO, wanted) != 0) return false;
        receiveWaitSet = wanted;
    }
    return seconds > 0;
}

int CIP_WSThread::TakeLine(char* at, int count) {
    if (aheadCount == 0) return ReceiveBytes(sock, at, count, 0);
    aheadStart += count;
    aheadCount -= count;
    return count;
}

int CIP_WSThread::Connect(int port, const char* host, int timeout, int family, int type) {
    if (sock >= 0) return Result(WSR_ALREADY_OPEN);
    if (host == nullptr) return Result(WSR_RESOLVE_FAILED);
    SocketAddress parsed;
    if (SocketAddress::Parse(host, 0, parsed)) {
        CopyText(hostText, host);
    } else if (ResolveHost(host, hostText, sizeof hostText) != WSR_OK ||
               !SocketAddress::Parse(hostText, 0, parsed)) {
        return Result(WSR_RESOLVE_FAILED);
    }
    peerAddress = parsed;
    peerAddress.SetPort(static_cast<uint16_t>(port));
    // An IPv6 address needs a socket of its family, whatever was asked.
    if (peerAddress.IsIPv6()) family = AF_INET6;

    sock = socket(family, type | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        sock = NO_SOCKET;
        return Result(WSR_SOCKET_FAILED);
    }
    auto fail = [this](int code) {
        CloseSocket(sock);
        sock = NO_SOCKET;
        return Result(code);
    };
    const bool bounded = timeout >= 0;
    if (bounded && SetNonBlocking(true) != 0) return fail(WSR_CONNECT_FAILED);

    int rc = connect(sock, peerAddress.Raw(), peerAddress.Length());
    if (rc != 0) {
        // An interrupted blocking connect goes on in the background, like a
        // non-blocking one; both end when the socket becomes writable.
        if (errno != EINPROGRESS && errno != EINTR) return fail(WSR_CONNECT_FAILED);
        if (bounded) {
            if (WaitWritable(timeout, 0) != 0) return fail(WSR_CONNECT_TIMEOUT);
        } else {
            pollfd entry{sock, POLLOUT, 0};
            while (poll(&entry, 1, -1) < 0 && errno == EINTR) {
            }
        }
        // Writable also means "failed" on Linux: the pending error tells.
        int pending = 0;
        socklen_t length = sizeof pending;
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &pending, &length) != 0 || pending != 0) {
            return fail(WSR_CONNECT_FAILED);
        }
    }
    // The connection is used in blocking mode with its time-outs.
    if (bounded && SetNonBlocking(false) != 0) return fail(WSR_CONNECT_FAILED);
    SetSendTimeout(sendTimeout);
    int r = OnConnected(sock, host);
    if (r != 0) {
        CloseSocket(sock);
        sock = NO_SOCKET;
    }
    return Result(r);
}

int CIP_WSThread::Disconnect() {
    int code = WSR_OK;
    if (sock >= 0) {
        if (shutdownBeforeClose == 1 && ShutdownSocket(sock, SHUTDOWN_BOTH) != 0) code = WSR_FAILED;
        if (CloseSocket(sock) != 0) code = WSR_FAILED;
    }
    sock = NO_SOCKET;
    hostText[0] = '\0';
    return Result(code);
}

void CIP_WSThread::Run() {
    char line[100];
    if (ReadLine(line, sizeof line, 0) > 0) {
        DrainInput();
        Send("Connect Successful ... Now Disconnecting.", -1, 0);
    }
}

void CIP_WSThread::RefuseBusy() {
    char input[256];
    if (Receive(input, sizeof input, 0) > 0) {
        static const char kBusy[] = "Too Many Connections, Please Try Later.";
        SendAll(kBusy, sizeof kBusy - 1, 0);
    }
}

int CIP_WSThread::Result(int code) { return code; }

int CIP_WSThread::SetReceiveTimeout(int milliseconds) {
    if (SetSocketTimeout(sock, SO_RCVTIMEO, milliseconds) != 0) return -1;
    receiveTimeout = milliseconds;
    receiveWaitSet = milliseconds;
    return 0;
}

int CIP_WSThread::SetSendTimeout(int milliseconds) {
    if (SetSocketTimeout(sock, SO_SNDTIMEO, milliseconds) != 0) return -1;
    sendTimeout = milliseconds;
    return 0;
}

int CIP_WSThread::SetNonBlocking(bool on) {
    nonBlocking = on;
    int flags = fcntl(sock, F_GETFL);
    if (flags < 0) return -1;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(sock, F_SETFL, flags) == 0 ? 0 : -1;
}

int CIP_WSThread::WaitWritable(int seconds, int microseconds) {
    if (sock < 0) return Result(WSR_FAILED);
    if (seconds < 0) seconds = 0;
    if (microseconds < 0) microseconds = 0;
    long long total = static_cast<long long>(seconds) * 1000 + (microseconds + 999) / 1000;
    int wait = total > 0x7fffffff ? 0x7fffffff : static_cast<int>(total);
    pollfd entry{sock, POLLOUT, 0};
    int n;
    // An interruption restarts the wait; it can only make the wait longer,
    // and it is bounded by the caller's time again.
    while ((n = poll(&entry, 1, wait)) < 0 && errno == EINTR) {
    }
    return Result(n == 1 && (entry.revents & POLLOUT) ? WSR_OK : WSR_FAILED);
}

void CIP_WSThread::DrainInput() {
    char scratch[256];
    while (HasInput(sock)) {
        if (ReceiveBytes(sock, scratch, sizeof scratch, 0) <= 0) break;
    }
}

const char* CIP_WSThread::PeerAddressText() {
    thread_local char text[ADDRESS_TEXT_SIZE];
    return peerAddress.Text(text, sizeof text);
}

int CIP_WSThread::ResolveHost(const char* name, char* out, int outSize) {
    return Result(ResolveHostText(name, out, outSize));
}

int CIP_WSThread::IsConnectionAlive() {
    if (sock < 0) return 0;
    // A TLS session that has ended cannot carry another line, whatever the
    // connection below it still does.
    if (TlsStream* tls = TlsOf(sock); tls != nullptr && tls->Ended()) return 0;
    pollfd entry{sock, POLLIN, 0};
    int ready;
    while ((ready = poll(&entry, 1, 0)) < 0 && errno == EINTR) {
    }
    if (ready == 1 && (entry.revents & POLLNVAL)) return 0;
    if (ready < 0 && (errno == EBADF || errno == ENOTSOCK || errno == ENETDOWN)) return 0;

    // MSG_DONTWAIT probes without touching the socket's blocking mode.
    char probe;
    ssize_t n;
    do {
        n = recv(sock, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        switch (errno) {
            case EAGAIN:
                n = 0;
                break;
            case EINPROGRESS:
                return 1;
            case ECONNRESET:
            case EFAULT:
            case EINVAL:
            case ENOTSOCK:
            case EBADF:
            case EMSGSIZE:
            case EOPNOTSUPP:
            case EISCONN:
            case ENETDOWN:
            case ENETRESET:
            case ESHUTDOWN:
            case ETIMEDOUT:
            case ENOTCONN:
                return 0;
            default:
                return 1;
        }
    }
    return (ready == 1 && n == 0) ? 0 : 1;
}

namespace {

// Transfer chunk: large enough to run at the machine's speed, small enough
// to keep the progress hooks frequent.
constexpr std::size_t kStreamChunk = 64 * 1024;

// The read-ahead of the file sources; streaming reads bypass it.
constexpr int kFileSourceBuffer = 4096;

}  // namespace

int CIP_WSThread::SendSource(CIP_DataSource& source, int64_t& count) {
    count = 0;
    if (source.Open(OPEN_READ) == -1) return Result(WSR_SOURCE_OPEN_FAILED);
    std::vector<char> chunk(kStreamChunk);
    bool failed = false;
    for (;;) {
        ssize_t got = source.Read(chunk.data(), chunk.size());
        if (got <= 0) break;
        // A short send must not drop the rest of the chunk.
        for (ssize_t sent = 0; sent < got;) {
            int n = Send(chunk.data() + sent, static_cast<int>(got - sent), 0);
            if (n <= 0) {
                failed = true;
                break;
            }
            sent += n;
            count += n;
        }
        if (failed || ContinueSend(count) == 0) break;
    }
    source.Close();
    return Result(failed ? WSR_THREAD_SEND_FAILED : WSR_OK);
}

int CIP_WSThread::SendFile(const char* path, int64_t& count) {
    CIP_FileDataSource source(path, kFileSourceBuffer);
    return SendSource(source, count);
}

int CIP_WSThread::ReceiveToSource(CIP_DataSource& source, int64_t& count, int mode, int timeout) {
    if (mode != OPEN_CREATE && mode != OPEN_APPEND) return Result(WSR_BAD_MODE);
    count = 0;
    if (source.Open(mode) == -1) return Result(WSR_SOURCE_OPEN_FAILED);
    std::vector<char> chunk(kStreamChunk);
    int code = WSR_OK;
    for (;;) {
        if (timeout > 0 && SelectReadable(sock, timeout, 0) != 0) {
            code = WSR_TIMEOUT;
            break;
        }
        int got = Receive(chunk.data(), static_cast<int>(chunk.size()), 0);
        if (got == 0) break;
        if (got < 0) {
            code = WSR_RECEIVE_FAILED;
            break;
        }
        if (source.Write(chunk.data(), static_cast<std::size_t>(got)) < got) {
            code = WSR_SOURCE_WRITE_FAILED;
            break;
        }
        count += got;
        if (ContinueReceive(count) == 0) {
            code = WSR_STOPPED;
            break;
        }
    }
    source.Close();
    return Result(code);
}

int CIP_WSThread::ReceiveFile(const char* path, int mode, int64_t& count, int timeout) {
    CIP_FileDataSource source(path, kFileSourceBuffer);
    return ReceiveToSource(source, count, mode, timeout);
}

int CIP_WSThread::ContinueReceive(int64_t) { return 1; }

int CIP_WSThread::ContinueSend(int64_t) { return 1; }
