// CIP_FTPServer: the FTP server of the process. A CIP_WSServer whose
// sessions are FTP control connections (CIP_FTPThread), holding what those
// sessions share: the accounts and options (`store`), the receiver of their
// log events (`events`) and the idle time-out.
//
// Threads: construction, destruction, Listen, Start and Stop belong to the
// owner's thread. The sessions read the store under its lock, send events
// and read the idle time-out from their connection threads.
//
// Destruction waits, without an upper limit, until every session has
// noticed the shutting-down flag (within about a second each, answering
// "500 Disconnecting") and ended. The event receiver must therefore stay
// attached and answering, or be detached, while the server is destroyed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "config/account_store.h"
#include "config/conf_keys.h"
#include "config/password_upgrader.h"
#include "engine/passive_port_range.h"
#include "engine/port_mapper.h"
#include "engine/public_address.h"
#include "engine/server_events.h"
#include "engine/transfer_log.h"
#include "engine/ws_server.h"
#include "net/tls.h"

class CIP_FTPThread;

class CIP_FTPServer : public CIP_WSServer {
public:
    // Idle time-out 60 s, low data ports refused, an empty store with the
    // default options. Owner's thread.
    CIP_FTPServer();
    // Sets the shutting-down flag, waits (polling every 500 ms) until no
    // connection is registered, ends the accept thread and joins every
    // connection thread; then the store frees all accounts and their
    // client records. Owner's thread.
    ~CIP_FTPServer() override;

    // The options, the anonymous account and the named accounts, with the
    // lock that guards them and the sessions' client records.
    AccountStore store;
    // The receiver of the sessions' log lines and status changes.
    ServerEvents events;
    // PORT refuses a data port below 1024 while this is nonzero.
    std::atomic<int> refuseLowDataPorts{1};
    // Replaces plain passwords by their hashes after a login, on a thread
    // of its own (password_storage = hashed). Destroyed before `store` and
    // `events`, which it uses.
    PasswordUpgrader passwordUpgrader{store};
    // The xferlog file of tarnhold.conf's transfer_log, set at each Start.
    // Destroyed before `events`, where it reports lost lines.
    TransferLog transferLog;
    // The ports PASV and EPSV offer, when the owner set a range.
    PassivePortRange passivePorts;
    // The address PASV announces to clients on the internet, if any. Its
    // lookups report through `events`, so it is destroyed first.
    PublicAddress publicAddress;

    // Applies the passive settings for the coming Start: the port range
    // (low 0: none) and the public address or host name (empty: none); a
    // failed lookup of the name is logged as an error. Owner's thread.
    void SetPassiveOptions(uint16_t low, uint16_t high, const std::string& address);

    // Stores the idle time-out in seconds (0 or less: no limit) under the
    // server lock. Any thread; the owner's thread in practice.
    void SetIdleTimeout(int seconds);
    // The idle time-out in seconds, read without the lock; sessions read it
    // anew for every command line they wait for. Any thread.
    int IdleTimeout() const { return idleTimeout.load(); }

    // The feature bits of the options (FEATURE_*), read under the store's
    // lock; FEATURE_TLS_REQUIRED brings FEATURE_TLS with it. Any thread;
    // sessions read them for every command line.
    uint32_t Features();

    // Waits `duration`, or less when the server's destruction begins:
    // true then. Holds no lock of the store or the listener. Connection
    // threads.
    bool WaitUnlessShuttingDown(std::chrono::milliseconds duration);

    // The settings folder: where tarnhold.crt and tarnhold.key are, where
    // hashed passwords are stored after a login, and what a relative
    // transfer_log is relative to. Empty (the default) offers no FTPS and
    // keeps upgraded passwords in memory until the next save. Owner's
    // thread, before Start.
    void SetCertificateFolder(std::string folder);
    // Takes tarnhold.conf's settings for the coming Start (passive ports
    // and address, port mapping, ipv6, transfer_log). With FTPS on, loads
    // the certificate and key for the coming Start,
    // making a self-signed pair when both files are missing; false with
    // the log line in `error` when they cannot be used. Owner's thread.
    bool PrepareToListen(std::string& error) override;
    // With port_mapping on, asks the router on a thread of its own to
    // forward `port` and the passive range; its lines go to `events`.
    // Owner's thread; returns at once.
    void ListeningStarted(uint16_t port) override;
    // Removes the router's forwardings and stops announcing its external
    // address: in the background after Stop, so the console never waits for
    // a router; waited for within a bound at Exit (see PortMapper::Stop).
    // Owner's thread.
    void ListeningStopped(bool exiting) override;
    // The credentials FTPS uses: those of the last Start, else (FTPS was
    // turned on while listening) loaded now; null when they cannot be.
    // Any thread.
    std::shared_ptr<const TlsCredentials> Credentials();

    // The password check of a login. With anonymous logins enabled, the
    // user name "anonymous" (any letter case) gives the anonymous account,
    // provided the password looks like an e-mail address when the e-mail
    // check is on. Otherwise the first enabled named account whose login
    // and password equal the given ones, ignoring letter case (a stored
    // hash is verified, which is slow: a session's login verifies hashes
    // without the lock instead, see CIP_FTPThread::LogIn). Returns the
    // account or null; `message` (may be null) receives a static text about
    // the outcome. The caller holds an AccountStore::Lock on `store` and
    // keeps it for as long as it uses the account. Any thread.
    account_s* FindAccount(const char* userName, const char* password,
                           const char** message) NO_THREAD_SAFETY_ANALYSIS;

    // The sessions' report texts: dropped. Any thread.
    void ReportText(const char* text) override;
    // Whether ReportText keeps its texts: the sessions format them only
    // then, which spares two formatted texts for every command. A server
    // that overrides ReportText overrides this too.
    virtual bool ReportsText() const { return false; }

protected:
    // With apply_limits on, "Max user limit" (0: none); otherwise the
    // fixed 20. Read from the store for every connection. Accept thread.
    ConnectionLimit CurrentConnectionLimit() override;
    // A new FTP session, or null when memory runs out. Connection threads.
    CIP_WSThread* CreateSession() override;
    // Destroys a session made by CreateSession. Connection threads.
    void ReleaseSession(CIP_WSThread* session) override;

private:
    std::atomic<int> idleTimeout{60};
    // Wakes WaitUnlessShuttingDown when the destruction begins; the mutex
    // orders setting shuttingDown against a waiter's check of it.
    std::mutex shutdownWakeMutex_;
    std::condition_variable shutdownWake_;

    // Loads the credentials of the folder: the log line in error on failure.
    std::shared_ptr<const TlsCredentials> LoadCredentials(std::string& error);

    // Held while the files are read or made, so that two sessions never
    // make a pair at once.
    std::mutex loadMutex_;
    // Guards the two fields below, briefly.
    std::mutex tlsMutex_;
    std::string certificateFolder_;
    std::shared_ptr<const TlsCredentials> credentials_;

    // Port mapping of the coming or current Start (owner's thread only):
    // whether it is on and the passive range it forwards. Declared after
    // `events` and `publicAddress`, which its reports use, so that it is
    // destroyed first.
    bool mapPorts_ = false;
    PortRange mappedRange_;
    PortMapper portMapper_;
};

// 1 when `password` looks like an e-mail address: an '@', after it a '.',
// and at least one character after that '.'. A null text gives 0.
int LooksLikeEmailAddress(const char* password);
