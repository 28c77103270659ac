// TlsContext and TlsStream: the server side of the handshakes of one
// control connection and the bytes over each connection afterwards. The
// socket is non-blocking under TLS; every wait is a poll in slices of a
// second, bounded by a time-out and ended by the cancel test.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "net/socket.h"
#include "net/tls.h"
#include "net/tls_parts.h"

namespace {

constexpr int kDefaultTimeoutMs = 30000;
constexpr int kSliceMs = 1000;

// Mozilla's "intermediate" list for TLS 1.2; TLS 1.3 keeps OpenSSL's suites.
constexpr const char* kCipherList =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384:DHE-RSA-CHACHA20-POLY1305";

// A control connection may last a working day; its data connections must
// still be able to resume its session.
constexpr long kSessionLifetimeSeconds = 24 * 60 * 60;

const unsigned char kSessionIdContext[] = "tarnhold";

using Clock = std::chrono::steady_clock;

// Waits for `events` on the socket until the deadline: true when ready.
bool WaitFor(int socket, short events, Clock::time_point deadline,
             const std::function<bool()>& cancelled) {
    for (;;) {
        if (cancelled && cancelled()) return false;
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        int ready =
            PollSocket(socket, events, static_cast<int>(std::min<long long>(left, kSliceMs)));
        if (ready < 0) return false;
        if (ready == 1) return true;
    }
}

Clock::time_point DeadlineAfter(int milliseconds) {
    return Clock::now() +
           std::chrono::milliseconds(milliseconds > 0 ? milliseconds : kDefaultTimeoutMs);
}

}  // namespace

