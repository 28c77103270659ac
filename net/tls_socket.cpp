#include "net/tls_socket.h"

#include <sys/socket.h>

#include <utility>

void CIP_TlsSocket::Secure(std::unique_ptr<TlsStream> stream) { tls_ = std::move(stream); }

TlsStream* CIP_TlsSocket::TlsOf(int socket) const {
    return tls_ != nullptr && socket >= 0 && socket == SecuredSocket() ? tls_.get() : nullptr;
}

int CIP_TlsSocket::ReceiveBytes(int socket, void* buffer, int size, int flags) {
    TlsStream* tls = TlsOf(socket);
    if (tls == nullptr) return CIP_Socket::ReceiveBytes(socket, buffer, size, flags);
    return tls->Receive(buffer, size, (flags & MSG_PEEK) != 0);
}

int CIP_TlsSocket::SendBytes(int socket, const void* data, int length, int flags) {
    TlsStream* tls = TlsOf(socket);
    if (tls == nullptr) return CIP_Socket::SendBytes(socket, data, length, flags);
    return tls->Send(data, length);
}

int CIP_TlsSocket::HasInput(int socket) {
    TlsStream* tls = TlsOf(socket);
    if (tls != nullptr && tls->HasBuffered()) return 1;
    return CIP_Socket::HasInput(socket);
}

int CIP_TlsSocket::SelectReadable(int socket, int seconds, int microseconds) {
    // Bytes already decrypted would never wake the socket. An ended stream
    // answers at once (its next receive gives the end), so the end is
    // learnt without waiting.
    TlsStream* tls = TlsOf(socket);
    if (tls != nullptr && (tls->HasBuffered() || tls->Ended())) return 0;
    return CIP_Socket::SelectReadable(socket, seconds, microseconds);
}

int CIP_TlsSocket::ShutdownSocket(int socket, int how) {
    // close_notify must go out before the connection is shut down.
    if (TlsStream* tls = TlsOf(socket)) tls->Close();
    return CIP_Socket::ShutdownSocket(socket, how);
}

int CIP_TlsSocket::CloseSocket(int socket) {
    if (TlsStream* tls = TlsOf(socket)) {
        tls->Close();
        tls_.reset();
    }
    return CIP_Socket::CloseSocket(socket);
}
