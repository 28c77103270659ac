// CIP_WSClient: the general socket endpoint, used for every data
// connection of an FTP session. One object holds at most a data socket
// (connected, accepted or datagram) and a listening socket at a time. It
// connects out, listens and accepts, sends and receives single buffers,
// whole files and data sources, lines and datagrams, and lets a derived
// class follow or stop a transfer through its progress and cancel hooks.
//
// An object belongs to one thread (the session that owns or embeds it);
// no operation takes a lock. Every code-returning operation returns through
// Result; codes are the WSR_* values of net/socket.h. Waits given in
// seconds are whole seconds; "wait" 0 or less means "do not wait first"
// unless an operation says otherwise.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "net/socket_address.h"
#include "net/tls_socket.h"

class CIP_DataSource;

// A source of bytes for SendReader.
class BlockReader {
public:
    virtual ~BlockReader();
    // Reads up to count bytes into buffer: the count, 0 or less at the end.
    virtual ssize_t Read(void* buffer, std::size_t count) = 0;
};

// A sink of bytes for ReceiveToWriter.
class BlockWriter {
public:
    virtual ~BlockWriter();
    // How many bytes the writer takes in all.
    virtual std::int64_t Capacity() = 0;
    // Writes count bytes from data: the count written.
    virtual ssize_t Write(const void* data, std::size_t count) = 0;
};

class CIP_WSClient : public CIP_TlsSocket {
public:
    // Both sockets closed; send and receive time-outs of 30 s.
    CIP_WSClient();
    // Disconnects.
    ~CIP_WSClient() override;
    CIP_WSClient(const CIP_WSClient&) = delete;
    CIP_WSClient& operator=(const CIP_WSClient&) = delete;

    // Opens the data socket to host:port. host is a dotted IPv4 address,
    // an IPv6 address (connected over IPv6 whatever `family` says) or a
    // name (see ResolveHost). With wait >= 0 the connect gives up after
    // wait seconds; with wait < 0 it blocks until the system decides. The
    // connected socket is bounded by the send and receive time-outs (see
    // SetDataTimeouts), then OnConnected(socket, host) may refuse it.
    // Codes: 0, WSR_ALREADY_OPEN, WSR_RESOLVE_FAILED, WSR_SOCKET_FAILED,
    // WSR_CONNECT_FAILED (refused, unreachable; also when the wait ends in
    // an error), WSR_CONNECT_TIMEOUT, or OnConnected's nonzero result. On
    // any failure the data socket is closed again.
    virtual int Connect(int port, const char* host, int wait, int family, int type);
    // Opens the data socket bound to localText:localPort (a null text binds
    // any address) and connects it, blocking, to remoteText:remotePort.
    // Codes: 0, WSR_ALREADY_OPEN, WSR_SOCKET_FAILED, WSR_BIND_FAILED,
    // WSR_CONNECT_FAILED. A socket that failed to bind or connect stays
    // open until Disconnect.
    virtual int BindAndConnect(int localPort, int remotePort, const char* localText,
                               const char* remoteText, int family, int type);
    // Opens a datagram data socket bound to localText:localPort (null: any
    // address) whose datagrams go to remoteText:remotePort. Codes: 0,
    // WSR_ALREADY_OPEN, WSR_SOCKET_FAILED, WSR_BIND_FAILED (the socket is
    // closed again).
    virtual int OpenDatagram(int localPort, int remotePort, const char* remoteText,
                             const char* localText);
    // Creates a close-on-exec socket into handle (-1 on failure): 0, or 1.
    virtual int CreateSocket(int& handle, int family, int type, int protocol);
    // Closes the data socket and the listening socket; clears the ports
    // and the host text. 0, or 1 when a close failed. Both sockets are
    // closed in every case.
    virtual int Disconnect();

    // Opens the listening socket on address:port (address in network
    // order, INADDR_ANY for all; port 0 lets the system choose) with the
    // backlog; ListenPort() then tells the port it got. With family
    // AF_INET6 it listens on [::] for IPv6 clients alone (the address is
    // not used). Codes: 0,
    // WSR_ALREADY_OPEN (the open listening socket is left alone),
    // WSR_SOCKET_FAILED, WSR_BIND_FAILED, WSR_LISTEN_FAILED. A failed
    // Listen leaves no listening socket, so another port can be tried.
    virtual int Listen(int port, int backlog, int family, std::uint32_t address);
    // 0 when a connection is waiting on the listening socket within the
    // seconds, else 1 (also without a listening socket).
    virtual int WaitForConnection(int seconds);
    // Accepts the next connection as the data socket, replacing an open
    // one, and blocks until one comes. The accepted socket is bounded by
    // the send and receive time-outs. Returns OnConnected's result (the
    // socket stays open when it refuses), or 1 when accepting failed (no
    // data socket).
    // The listening socket stays open.
    virtual int Accept();

