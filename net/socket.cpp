#include "net/socket.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <mutex>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct ErrorText {
    int number;
    const char* text;
};

constexpr ErrorText kShortTable[] = {
    {10022, "Warning: Socket error is WSAEINVAL"},
    {10036, "Warning: Socket error is WSAEINPROGRESS"},
    {10038, "Warning: Socket error is WSAENOTSOCK"},
    {10042, "Warning: Socket error is WSAENOPROTOOPT"},
    {10050, "Warning: Socket error is WSAENETDOWN"},
    {10093, "Warning: Socket error is WSANOTINITIALISED"},
};
constexpr const char* kShortOther = "Warning: A Socket error occurred.";

constexpr ErrorText kLongTable[] = {
    {0, "Warning: Last error not available"},
    {6, "Warning: Specified event object handle is invalid."},
    {8, "Warning: Insufficient memory available."},
    {87, "Warning: One or more parameters are invalid."},
    {995, "Warning: Overlapped operation aborted."},
    {996, "Warning: Overlapped I/O event object not in signaled state."},
    {997, "Warning: Overlapped operations will complete later."},
    {10004, "Warning: Interrupted function call."},
    {10013, "Warning: Permission denied"},
    {10014, "Warning: Invalid pointer or buffer too small"},
    {10022, "Warning: Invalid argument"},
    {10024, "Warning: Too many open files."},
    {10035, "Warning: Resource temporarily unavailable."},
    {10036, "Warning: Operation now in progress."},
    {10037, "Warning: Operation already in progress."},
    {10038, "Warning: Socket operation on non-socket."},
    {10039, "Warning: Destination address required."},
    {10040, "Warning: Message too long."},
    {10041, "Warning: Protocol wrong type for socket."},
    {10042, "Warning: Bad protocol option."},
    {10043, "Warning: Protocol not supported."},
    {10044, "Warning: Socket type not supported."},
    {10045, "Warning: Operation not supported."},
    {10046, "Warning: Protocol family not supported."},
    {10047, "Warning: Address family not supported by protocol family."},
    {10048, "Warning: Address already in use."},
    {10049, "Warning: Cannot assign requested address."},
    {10050, "Warning: Network is down."},
    {10051, "Warning: Network is unreachable."},
    {10052, "Warning: Network dropped connection on reset."},
    {10053, "Warning: Software caused connection abort."},
    {10054, "Warning: Connection reset by peer."},
    {10055, "Warning: No buffer space is available."},
    {10056, "Warning: Socket is already connected."},
    {10057, "Warning: Socket is not connected."},
    {10058, "Warning: Cannot send after socket shutdown."},
    {10060, "Warning: Connection timed out."},
    {10061, "Warning: Connection refused."},
    {10064, "Warning: Host is down."},
    {10065, "Warning: No route to host."},
    {10067, "Warning: Too many processes."},
    {10091, "Warning: Network subsystem is unavailable."},
    {10093, "Warning: A successful WSAStartup has not yet been performed."},
    {10101, "Warning: Graceful shutdown in progress."},
    {10107, "Warning: System call failure."},
    {10109, "Warning: Class type not found."},
    {11001, "Warning: Host not found."},
    {11002, "Warning: Non-authoritative host not found"},
    {11003, "Warning: Nonrecoverable error."},
    {11004, "Warning: Valid name but no data record of requested type."},
};
constexpr const char* kLongOther = "Warning: Unknown socket error.";

struct ErrnoNumber {
    int errnoValue;
    int number;
};

constexpr ErrnoNumber kErrnoNumbers[] = {
    {0, 0},
    {ENOMEM, 8},
    {EINTR, 10004},
    {EBADF, 10038},
    {EACCES, 10013},
    {EFAULT, 10014},
    {EINVAL, 10022},
    {EMFILE, 10024},
    {ENFILE, 10024},
    {EWOULDBLOCK, 10035},
    {EAGAIN, 10035},
    {EINPROGRESS, 10036},
    {EALREADY, 10037},
    {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ENETRESET, 10052},
    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},
    {ENOBUFS, 10055},
    {EISCONN, 10056},
    {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},
    {ELOOP, 10062},
    {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},
    {EUSERS, 10068},
    {EDQUOT, 10069},
    {ESTALE, 10070},
    {EREMOTE, 10071},
};

template <std::size_t N>
const char* Lookup(const ErrorText (&table)[N], int number, const char* other) {
    for (const ErrorText& entry : table) {
        if (entry.number == number) return entry.text;
    }
    return other;
}


}  // namespace

void IgnoreSigpipe() {
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

uint64_t RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        // An unlimited hard limit still stops at the kernel's nr_open, and
        // setrlimit refuses more than that: fall back to what the kernel
        // allows.
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0 && limit.rlim_max == RLIM_INFINITY) {
            raised.rlim_cur = 1024 * 1024;
            setrlimit(RLIMIT_NOFILE, &raised);
        }
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return static_cast<uint64_t>(limit.rlim_cur);
}

int SocketErrorNumber(int errnoValue) {
    for (const ErrnoNumber& entry : kErrnoNumbers) {
        if (entry.errnoValue == errnoValue) return entry.number;
    }
    return 20000 + errnoValue;
}

