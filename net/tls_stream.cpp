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

TlsPtr<SSL_CTX> NewServerContext(const OpenSslCredentials& credentials, std::string* error) {
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

namespace {

class OpenSslStream final : public TlsStream {
public:
    void SetTimeouts(int receiveMs, int sendMs) override;
    void SetCancel(std::function<bool()> cancelled) override;
    int Receive(void* buffer, int size, bool peek) override;
    int Send(const void* data, int length) override;
    bool HasBuffered() const override;
    void Close() override;
    bool Ended() const override { return failed_ || peerClosed_; }
    const char* Version() const override { return SSL_get_version(ssl_.get()); }
    bool Resumed() const override { return SSL_session_reused(ssl_.get()) == 1; }

private:
    friend class OpenSslContext;
    TlsPtr<SSL> ssl_;
    int socket_ = -1;
    int receiveMs_ = kDefaultTimeoutMs;
    int sendMs_ = kDefaultTimeoutMs;
    std::function<bool()> cancelled_;
    // After a fatal error OpenSSL must not be asked again.
    bool failed_ = false;
    bool peerClosed_ = false;
};

class OpenSslContext final : public TlsContext {
public:
    OpenSslContext(std::shared_ptr<const TlsCredentials> credentials, TlsPtr<SSL_CTX> context)
        : credentials_(std::move(credentials)), context_(std::move(context)) {}
    std::unique_ptr<TlsStream> Accept(int socket, int timeoutMs, std::function<bool()> cancelled,
                                      bool mustResume) override;

private:
    std::shared_ptr<const TlsCredentials> credentials_;
    TlsPtr<SSL_CTX> context_;
};

std::unique_ptr<TlsStream> OpenSslContext::Accept(int socket, int timeoutMs,
                                                  std::function<bool()> cancelled,
                                                  bool mustResume) {
    ERR_clear_error();
    auto stream = std::make_unique<OpenSslStream>();
    stream->ssl_.reset(SSL_new(context_.get()));
    if (!stream->ssl_ || !SetSocketBlocking(socket, false) ||
        SSL_set_fd(stream->ssl_.get(), socket) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    // A data connection only resumes the control connection's session, so
    // it hands out no TLS 1.3 session tickets: a client that uploads never
    // reads them, and closing a socket with unread bytes sends a reset,
    // which throws away upload data this side has not read yet.
    if (mustResume && SSL_set_num_tickets(stream->ssl_.get(), 0) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    stream->socket_ = socket;
    stream->cancelled_ = std::move(cancelled);
    const auto deadline = DeadlineAfter(timeoutMs);
    for (;;) {
        const int result = SSL_accept(stream->ssl_.get());
        if (result == 1) break;
        const int error = SSL_get_error(stream->ssl_.get(), result);
        ERR_clear_error();
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return nullptr;
        const short events = error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        if (!WaitFor(socket, events, deadline, stream->cancelled_)) return nullptr;
    }
    if (mustResume && SSL_session_reused(stream->ssl_.get()) != 1) return nullptr;
    return stream;
}

void OpenSslStream::SetTimeouts(int receiveMs, int sendMs) {
    receiveMs_ = receiveMs > 0 ? receiveMs : kDefaultTimeoutMs;
    sendMs_ = sendMs > 0 ? sendMs : kDefaultTimeoutMs;
}

void OpenSslStream::SetCancel(std::function<bool()> cancelled) { cancelled_ = std::move(cancelled); }

int OpenSslStream::Receive(void* buffer, int size, bool peek) {
    if (failed_ || buffer == nullptr || size <= 0) return -1;
    const auto deadline = DeadlineAfter(receiveMs_);
    for (;;) {
        ERR_clear_error();
        std::size_t got = 0;
        const std::size_t want = static_cast<std::size_t>(size);
        const int ok = peek ? SSL_peek_ex(ssl_.get(), buffer, want, &got)
                            : SSL_read_ex(ssl_.get(), buffer, want, &got);
        if (ok == 1) return static_cast<int>(got);
        const int error = SSL_get_error(ssl_.get(), ok);
        ERR_clear_error();
        if (error == SSL_ERROR_ZERO_RETURN) {
            peerClosed_ = true;
            return 0;
        }
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (WaitFor(socket_, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline,
                        cancelled_)) {
                continue;
            }
            return -1;
        }
        // A connection closed without close_notify lands here too: a cut
        // upload must not pass for a whole one.
        failed_ = true;
        return -1;
    }
}

int OpenSslStream::Send(const void* data, int length) {
    if (failed_ || data == nullptr || length <= 0) return -1;
    const auto deadline = DeadlineAfter(sendMs_);
    for (;;) {
        ERR_clear_error();
        std::size_t sent = 0;
        const int ok = SSL_write_ex(ssl_.get(), data, static_cast<std::size_t>(length), &sent);
        if (ok == 1) return static_cast<int>(sent);
        const int error = SSL_get_error(ssl_.get(), ok);
        ERR_clear_error();
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (WaitFor(socket_, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline,
                        cancelled_)) {
                continue;
            }
            return -1;
        }
        failed_ = true;
        return -1;
    }
}

bool OpenSslStream::HasBuffered() const { return !failed_ && SSL_pending(ssl_.get()) > 0; }

void OpenSslStream::Close() {
    if (failed_) return;
    ERR_clear_error();
    // One call sends close_notify; the peer's answer is not waited for.
    SSL_shutdown(ssl_.get());
    ERR_clear_error();
    failed_ = true;
}

}  // namespace

std::unique_ptr<TlsContext> CreateContext(std::shared_ptr<const TlsCredentials> credentials) {
    if (!credentials) return nullptr;
    // The module made every credentials object there is.
    const auto& loaded = static_cast<const OpenSslCredentials&>(*credentials);
    TlsPtr<SSL_CTX> context = NewServerContext(loaded, nullptr);
    if (!context) return nullptr;
    return std::make_unique<OpenSslContext>(std::move(credentials), std::move(context));
}
