// CIP_WSThread: one accepted connection, served on a connection thread of
// its server. It reads lines, sends and receives with time-outs and tells
// whether the peer is still there. Derived sessions replace Run and
// RefuseBusy; the connection thread owns the object and closes its socket.
//
// Every operation is meant for the connection thread that owns the session
// (or, before that thread starts, for whoever constructs it). Time-outs
// given as `timeout` are whole seconds; 0 or less means "do not wait first".
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>

#include "net/socket_address.h"
#include "net/tls_socket.h"

class CIP_DataSource;

class CIP_WSServer;

class CIP_WSThread : public CIP_TlsSocket {
public:
    CIP_WSThread();
    // Releases nothing: the connection thread closes the socket.
    ~CIP_WSThread() override;
    CIP_WSThread(const CIP_WSThread&) = delete;
    CIP_WSThread& operator=(const CIP_WSThread&) = delete;

    // Streaming of whole data sources and files over the connection. The
    // count is the bytes moved so far, also when the transfer fails.

    // Opens the source for reading and sends all of it. Codes: 0,
    // WSR_SOURCE_OPEN_FAILED, WSR_THREAD_SEND_FAILED (a send failed or sent
    // nothing). ContinueSend returning 0 ends the transfer early with 0.
    virtual int SendSource(CIP_DataSource& source, int64_t& count);
    // SendSource over the file at `path`.
    virtual int SendFile(const char* path, int64_t& count);
    // Opens the source in `mode` (OPEN_CREATE or OPEN_APPEND) and writes
    // what arrives until the peer closes. When timeout > 0, each receive
    // first waits up to timeout seconds. Codes: 0, WSR_BAD_MODE (the source
    // is not opened), WSR_SOURCE_OPEN_FAILED, WSR_TIMEOUT,
    // WSR_RECEIVE_FAILED, WSR_SOURCE_WRITE_FAILED, WSR_STOPPED
    // (ContinueReceive returned 0). Bytes written before a failure stay.
    virtual int ReceiveToSource(CIP_DataSource& source, int64_t& count, int mode, int timeout);
    // ReceiveToSource into the file at `path`.
    virtual int ReceiveFile(const char* path, int mode, int64_t& count, int timeout);
    // Progress hooks, called after every chunk with the running total:
    // 1 goes on, 0 stops. The base always goes on.
    virtual int ContinueReceive(int64_t count);
    virtual int ContinueSend(int64_t count);

    // One send of `length` bytes (a negative length sends the
    // zero-terminated text): bytes sent or -1.
    virtual int Send(const void* data, int length, int flags);
    // Sends until all is sent, a send fails or the server shuts down:
    // the bytes sent.
    virtual int SendAll(const void* data, int length, int flags);
    // Sends the text (length <= 0: all of it) as lines of at most `width`
    // characters, each followed by CR LF: the sum of the sends, or the
    // first result <= 0 at once. A width below 1 sends nothing and gives -1.
    virtual int SendWrapped(const char* text, int length, int width);
    // One receive, after waiting up to `timeout` seconds for data when
    // timeout > 0: bytes, 0 when nothing came (or the peer closed), -1 on
    // error.
    virtual int Receive(void* buffer, int size, int timeout);
    // Receives until the buffer is full, nothing arrives within the wait,
    // the peer is gone, a receive fails or the server shuts down: the bytes
    // received.
    virtual int ReceiveAll(void* buffer, int size, int timeout);
    // Reads one line ended by CR LF into `buffer` (zero-terminated), at
    // most size - 1 bytes. With timeout > 0 a line also ends when no
    // further byte arrives within timeout seconds. Bytes after the line end
    // stay in the socket, or in the read-ahead for the next call where
    // ReadsAhead allows one. Returns the bytes stored (line end included);
    // 0 when nothing came, the peer closed or the read failed.
    virtual int ReadLine(char* buffer, int size, int timeout);
    // Opens an outgoing connection to host:port (a dotted or IPv6 address,
    // or a name resolved to IPv4 with ResolveHost), waiting at most
    // `timeout` seconds when timeout >= 0. Codes: 0, WSR_ALREADY_OPEN,
    // WSR_RESOLVE_FAILED, WSR_SOCKET_FAILED, WSR_CONNECT_TIMEOUT,
    // WSR_CONNECT_FAILED, or the nonzero result of OnConnected (the socket
    // is then closed).
    virtual int Connect(int port, const char* host, int timeout, int family, int type);
    // Closes the connection (shutting it down first when
    // shutdownBeforeClose is set): 0, or 1 when a call failed. The socket
    // is gone in both cases.
    virtual int Disconnect();
    // The session body. Default: read a line (without a wait of its own)
    // and, when one came, drop further input and send
    // "Connect Successful ... Now Disconnecting.".
    virtual void Run();
    // The body of a connection refused because the server is busy. Default:
    // one receive and, when something came, "Too Many Connections, Please
    // Try Later.".
    virtual void RefuseBusy();
    // Every code-returning operation returns through here; unchanged.
    virtual int Result(int code);

