// CIP_Socket: the root of the socket classes. It holds no state; each of
// its primitives takes the handle it works on, so a derived class can keep
// several sockets and still route every elementary call through one
// overridable place. Also the result codes of every socket operation and
// the warning texts for a socket's pending error.
#pragma once

#include <sys/socket.h>
#include <cstdint>

// A socket handle is a descriptor; -1 means that no socket is held.
constexpr int NO_SOCKET = -1;

// Result codes of the socket classes: 0 is success, anything else a failure.
constexpr int WSR_OK = 0;
constexpr int WSR_FAILED = 1;
constexpr int WSR_THREAD_SEND_FAILED = 4;
constexpr int WSR_CONNECT_TIMEOUT = 5;
constexpr int WSR_HOST_NOT_FOUND = 7;
constexpr int WSR_NOT_CONNECTED = 15;
constexpr int WSR_ALREADY_OPEN = 16;
constexpr int WSR_SOCKET_FAILED = 17;
constexpr int WSR_BIND_FAILED = 18;
constexpr int WSR_CONNECT_FAILED = 19;
constexpr int WSR_TIMEOUT = 20;
constexpr int WSR_RECEIVE_FAILED = 21;
constexpr int WSR_SEND_FAILED = 22;
constexpr int WSR_LISTEN_FAILED = 23;
constexpr int WSR_BAD_MODE = 26;
constexpr int WSR_ADDRESS_TOO_LONG = 35;
constexpr int WSR_SOURCE_OPEN_FAILED = 81;
constexpr int WSR_SOURCE_WRITE_FAILED = 83;
constexpr int WSR_STOPPED = 98;
constexpr int WSR_RESOLVE_FAILED = 100;

// Shutdown directions as the socket classes pass them.
constexpr int SHUTDOWN_RECEIVE = 0;
constexpr int SHUTDOWN_SEND = 1;
constexpr int SHUTDOWN_BOTH = 2;

// Ignores SIGPIPE for the whole process, so that a peer that resets its
// connection (or a closed standard output) never ends it. Idempotent; any
// thread.
void IgnoreSigpipe();

// Raises the soft limit of open descriptors (RLIMIT_NOFILE) to the hard
// limit, so that every connection the owner allows can be served. Returns
// the soft limit in force afterwards (the old one when raising failed).
// Any thread; call once at start.
uint64_t RaiseDescriptorLimit();

// The Windows Sockets / Win32 number that the warning texts are keyed by
// for an errno value (EINVAL -> 10022, ENOTSOCK and EBADF -> 10038,
// ENOMEM -> 8, 0 -> 0). An errno without a counterpart maps to
// 20000 + errno, which no table lists. Any thread.
int SocketErrorNumber(int errnoValue);

// The warning text for a socket's pending error. Reads the pending-error
// option of *sock; when that read fails, the number is the read's own error
// and the short table applies, else the pending error and the long table.
// Stores the number through `error` when it is not null. Never returns null;
// the text is constant. Any thread.
const char* SocketErrorText(const int* sock, int* error);

// The two tables on their own: the text for a number when the pending-error
// read failed (short) or succeeded (long). Any thread.
const char* SocketErrorShortText(int number);
const char* SocketErrorLongText(int number);

// Creates a close-on-exec stream socket of `family` (IPv4 unless said)
// with `protocol`; the descriptor or -1 with errno set. Any thread.
int CreateStreamSocket(int protocol = 0, int family = AF_INET);

// Applies a send (SO_SNDTIMEO) or receive (SO_RCVTIMEO) time-out of
// `milliseconds` (0 or less: none) to a socket: 0, or -1 on failure.
int SetSocketTimeout(int socket, int option, int milliseconds);

// A seconds + microseconds wait as milliseconds for poll(), rounded up so a
// short positive wait never becomes a pure poll; negatives count as 0.
int PollMilliseconds(int seconds, int microseconds);

// poll() on one descriptor for `events`, waiting up to `milliseconds`
// (negative: without limit); an interruption resumes with the time left.
// 1 ready, 0 time-out, -1 failure (a bad descriptor too). Any thread.
int PollSocket(int socket, short events, int milliseconds);

// Switches a descriptor's blocking mode: true when it worked. Any thread.
bool SetSocketBlocking(int socket, bool blocking);

// Resolves the host part of `name` (the text after its last '@', not
// counting the first character) to the dotted text of its first IPv4
// address in `out`. Codes: WSR_OK, WSR_HOST_NOT_FOUND,
// WSR_ADDRESS_TOO_LONG (the text and its terminator exceed outSize).
int ResolveHostText(const char* name, char* out, int outSize);

class CIP_Socket {
public:
    virtual ~CIP_Socket();

    // Called right after a connection has been made, with the new socket
    // and the other end's host text; nonzero refuses the connection. The
    // base accepts (0).
    virtual int OnConnected(int socket, const char* host);
    // close(): 0, or -1 on failure. Never retried: Linux releases the
    // descriptor even when close is interrupted.
    virtual int CloseSocket(int socket);
    // shutdown() with `how` 0 receive, 1 send, 2 both: 0 or -1.
    virtual int ShutdownSocket(int socket, int how);
    // One receive (retried when interrupted): bytes, 0 when the peer has
    // closed, -1 on error. `flags` pass through (MSG_PEEK to peek).
    virtual int ReceiveBytes(int socket, void* buffer, int size, int flags);
    // One send (retried when interrupted, never raising SIGPIPE): bytes
    // or -1.
    virtual int SendBytes(int socket, const void* data, int length, int flags);
    // 1 when bytes are waiting to be read, else 0 (also for a bad handle).
    virtual int HasInput(int socket);
    // Waits until the socket is readable (data, an orderly close or an
    // error) or the time passes. 0 when it became readable, 1 otherwise
    // (time-out, bad handle, failure). Note the sense: 0 means ready.
    virtual int SelectReadable(int socket, int seconds, int microseconds);
};