    // One send of length bytes (0 or less: the text length of data): the
    // bytes sent, 0 on error.
    virtual int Send(const void* data, int length);
    // Sends until length bytes are out or a send returns 0: the bytes sent.
    virtual int SendAll(const void* data, int length);
    // Opens source for reading and sends all of it. The progress hook sees
    // the running total after every piece. Codes: 0, WSR_NOT_CONNECTED,
    // WSR_SOURCE_OPEN_FAILED, WSR_SEND_FAILED (a send failed or timed out),
    // WSR_FAILED (reading the source failed: the peer got only a part),
    // WSR_STOPPED (ContinueSend or IsCancelled). The source is closed again.
    virtual int SendSource(CIP_DataSource& source);
    // SendSource for a source the caller has opened for reading already.
    int SendOpenSource(CIP_DataSource& source);
    // Sends what reader yields until it reports the end. Codes: 0,
    // WSR_NOT_CONNECTED, WSR_SEND_FAILED, WSR_STOPPED.
    virtual int SendReader(BlockReader& reader);
    // Sends the text (length < 0: its text length) as lines of at most
    // width bytes, each followed by CR LF, until a send fails or IsCancelled.
    // Returns the text bytes sent (the CR LF pairs not counted); a width
    // below 1 sends nothing.
    virtual int SendWrapped(const char* text, int length, int width);
    // SendSource over the file at path.
    virtual int SendFile(const char* path);
    // Sends one datagram to the host text and remote port; length becomes
    // the count sent. Codes: 0, WSR_NOT_CONNECTED, WSR_SEND_FAILED.
    virtual int SendDatagram(const void* data, int& length);
    // 0 when the data socket is writable within the time, else 1.
    virtual int WaitWritable(int seconds, int microseconds);

    // One receive, after waiting up to wait seconds for data when wait > 0:
    // the bytes, 0 when the peer has closed or nothing came, -1 on error
    // (also when the receive time-out passed).
    virtual int Receive(void* buffer, int size, int wait);
    // Receives until size bytes came, the wait passes (wait > 0), the peer
    // closes or a receive fails: the bytes received.
    virtual int ReceiveAll(void* buffer, int size, int wait);
    // Opens source in mode (OPEN_CREATE or OPEN_APPEND) and writes what
    // arrives until the peer closes, or until limit bytes (limit > 0).
    // With wait > 0 each piece is waited for at most wait seconds. Codes: 0,
    // WSR_NOT_CONNECTED, WSR_BAD_MODE (the source is left alone),
    // WSR_SOURCE_OPEN_FAILED, WSR_TIMEOUT, WSR_RECEIVE_FAILED,
    // WSR_SOURCE_WRITE_FAILED, WSR_STOPPED. What was written stays.
    virtual int ReceiveToSource(CIP_DataSource& source, int mode, int wait, std::int64_t limit);
    // ReceiveToSource into writer without opening or closing anything; the
    // limit is the writer's capacity when limit is 0 or less or not below
    // it. Codes as ReceiveToSource, less the open and mode codes.
    virtual int ReceiveToWriter(BlockWriter& writer, int wait, std::int64_t limit);
    // ReceiveToSource into the file at path, without a byte limit.
    virtual int ReceiveFile(const char* path, int mode, int wait);
    // Reads one line ending in LF into buffer (zero-terminated, CR and LF
    // kept), at most size - 1 bytes, leaving every byte after the LF in
    // the socket. Stops early when the peer closes, a receive fails, the
    // wait passes (wait > 0) or IsCancelled. Returns the bytes stored.
    virtual int ReadLine(char* buffer, int size, int wait);
    // Drops the input that is waiting. Result(0).
    virtual int DrainInput();
    // Receives one datagram, waiting up to wait seconds (0 polls); the
    // sender goes to RemoteAddress(), size becomes the count. Codes: 0,
    // WSR_NOT_CONNECTED, WSR_TIMEOUT, WSR_RECEIVE_FAILED.
    virtual int ReceiveDatagram(void* buffer, int& size, int wait);
    // 0 when the data socket is readable within the time, else 1.
    virtual int WaitReadable(int seconds, int microseconds);

    // Every code-returning operation returns through here; unchanged.
    virtual int Result(int code);
    // Progress hooks, called after every piece of a transfer with the
    // running total: nonzero goes on, 0 stops the transfer (WSR_STOPPED).
    // The base goes on unless IsCancelled.
    virtual int ContinueReceive(std::int64_t total);
    virtual int ContinueSend(std::int64_t total);
    // Nonzero stops transfers and line reads. The base never cancels.
    virtual int IsCancelled();

