// A socket whose primitives run through TLS once its connection is
// secured. The control connection (CIP_WSThread) and the data connections
// (CIP_WSClient) both build on it, so their transfer loops never know
// whether TLS is on.
#pragma once

#include <memory>

#include "net/socket.h"
#include "net/tls.h"

class CIP_TlsSocket : public CIP_Socket {
public:
    // Once `stream` (its handshake done on SecuredSocket()) is handed over,
    // every send, receive and wait of that socket goes through it; shutting
    // the socket down or closing it sends close_notify first.
    void Secure(std::unique_ptr<TlsStream> stream);
    bool IsSecured() const { return tls_ != nullptr; }

    // The primitives, through TLS while the connection is secured.
    int ReceiveBytes(int socket, void* buffer, int size, int flags) override;
    int SendBytes(int socket, const void* data, int length, int flags) override;
    int HasInput(int socket) override;
    int SelectReadable(int socket, int seconds, int microseconds) override;
    int ShutdownSocket(int socket, int how) override;
    int CloseSocket(int socket) override;

protected:
    // The socket the stream covers; any other (a listening socket, say)
    // stays plain.
    virtual int SecuredSocket() const = 0;
    // The TLS stream when it covers `socket`, else null.
    TlsStream* TlsOf(int socket) const;

private:
    std::unique_ptr<TlsStream> tls_;
};
