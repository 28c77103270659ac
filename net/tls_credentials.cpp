// TlsCredentials: the certificate and key of the settings folder, and the
// self-signed pair made there when the owner has none.
#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "net/tls.h"
#include "net/tls_parts.h"

namespace {

constexpr int kValidDays = 3650;

std::string PathIn(const std::string& folder, const char* name) {
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool Exists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 || errno != ENOENT;
}

// The whole file, or false with the reason.
bool ReadWhole(const std::string& path, const char* name, std::string& out, std::string& error) {
    int fd;
    do {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = std::string(name) + (errno == ENOENT ? " is missing" : " cannot be read (") +
                (errno == ENOENT ? "" : std::string(std::strerror(errno)) + ")");
        return false;
    }
    out.clear();
    char buffer[4096];
    // A certificate file is small; anything huge is not one.
    constexpr std::size_t kLimit = 1 << 20;
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || out.size() > kLimit) {
            error = std::string(name) + " cannot be read (" +
                    (n < 0 ? std::strerror(errno) : "it is too large") + ")";
            close(fd);
            return false;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return true;
}

TlsPtr<BIO> MemoryOf(const std::string& text) {
    return TlsPtr<BIO>(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string TextOf(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

bool WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes `data` to a temporary file in the folder and syncs it: its path,
// or empty with the reason.
std::string WriteTemporary(const std::string& folder, const char* name, const std::string& data,
                           mode_t mode, std::string& error) {
    std::string path = PathIn(folder, ".") + name + ".XXXXXX";
    int fd = mkostemp(path.data(), O_CLOEXEC);  // created 0600
    if (fd < 0) {
        error = std::string(name) + " cannot be created (" + std::strerror(errno) + ")";
        return {};
    }
    const bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, data) && fsync(fd) == 0;
    const int saved = errno;
    if (close(fd) != 0 || !ok) {
        error =
            std::string(name) + " cannot be written (" + std::strerror(ok ? errno : saved) + ")";
        unlink(path.c_str());
        return {};
    }
    return path;
}

// A new self-signed certificate and its key, as PEM texts.
bool MakePair(std::string& certificatePem, std::string& keyPem, std::string& error) {
    TlsPtr<EVP_PKEY> key(EVP_EC_gen("P-256"));
    TlsPtr<X509> certificate(X509_new());
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') std::strcpy(host, "localhost");
    const std::string altName = std::string("DNS:") + host;

    unsigned char serial[16];
    bool ok = key && certificate && RAND_bytes(serial, sizeof serial) == 1;
    if (ok) {
        serial[0] &= 0x7f;  // a positive serial number
        BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
        ok = number != nullptr &&
             BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get())) != nullptr;
        BN_free(number);
    }
    if (ok) {
        X509_NAME* name = X509_get_subject_name(certificate.get());
        ok = X509_set_version(certificate.get(), 2) == 1 &&
             X509_time_adj_ex(X509_getm_notBefore(certificate.get()), 0, 0, nullptr) != nullptr &&
             X509_time_adj_ex(X509_getm_notAfter(certificate.get()), kValidDays, 0, nullptr) !=
                 nullptr &&
             X509_set_pubkey(certificate.get(), key.get()) == 1 &&
             X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                        reinterpret_cast<const unsigned char*>(host), -1, -1,
                                        0) == 1 &&
             X509_set_issuer_name(certificate.get(), name) == 1;
    }
    if (ok) {
        X509V3_CTX v3{};
        X509V3_set_ctx_nodb(&v3);
        X509V3_set_ctx(&v3, certificate.get(), certificate.get(), nullptr, nullptr, 0);
        const std::pair<int, const char*> extensions[] = {
            {NID_subject_alt_name, altName.c_str()},
            {NID_basic_constraints, "critical,CA:FALSE"},
            {NID_key_usage, "critical,digitalSignature"},
            {NID_ext_key_usage, "serverAuth"},
            {NID_subject_key_identifier, "hash"},
        };
        for (const auto& [nid, value] : extensions) {
            X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
            ok = ok && extension != nullptr && X509_add_ext(certificate.get(), extension, -1) == 1;
            X509_EXTENSION_free(extension);
        }
    }
    ok = ok && X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0;
    TlsPtr<BIO> certificateOut(BIO_new(BIO_s_mem()));
    TlsPtr<BIO> keyOut(BIO_new(BIO_s_mem()));
    ok = ok && certificateOut && keyOut &&
         PEM_write_bio_X509(certificateOut.get(), certificate.get()) == 1 &&
         PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) ==
             1;
    if (!ok) {
        error = "a self-signed certificate cannot be made (" + TlsErrorText() + ")";
        return false;
    }
    certificatePem = TextOf(certificateOut.get());
    keyPem = TextOf(keyOut.get());
    return true;
}