const char* SocketErrorShortText(int number) {
    return Lookup(kShortTable, number, kShortOther);
}

const char* SocketErrorLongText(int number) {
    return Lookup(kLongTable, number, kLongOther);
}

const char* SocketErrorText(const int* sock, int* error) {
    int pending = 0;
    socklen_t length = sizeof pending;
    int handle = sock ? *sock : NO_SOCKET;
    if (getsockopt(handle, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) {
        int number = SocketErrorNumber(errno);
        if (error) *error = number;
        return SocketErrorShortText(number);
    }
    int number = SocketErrorNumber(pending);
    if (error) *error = number;
    return SocketErrorLongText(number);
}

int CreateStreamSocket(int protocol, int family) {
    return socket(family, SOCK_STREAM | SOCK_CLOEXEC, protocol);
}

CIP_Socket::~CIP_Socket() = default;

int CIP_Socket::OnConnected(int, const char*) {
    return 0;
}

int CIP_Socket::CloseSocket(int socket) {
    if (socket < 0) {
        errno = EBADF;
        return -1;
    }
    // An interrupted close has still released the descriptor.
    if (close(socket) != 0 && errno != EINTR) return -1;
    return 0;
}

int CIP_Socket::ShutdownSocket(int socket, int how) {
    int mode = how == SHUTDOWN_RECEIVE ? SHUT_RD : how == SHUTDOWN_SEND ? SHUT_WR : SHUT_RDWR;
    return shutdown(socket, mode) == 0 ? 0 : -1;
}

int CIP_Socket::ReceiveBytes(int socket, void* buffer, int size, int flags) {
    if (size < 0) size = 0;
    ssize_t n;
    do {
        n = recv(socket, buffer, static_cast<std::size_t>(size), flags);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

int CIP_Socket::SendBytes(int socket, const void* data, int length, int flags) {
    if (length < 0) length = 0;
    ssize_t n;
    do {
        n = send(socket, data, static_cast<std::size_t>(length), flags | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

int CIP_Socket::HasInput(int socket) {
    int available = 0;
    if (socket < 0 || ioctl(socket, FIONREAD, &available) != 0) return 0;
    return available > 0 ? 1 : 0;
}

int CIP_Socket::SelectReadable(int socket, int seconds, int microseconds) {
    if (socket < 0) {
        errno = EBADF;
        return 1;
    }
    // poll rather than select: descriptors above FD_SETSIZE must work too.
    using Clock = std::chrono::steady_clock;
    const int total = PollMilliseconds(seconds, microseconds);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(total);
    pollfd entry{socket, POLLIN, 0};
    int wait = total;
    for (;;) {
        int n = poll(&entry, 1, wait);
        if (n >= 0) {
            if (n == 1 && (entry.revents & POLLNVAL)) {
                errno = EBADF;
                return 1;
            }
            return n == 1 ? 0 : 1;
        }
        if (errno != EINTR) return 1;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
}

int SetSocketTimeout(int socket, int option, int milliseconds) {
    timeval tv{};
    if (milliseconds > 0) {
        tv.tv_sec = milliseconds / 1000;
        tv.tv_usec = (milliseconds % 1000) * 1000;
    }
    return setsockopt(socket, SOL_SOCKET, option, &tv, sizeof tv) == 0 ? 0 : -1;
}

int PollMilliseconds(int seconds, int microseconds) {
    if (seconds < 0) seconds = 0;
    if (microseconds < 0) microseconds = 0;
    long long ms = static_cast<long long>(seconds) * 1000 + (microseconds + 999) / 1000;
    return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

int PollSocket(int handle, short events, int milliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    pollfd entry{handle, events, 0};
    int wait = milliseconds;
    for (;;) {
        int n = poll(&entry, 1, wait);
        if (n >= 0) return n == 1 && (entry.revents & POLLNVAL) == 0 ? 1 : (n == 0 ? 0 : -1);
        if (errno != EINTR) return -1;
        if (milliseconds >= 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
    }
}

bool SetSocketBlocking(int handle, bool blocking) {
    // One call rather than reading and writing the status flags: every
    // download switches its data socket twice.
    int nonBlocking = blocking ? 0 : 1;
    return ioctl(handle, FIONBIO, &nonBlocking) == 0;
}

int ResolveHostText(const char* name, char* out, int outSize) {
    if (name == nullptr || out == nullptr) return WSR_HOST_NOT_FOUND;
    const char* at = name[0] != '\0' ? std::strrchr(name + 1, '@') : nullptr;
    const char* host = at != nullptr ? at + 1 : name;

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
        return WSR_HOST_NOT_FOUND;
    }
    char dotted[INET_ADDRSTRLEN];
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const char* ok = inet_ntop(AF_INET, &address->sin_addr, dotted, sizeof dotted);
    freeaddrinfo(found);
    if (ok == nullptr) return WSR_HOST_NOT_FOUND;
    const std::size_t length = std::strlen(dotted);
    if (static_cast<long long>(length) + 1 > outSize) return WSR_ADDRESS_TOO_LONG;
    std::memcpy(out, dotted, length + 1);
    return WSR_OK;
}
