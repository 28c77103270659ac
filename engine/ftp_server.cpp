#include "engine/ftp_server.h"

#include <strings.h>

#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "config/password_hash.h"
#include "config/settings.h"
#include "engine/ftp_thread.h"

CIP_FTPServer::CIP_FTPServer() = default;

CIP_FTPServer::~CIP_FTPServer() {
    // Sessions see the flag within about a second and end; connections
    // accepted meanwhile are closed at once by their connection threads.
    {
        std::lock_guard<std::mutex> guard(shutdownWakeMutex_);
        shuttingDown.store(true);
    }
    shutdownWake_.notify_all();
    while (ClientCount() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // The sessions use the store and the events, which go with this object.
    ShutdownAndWait();
}

void CIP_FTPServer::SetIdleTimeout(int seconds) {
    CIP_CriticalSection guard(&lock);
    idleTimeout.store(seconds);
}

bool CIP_FTPServer::WaitUnlessShuttingDown(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> guard(shutdownWakeMutex_);
    return shutdownWake_.wait_for(guard, duration, [this] { return shuttingDown.load(); });
}

uint32_t CIP_FTPServer::Features() {
    AccountStore::Lock guard(store);
    const uint32_t features = store.options.features;
    return (features & FEATURE_TLS_REQUIRED) != 0 ? features | FEATURE_TLS : features;
}

void CIP_FTPServer::SetCertificateFolder(std::string folder) {
    if (!folder.empty()) {
        passwordUpgrader.SetFiles(SettingsFilesIn(folder), [this](const std::string& line) {
            events.Send(line.c_str(), EVENT_LOG_ERROR);
        });
    }
    std::lock_guard<std::mutex> guard(tlsMutex_);
    certificateFolder_ = std::move(folder);
}

std::shared_ptr<const TlsCredentials> CIP_FTPServer::LoadCredentials(std::string& error) {
    std::lock_guard<std::mutex> loading(loadMutex_);
    std::string folder;
    {
        std::lock_guard<std::mutex> guard(tlsMutex_);
        folder = certificateFolder_;
    }
    std::string reason = "no settings folder is known";
    auto credentials = folder.empty() ? nullptr : TlsCredentials::LoadOrCreate(folder, reason);
    if (!credentials) {
        error = "Could not load the FTPS certificate and key in " + folder + ": " + reason;
    }
    return credentials;
}

void CIP_FTPServer::SetPassiveOptions(uint16_t low, uint16_t high, const std::string& address) {
    passivePorts.Set(low, high);
    publicAddress.Set(address, [this](const std::string& line) {
        events.Send(line.c_str(), EVENT_LOG_ERROR);
    });
}

bool CIP_FTPServer::PrepareToListen(std::string& error) {
    // tarnhold.conf's settings apply from one Start to the next.
    const ConfValues conf = store.ConfSnapshot();
    // A router forwards ports one by one, so mapping needs a range of its
    // own when the owner set none.
    const PortRange ports = conf.passivePorts.value_or(
        conf.portMapping ? PortRange{kMappedPassiveLow, kMappedPassiveHigh} : PortRange{});
    SetPassiveOptions(ports.low, ports.high, conf.passiveAddress);
    mapPorts_ = conf.portMapping;
    SetIPv6(conf.ipv6);
    mappedRange_ = ports;
    std::string logPath = conf.transferLog;
    if (!logPath.empty() && logPath.front() != '/') {
        std::lock_guard<std::mutex> guard(tlsMutex_);
        if (!certificateFolder_.empty()) logPath = certificateFolder_ + "/" + logPath;
    }
    transferLog.SetPath(
        logPath, [this](const std::string& line) { events.Send(line.c_str(), EVENT_LOG_ERROR); });
    // A Start reads the files afresh, so the owner's new pair is taken up.
    std::shared_ptr<const TlsCredentials> credentials;
    if ((Features() & FEATURE_TLS) != 0) {
        credentials = LoadCredentials(error);
        if (!credentials) return false;
    }
    std::lock_guard<std::mutex> guard(tlsMutex_);
    credentials_ = std::move(credentials);
    return true;
}

void CIP_FTPServer::ListeningStarted(uint16_t port) {
    if (!mapPorts_) return;
    portMapper_.Start(
        PortsToMap(port, mappedRange_.low, mappedRange_.high),
        [this](const std::string& line, bool error) {
            events.Send(line.c_str(), error ? EVENT_LOG_ERROR : EVENT_LOG_TEXT);
        },
        [this](uint32_t address) { publicAddress.SetFromRouter(address); });
}

void CIP_FTPServer::ListeningStopped(bool exiting) {
    portMapper_.Stop(exiting);
    publicAddress.SetFromRouter(0);
}

std::shared_ptr<const TlsCredentials> CIP_FTPServer::Credentials() {
    {
        std::lock_guard<std::mutex> guard(tlsMutex_);
        if (credentials_) return credentials_;
    }
    // Loaded outside the lock: making a key takes a moment.
    std::string error;
    auto credentials = LoadCredentials(error);
    if (!credentials) return nullptr;
    std::lock_guard<std::mutex> guard(tlsMutex_);
    if (!credentials_) credentials_ = credentials;
    return credentials_;
}

int LooksLikeEmailAddress(const char* password) {
    if (password == nullptr) return 0;
    const char* at = std::strchr(password, '@');
    if (at == nullptr) return 0;
    const char* dot = std::strchr(at, '.');
    if (dot == nullptr) return 0;
    return dot[1] != '\0' ? 1 : 0;
}

account_s* CIP_FTPServer::FindAccount(const char* userName, const char* password,
                                      const char** message) {
    const char* outcome = "Password not accepted";
    account_s* found = nullptr;
    if (userName == nullptr || password == nullptr) {
        // nothing can match
    } else if (store.anonymous.enabled != 0 && strcasecmp(userName, "anonymous") == 0) {
        if (store.options.anonemailcheck == 0 || LooksLikeEmailAddress(password)) {
            outcome = "Password OK";
            found = &store.anonymous;
        } else {
            outcome = "Please send correct e-mail address as password";
        }
    } else {
        for (account_s* a = store.accounts.head; a != nullptr; a = a->next) {
            if (a->enabled != 0 && strcasecmp(a->login, userName) == 0 &&
                PasswordMatches(
                    std::string_view(a->password, strnlen(a->password, sizeof a->password)),
                    password)) {
                outcome = "Password is OK";
                found = a;
                break;
            }
        }
    }
    if (message != nullptr) *message = outcome;
    return found;
}

CIP_WSServer::ConnectionLimit CIP_FTPServer::CurrentConnectionLimit() {
    const auto [applied, limit] = store.AppliedUserLimit();
    return {applied, limit};
}

void CIP_FTPServer::ReportText(const char*) {}

CIP_WSThread* CIP_FTPServer::CreateSession() { return new (std::nothrow) CIP_FTPThread(this); }

void CIP_FTPServer::ReleaseSession(CIP_WSThread* session) { delete session; }