// Makes the pair in the folder. Each file is linked into place, which
// fails rather than replace a file the owner put there meanwhile.
bool CreatePair(const std::string& folder, std::string& error) {
    std::string certificatePem;
    std::string keyPem;
    if (!MakePair(certificatePem, keyPem, error)) return false;
    const std::string keyTemporary = WriteTemporary(folder, kTlsKeyName, keyPem, 0600, error);
    if (keyTemporary.empty()) return false;
    const std::string certificateTemporary =
        WriteTemporary(folder, kTlsCertificateName, certificatePem, 0644, error);
    if (certificateTemporary.empty()) {
        unlink(keyTemporary.c_str());
        return false;
    }
    const std::string keyPath = PathIn(folder, kTlsKeyName);
    const std::string certificatePath = PathIn(folder, kTlsCertificateName);
    bool ok = link(keyTemporary.c_str(), keyPath.c_str()) == 0;
    if (!ok) {
        error = std::string(kTlsKeyName) + " cannot be created (" + std::strerror(errno) + ")";
    } else if (link(certificateTemporary.c_str(), certificatePath.c_str()) != 0) {
        error =
            std::string(kTlsCertificateName) + " cannot be created (" + std::strerror(errno) + ")";
        unlink(keyPath.c_str());  // ours, made a moment ago
        ok = false;
    }
    unlink(keyTemporary.c_str());
    unlink(certificateTemporary.c_str());
    if (!ok) return false;
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
    return true;
}

}  // namespace

std::string TlsErrorText() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "no details";
    const char* reason = ERR_reason_error_string(code);
    return reason != nullptr ? reason : "error " + std::to_string(code);
}

std::shared_ptr<const TlsCredentials> LoadOrCreateCredentials(const std::string& folder,
                                                              std::string& error) {
    ERR_clear_error();
    const std::string certificatePath = PathIn(folder, kTlsCertificateName);
    const std::string keyPath = PathIn(folder, kTlsKeyName);
    if (!Exists(certificatePath) && !Exists(keyPath) && !CreatePair(folder, error)) return nullptr;

    std::string certificateText;
    std::string keyText;
    if (!ReadWhole(certificatePath, kTlsCertificateName, certificateText, error) ||
        !ReadWhole(keyPath, kTlsKeyName, keyText, error)) {
        return nullptr;
    }
    auto credentials = std::make_shared<OpenSslCredentials>();
    TlsPtr<BIO> certificateIn = MemoryOf(certificateText);
    TlsPtr<BIO> keyIn = MemoryOf(keyText);
    credentials->certificate.reset(PEM_read_bio_X509(certificateIn.get(), nullptr, nullptr, nullptr));
    if (!credentials->certificate) {
        error = std::string(kTlsCertificateName) + " holds no PEM certificate";
        ERR_clear_error();
        return nullptr;
    }
    credentials->chain.reset(sk_X509_new_null());
    while (X509* next = PEM_read_bio_X509(certificateIn.get(), nullptr, nullptr, nullptr)) {
        if (credentials->chain == nullptr || sk_X509_push(credentials->chain.get(), next) == 0) X509_free(next);
    }
    ERR_clear_error();  // the end of the chain reads as an error
    // A key with a pass phrase cannot be used unattended: no prompt.
    credentials->key.reset(PEM_read_bio_PrivateKey(
        keyIn.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr));
    if (!credentials->key) {
        error = std::string(kTlsKeyName) + " holds no usable PEM private key";
        ERR_clear_error();
        return nullptr;
    }
    if (X509_check_private_key(credentials->certificate.get(), credentials->key.get()) != 1) {
        error = std::string(kTlsKeyName) + " does not match " + kTlsCertificateName;
        ERR_clear_error();
        return nullptr;
    }
    // The settings a session will use must accept them (key size, digest).
    if (!NewServerContext(*credentials, &error)) return nullptr;
    return credentials;
}