    // Beyond the slot table:

    // Accept, but only a connection from the host of `peer` (either
    // family; its port does not count): any other is closed at once and
    // the wait goes on. Waits at most seconds in all, however many other
    // connections come. Returns OnConnected's result as Accept does,
    // WSR_TIMEOUT when no connection from the peer came in time,
    // WSR_FAILED without a listening socket or when accepting failed.
    virtual int AcceptFrom(const SocketAddress& peer, int seconds);
    // The same for an IPv4 peer (network order).
    int AcceptFrom(std::uint32_t peerAddress, int seconds);

    // TLS on the data socket: once `stream` (its handshake done on
    // Socket()) is handed over, every send, receive and wait of the data
    // socket goes through it, file transfers included, until Disconnect,
    // which sends close_notify first.
    void Secure(std::unique_ptr<TlsStream> stream);

    // The time-outs (milliseconds, 0 for none) that bound the data socket
    // of every later connect, accept and datagram open. No system call. A
    // stream socket gets them with its first blocking send or receive, so
    // a download that waits in poll() and never blocks makes no call for
    // them; a datagram socket gets them at once.
    void SetDataTimeouts(int sendMilliseconds, int receiveMilliseconds);
    // Apply a time-out to the open data socket; the field is updated only
    // when the system accepts it. 0, or -1.
    int SetReceiveTimeout(int milliseconds);
    int SetSendTimeout(int milliseconds);
    // Switches the data socket's blocking mode: 0, or 1.
    int SetNonBlocking(bool on);
    // Resolves the host part of text (after its last '@', never the first
    // character) to the dotted form of its first IPv4 address in out.
    // Codes: 0, WSR_HOST_NOT_FOUND, WSR_ADDRESS_TOO_LONG (does not fit size).
    int ResolveHost(const char* text, char* out, int size);
    // 1 when text is a dotted IPv4 address, else 0.
    static int IsDottedAddress(const char* text);

    int Socket() const { return sock; }
    int ListenSocket() const { return listenSocket; }
    int RemotePort() const { return remotePort; }
    int LocalPort() const { return localPort; }
    int ListenPort() const { return listenPort; }
    const char* HostText() const { return hostText; }
    // The IPv4 peer of the data socket (zeros for an IPv6 one).
    const sockaddr_in& RemoteAddress() const { return remoteAddress; }
    int SendTimeout() const { return sendTimeout; }
    int ReceiveTimeout() const { return receiveTimeout; }

protected:
    int SecuredSocket() const override;

    std::int32_t remotePort = 0;
    std::int32_t localPort = 0;
    std::int32_t listenPort = 0;
    char hostText[ADDRESS_TEXT_SIZE] = {};
    std::int32_t listenProtocol = 0;
    std::int32_t family = AF_INET;
    std::int32_t socketType = 1;  // SOCK_STREAM
    int sock = NO_SOCKET;
    sockaddr_in remoteAddress{};
    int listenSocket = NO_SOCKET;
    sockaddr_in listenAddress{};
    std::int32_t sendTimeout = 30000;
    std::int32_t receiveTimeout = 30000;
    // The data socket does not have the time-outs yet (ApplyOwedTimeouts).
    bool timeoutsOwed = false;

    // The funnel of every send and receive: a blocking one on the data
    // socket applies the time-outs it still owes first.
    int ReceiveBytes(int socket, void* buffer, int size, int flags) override;
    int SendBytes(int socket, const void* data, int length, int flags) override;

private:
    // Sets the time-outs on the data socket if it does not have them yet.
    void ApplyOwedTimeouts();
    // Closes the data socket: true when the close succeeded.
    bool CloseDataSocket();
    // Takes over an accepted connection as the data socket.
    int AdoptAccepted(int handle, const sockaddr_storage& peer);
    // Sends all count bytes: the bytes sent before a send failed.
    std::size_t SendWhole(const char* data, std::size_t count);
    // The same with sends that never block, waiting for room between
    // them: WSR_OK, or WaitForRoom's code, or WSR_SEND_FAILED.
    int SendWaiting(const char* data, std::size_t count);
    // Waits until the data socket can take more bytes: WSR_OK, WSR_STOPPED
    // when the transfer is cancelled meanwhile, WSR_SEND_FAILED when the
    // send time-out passes without room or the wait fails.
    int WaitForRoom();
    // The stop test after each piece of a send.
    bool SendGoesOn(std::int64_t total);
    bool ReceiveGoesOn(std::int64_t total);
};