TlsPtr<SSL_CTX> NewServerContext(const TlsCredentials::Parts& credentials, std::string* error) {
    TlsPtr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()));
    bool ok = context != nullptr &&
              SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) == 1 &&
              SSL_CTX_set_cipher_list(context.get(), kCipherList) == 1 &&
              SSL_CTX_set_dh_auto(context.get(), 1) == 1 &&
              SSL_CTX_use_certificate(context.get(), credentials.certificate.get()) == 1 &&
              SSL_CTX_use_PrivateKey(context.get(), credentials.key.get()) == 1 &&
              SSL_CTX_set1_chain(context.get(), credentials.chain.get()) == 1 &&
              SSL_CTX_set_session_id_context(context.get(), kSessionIdContext,
                                             sizeof kSessionIdContext - 1) == 1;
    if (!ok) {
        if (error != nullptr) *error = "the certificate or key is refused (" + TlsErrorText() + ")";
        ERR_clear_error();
        return nullptr;
    }
    SSL_CTX_set_options(context.get(), SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(context.get(),
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_session_cache_mode(context.get(), SSL_SESS_CACHE_SERVER);
    SSL_CTX_sess_set_cache_size(context.get(), 64);
    SSL_CTX_set_timeout(context.get(), kSessionLifetimeSeconds);
    return context;
}

// --- TlsContext ---

struct TlsContext::Parts {
    std::shared_ptr<const TlsCredentials> credentials;
    TlsPtr<SSL_CTX> context;
};

struct TlsStream::Parts {
    TlsPtr<SSL> ssl;
    int socket = -1;
    int receiveMs = kDefaultTimeoutMs;
    int sendMs = kDefaultTimeoutMs;
    std::function<bool()> cancelled;
    // After a fatal error OpenSSL must not be asked again.
    bool failed = false;
    bool peerClosed = false;
};

TlsContext::TlsContext(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}

TlsContext::~TlsContext() = default;

std::unique_ptr<TlsContext> TlsContext::Create(std::shared_ptr<const TlsCredentials> credentials) {
    if (!credentials) return nullptr;
    auto parts = std::make_unique<Parts>();
    parts->context = NewServerContext(credentials->parts(), nullptr);
    if (!parts->context) return nullptr;
    parts->credentials = std::move(credentials);
    return std::unique_ptr<TlsContext>(new TlsContext(std::move(parts)));
}

std::unique_ptr<TlsStream> TlsContext::Accept(int socket, int timeoutMs,
                                              std::function<bool()> cancelled, bool mustResume) {
    ERR_clear_error();
    auto stream = std::make_unique<TlsStream::Parts>();
    stream->ssl.reset(SSL_new(parts_->context.get()));
    if (!stream->ssl || !SetSocketBlocking(socket, false) ||
        SSL_set_fd(stream->ssl.get(), socket) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    stream->socket = socket;
    stream->cancelled = std::move(cancelled);
    const auto deadline = DeadlineAfter(timeoutMs);
    for (;;) {
        const int result = SSL_accept(stream->ssl.get());
        if (result == 1) break;
        const int error = SSL_get_error(stream->ssl.get(), result);
        ERR_clear_error();
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return nullptr;
        const short events = error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        if (!WaitFor(socket, events, deadline, stream->cancelled)) return nullptr;
    }
    if (mustResume && SSL_session_reused(stream->ssl.get()) != 1) return nullptr;
    return std::make_unique<TlsStream>(std::move(stream));
}

// --- TlsStream ---

TlsStream::TlsStream(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}

TlsStream::~TlsStream() = default;

void TlsStream::SetTimeouts(int receiveMs, int sendMs) {
    parts_->receiveMs = receiveMs > 0 ? receiveMs : kDefaultTimeoutMs;
    parts_->sendMs = sendMs > 0 ? sendMs : kDefaultTimeoutMs;
}

void TlsStream::SetCancel(std::function<bool()> cancelled) {
    parts_->cancelled = std::move(cancelled);
}

int TlsStream::Receive(void* buffer, int size, bool peek) {
    Parts& p = *parts_;
    if (p.failed || buffer == nullptr || size <= 0) return -1;
    const auto deadline = DeadlineAfter(p.receiveMs);
    for (;;) {
        ERR_clear_error();
        std::size_t got = 0;
        const std::size_t want = static_cast<std::size_t>(size);
        const int ok = peek ? SSL_peek_ex(p.ssl.get(), buffer, want, &got)
                            : SSL_read_ex(p.ssl.get(), buffer, want, &got);
        if (ok == 1) return static_cast<int>(got);
        const int error = SSL_get_error(p.ssl.get(), ok);
        ERR_clear_error();
        if (error == SSL_ERROR_ZERO_RETURN) {
            p.peerClosed = true;
            return 0;
        }
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (WaitFor(p.socket, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline,
                        p.cancelled)) {
                continue;
            }
            return -1;
        }
        // A connection closed without close_notify lands here too: a cut
        // upload must not pass for a whole one.
        p.failed = true;
        return -1;
    }
}

int TlsStream::Send(const void* data, int length) {
    Parts& p = *parts_;
    if (p.failed || data == nullptr || length <= 0) return -1;
    const auto deadline = DeadlineAfter(p.sendMs);
    for (;;) {
        ERR_clear_error();
        std::size_t sent = 0;
        const int ok = SSL_write_ex(p.ssl.get(), data, static_cast<std::size_t>(length), &sent);
        if (ok == 1) return static_cast<int>(sent);
        const int error = SSL_get_error(p.ssl.get(), ok);
        ERR_clear_error();
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (WaitFor(p.socket, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline,
                        p.cancelled)) {
                continue;
            }
            return -1;
        }
        p.failed = true;
        return -1;
    }
}

bool TlsStream::HasBuffered() const {
    return !parts_->failed && SSL_pending(parts_->ssl.get()) > 0;
}

void TlsStream::Close() {
    if (parts_->failed) return;
    ERR_clear_error();
    // One call sends close_notify; the peer's answer is not waited for.
    SSL_shutdown(parts_->ssl.get());
    ERR_clear_error();
    parts_->failed = true;
}

bool TlsStream::Ended() const { return parts_->failed || parts_->peerClosed; }

const char* TlsStream::Version() const { return SSL_get_version(parts_->ssl.get()); }

bool TlsStream::Resumed() const { return SSL_session_reused(parts_->ssl.get()) == 1; }
