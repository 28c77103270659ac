// Server-side TLS for the FTP control connection and its data connections
// (explicit FTPS). The rest of the program sees only these classes; the
// OpenSSL code behind them is a module of its own (tarnhold-tls.so) that
// is loaded the first time credentials are loaded, so a server that never
// offers FTPS does not map OpenSSL at all.
//
//   TlsCredentials  the certificate and key of the settings folder, loaded
//                   once per Start and shared read-only by every session.
//   TlsContext      one control connection's TLS: its handshakes share a
//                   context of their own, so a data connection can resume
//                   only a session that this control connection handed out.
//   TlsStream       one connection after its handshake: bytes in and out.
//
// Versions TLS 1.2 and 1.3 only, no compression, no renegotiation, the
// cipher list of a current server guide (Mozilla "intermediate").
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The file names of the pair in the settings folder.
constexpr const char* kTlsCertificateName = "tarnhold.crt";
constexpr const char* kTlsKeyName = "tarnhold.key";

// Where the module is: set once at start-up, before the first Start with
// FTPS on (the executable and the desktop console find it beside the
// executable or in the program's module folder).
void SetTlsModulePath(std::string path);

class TlsCredentials {
public:
    // Loads tarnhold.crt (the certificate, optionally followed by its
    // chain, PEM) and tarnhold.key (PEM) from `folder`. When both are
    // missing, first makes a self-signed pair there (ECDSA P-256, the host
    // name as subject alternative name, ten years; the key mode 0600),
    // each written to a temporary file, synced and linked into place, so
    // that an existing file is never replaced. Null, with the reason as a
    // short sentence in `error`, when the module cannot be loaded, a file
    // is missing, unreadable, holds no usable PEM, or the key does not
    // match the certificate. Any thread; it touches only the folder's two
    // files.
    static std::shared_ptr<const TlsCredentials> LoadOrCreate(const std::string& folder,
                                                              std::string& error);

    virtual ~TlsCredentials() = default;
    TlsCredentials(const TlsCredentials&) = delete;
    TlsCredentials& operator=(const TlsCredentials&) = delete;

protected:
    TlsCredentials() = default;
};

class TlsStream;

class TlsContext {
public:
    // A context with the credentials; null when OpenSSL refuses them or
    // runs out of memory. Any thread; the context then belongs to one.
    static std::unique_ptr<TlsContext> Create(std::shared_ptr<const TlsCredentials> credentials);
    virtual ~TlsContext() = default;
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // Runs the server side of a handshake on the connected `socket`, which
    // is switched to non-blocking and stays so while the stream lives. The
    // handshake ends after `timeoutMs` (0 or less: 30 s) or as soon as
    // `cancelled` (may be empty) says so; it is asked about once a second.
    // With `mustResume`, a handshake that does not resume a session of
    // this context fails too. Null on any failure; the socket is left open
    // for its owner to close.
    virtual std::unique_ptr<TlsStream> Accept(int socket, int timeoutMs,
                                              std::function<bool()> cancelled,
                                              bool mustResume) = 0;

protected:
    TlsContext() = default;
};

class TlsStream {
public:
    // Frees the TLS state; neither sends close_notify nor closes the socket.
    virtual ~TlsStream() = default;
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // Time-outs for one Receive or Send to make progress (milliseconds;
    // 0 or less: 30 s) and the cancel test asked about once a second while
    // waiting. The handshake's cancel test stays until replaced.
    virtual void SetTimeouts(int receiveMs, int sendMs) = 0;
    virtual void SetCancel(std::function<bool()> cancelled) = 0;

    // Up to `size` decrypted bytes (`peek`: left to be read again): the
    // count, 0 once the peer has closed the TLS session with close_notify,
    // -1 on an error, a time-out, a cancellation, or a connection closed
    // without close_notify (which may be a cut).
    virtual int Receive(void* buffer, int size, bool peek) = 0;
    // Sends up to `length` bytes: the count sent (at least 1), or -1.
    virtual int Send(const void* data, int length) = 0;
    // Whether decrypted bytes wait to be read, so that the socket's own
    // readiness does not tell.
    virtual bool HasBuffered() const = 0;
    // Sends close_notify without waiting for the peer's; best effort.
    virtual void Close() = 0;
    // Whether nothing more can come: the peer closed the TLS session, an
    // error ended it, or Close was called.
    virtual bool Ended() const = 0;

    // "TLSv1.3" and the like.
    virtual const char* Version() const = 0;
    // Whether the handshake resumed an earlier session.
    virtual bool Resumed() const = 0;

protected:
    TlsStream() = default;
};

// What the executable and the module agree on: the module's file name and
// the one symbol it exports, which gives its two factories.
inline constexpr char kTlsModuleName[] = "tarnhold-tls.so";
inline constexpr char kTlsEntryName[] = "tarnhold_tls_module";
struct TlsModuleTable {
    std::shared_ptr<const TlsCredentials> (*loadOrCreate)(const std::string& folder,
                                                          std::string& error);
    std::unique_ptr<TlsContext> (*createContext)(std::shared_ptr<const TlsCredentials>);
};
using TlsModuleEntry = const TlsModuleTable* (*)();
