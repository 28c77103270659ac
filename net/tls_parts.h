// The OpenSSL objects behind net/tls.h, shared by the TLS module's files
// only. Nothing outside the module includes this header.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <functional>
#include <memory>

#include "net/tls.h"

struct TlsFree {
    void operator()(X509* p) const { X509_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
    void operator()(SSL* p) const { SSL_free(p); }
    void operator()(BIO* p) const { BIO_free_all(p); }
};
template <typename T>
using TlsPtr = std::unique_ptr<T, TlsFree>;

// The only kind of credentials there is: the module makes them all.
class OpenSslCredentials final : public TlsCredentials {
public:
    TlsPtr<X509> certificate;
    TlsPtr<STACK_OF(X509)> chain;  // may be empty
    TlsPtr<EVP_PKEY> key;
};

// A server context with the credentials and the protocol settings. Null
// when OpenSSL refuses them; `error` then says why (may be null).
TlsPtr<SSL_CTX> NewServerContext(const OpenSslCredentials& credentials, std::string* error);

// The module's two factories (TlsModule in net/tls.h).
std::shared_ptr<const TlsCredentials> LoadOrCreateCredentials(const std::string& folder,
                                                              std::string& error);
std::unique_ptr<TlsContext> CreateContext(std::shared_ptr<const TlsCredentials> credentials);

// The last OpenSSL error as a short text, the queue cleared.
std::string TlsErrorText();