    // Apply a receive or send time-out to the connection; the value is kept
    // only when the platform accepts it. 0, or -1 on failure.
    int SetReceiveTimeout(int milliseconds);
    int SetSendTimeout(int milliseconds);
    // Switches the connection's blocking mode: 0, or -1 on failure.
    int SetNonBlocking(bool on);
    // 0 when the connection became writable within the time, 1 otherwise.
    int WaitWritable(int seconds, int microseconds);
    // Drops whatever input is waiting, 256 bytes at a time.
    void DrainInput();
    // The peer's address text (dotted, or RFC 5952 for IPv6), in a
    // per-thread buffer valid until the next call on the same thread.
    const char* PeerAddressText();
    // Resolves the host part of `name` (the text after its last '@', not
    // counting the first character) to a dotted address in `out`. Codes: 0,
    // WSR_HOST_NOT_FOUND, WSR_ADDRESS_TOO_LONG.
    int ResolveHost(const char* name, char* out, int outSize);
    // 1 while the peer is connected, 0 once it has closed or reset the
    // connection or the handle is bad. Does not wait and keeps the socket's
    // blocking mode.
    int IsConnectionAlive();

    int Socket() const { return sock; }
    CIP_WSServer* Server() const { return server; }

protected:
    int SecuredSocket() const override;
    // Whether ReadLine may receive past a line end into its read-ahead:
    // one receive per line instead of a peek and a receive. Not where
    // another reader may take over the socket after a line (a TLS
    // handshake). Default: no.
    virtual bool ReadsAhead() const { return false; }

    int sock = NO_SOCKET;
    SocketAddress peerAddress;
    int listenSocket = NO_SOCKET;    // not owned
    CIP_WSServer* server = nullptr;  // not owned
    bool nonBlocking = false;
    int32_t receiveTimeout = 0;
    int32_t sendTimeout = 0;
    int32_t shutdownBeforeClose = 0;
    char hostText[ADDRESS_TEXT_SIZE] = {};

private:
    // The connection thread hands the accepted connection over.
    friend class CIP_WSServer;
    bool ServerShuttingDown() const;
    // Up to `room` bytes of what the next line may hold copied to `at`,
    // without taking them: from the read-ahead, else (after waiting up to
    // `timeout` seconds when timeout > 0) received ahead or peeked. The
    // count, or below 1 when nothing came.
    int PeekLine(char* at, int room, int timeout);
    // Gives the socket the receive time-out of a wait of `seconds` (the
    // connection's own receiveTimeout for 0) unless it has it: true when a
    // receive now waits those seconds at most.
    bool WaitInReceive(int seconds);
    // Takes the first `count` bytes that PeekLine showed (they are in `at`
    // already when taken from the read-ahead): the count taken.
    int TakeLine(char* at, int count);

    // Command lines are at most a few hundred bytes.
    char readAhead[512] = {};
    int aheadStart = 0;
    int aheadCount = 0;
    // The receive time-out the socket has (milliseconds; -1: not known).
    int32_t receiveWaitSet = -1;
};
