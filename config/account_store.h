// AccountStore: the server options, the anonymous account, the named
// accounts and the settings of tarnhold.conf, shared by the window thread
// and the session threads under one lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/conf_file.h"
#include "config/conf_keys.h"
#include "config/records.h"
#include "net/thread_annotations.h"

// Display name of the built-in public account.
inline constexpr char ANONYMOUS_ACCOUNT_NAME[] = "Public FTP Account";

// A plain password replaced by its hash in memory, whose copies in the
// settings files are still to be replaced (StorePasswordUpgrades).
struct PasswordUpgrade {
    std::string login;
    std::string plain;
    std::string hash;
};

// A std::mutex that clang's thread-safety analysis knows as a lock.
class CAPABILITY("mutex") AccountMutex {
public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

// Owns `options`, `anonymous`, `accounts`, `conf` and `confValues`. One
// lock guards all of them: the account list, every account's fields, its
// `paths` and its `clients`, and tarnhold.conf's lines and values.
// Hold it through AccountStore::Lock, for short bounded work only: nothing
// waits for another thread, sends on a socket or touches a file while
// holding it.
//
// Lifetime of an account in use: every logged-in session holds exactly one
// client_s in its account's `clients`, so `clients.count` is the number of
// sessions that use it. DeleteAccount unlinks an account from `accounts`;
// it is freed at once when no session uses it, otherwise when the last of
// its sessions ends (EndSession / ReleaseClient). A session may therefore
// keep its account_s* and client_s* for as long as its client record is in
// that account, and must drop both once it has released the record.
//
// Login is one locked walk: take the Lock, find the account in `accounts`
// (or take `anonymous`), copy what the session needs (home, login message),
// ReleaseClient of an earlier login, then BeginSession, all under the same
// Lock, so the account cannot be deleted between finding it and using it.
class AccountStore {
public:
    // Scoped lock of the store: every access to the records holds one.
    // Not recursive: the operations marked EXCLUDES take it themselves.
    class SCOPED_CAPABILITY Lock {
    public:
        explicit Lock(AccountStore& store) ACQUIRE(store.mutex_) : store_(store) {
            store_.mutex_.lock();
        }
        ~Lock() RELEASE() { store_.mutex_.unlock(); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        AccountStore& store_;
    };

    // Options and anonymous account get their defaults; the anonymous
    // account is named "Public FTP Account" and has no accessible path.
    AccountStore();
    // Frees every account, retired ones included. Call only when no
    // session runs any more.
    ~AccountStore();
    AccountStore(const AccountStore&) = delete;
    AccountStore& operator=(const AccountStore&) = delete;

    srvropt_s options GUARDED_BY(mutex_);
    // Not an element of `accounts`; never deleted.
    account_s anonymous GUARDED_BY(mutex_);
    // Walk freely under the Lock. Add only through AddAccount and remove
    // only through DeleteAccount / DeleteAllAccounts, never with
    // accounts.Remove or accounts.Clear, which would free accounts in use.
    LinkedList<account_s> accounts GUARDED_BY(mutex_);
    // tarnhold.conf as read (written back line for line, hand edits
    // included) and the values its keys give. Change a key through
    // SetConfValue(conf, confValues, ...), which keeps the two in step.
    ConfFile conf GUARDED_BY(mutex_);
    ConfValues confValues GUARDED_BY(mutex_);
    // Plain passwords replaced by their hashes since the settings files
    // were last brought in step (settings.h: StorePasswordUpgrades).
    std::vector<PasswordUpgrade> upgradedPasswords GUARDED_BY(mutex_);

    // --- window thread (account manager, settings load) ---

    // Appends a named account with the new-account defaults and returns it.
    // Throws std::bad_alloc when memory runs out, changing nothing.
    account_s* AddAccount() REQUIRES(mutex_);

    // Removes a named account from `accounts`; it is freed now, or when
    // its last session ends. Returns 0, or 1 (changing nothing) when the
    // account is not in `accounts` (null, the anonymous account, already
    // deleted).
    int DeleteAccount(account_s* account) REQUIRES(mutex_);

    // DeleteAccount for every named account (the settings loader starts
    // from an empty list this way).
    void DeleteAllAccounts() REQUIRES(mutex_);

    // --- session threads ---

    // Appends a client record to `account`'s clients with the client's
    // address (cut to 263 characters) and state CLIENT_IDLE, and returns
    // it. `account` must be `anonymous` or in `accounts`. Throws
    // std::bad_alloc when memory runs out, changing nothing.
    client_s* BeginSession(account_s* account, std::string_view address) REQUIRES(mutex_);

    // Removes `client` from `account`'s clients; frees a deleted account
    // whose last client it was. Afterwards the session must not use either
    // pointer. Returns 0, or 1 (changing nothing) when `client` is not in
    // that account's list.
    int ReleaseClient(account_s* account, client_s* client) REQUIRES(mutex_);

    // Whether a login to `account` by a session holding `own` (its record
    // from an earlier login, or null) would pass the account's "Max
    // logins": always with apply_limits off or maxlogins 0; otherwise
    // while fewer than maxlogins records other than `own` are in it.
    // Asked in the same hold of the lock as the BeginSession it permits.
    bool HasLoginPlace(const account_s* account, const client_s* own) REQUIRES(mutex_);

    // The idle time-out in seconds that `account` sets for its logged-in
    // sessions: its "Timeout interval" with apply_limits on, 0 (the
    // server's) otherwise. The session's client record must be in it.
    uint32_t AccountIdleTimeout(const account_s* account) EXCLUDES(mutex_);

    // ReleaseClient under the store's lock, for a session's end.
    int EndSession(account_s* account, client_s* client) EXCLUDES(mutex_);

    // Sets a session's state (CLIENT_IDLE .. CLIENT_UPLOAD) under the lock,
    // with the name of what it moves (cut to the record's field; empty when
    // idle); the byte counts start again at 0 of an unknown size.
    void SetClientState(client_s* client, uint32_t state,
                        std::string_view transferName = {}) EXCLUDES(mutex_);

    // --- window thread (status view) ---

    // Asks the session of `client` to end: it answers "500 Disconnecting"
    // at its next wait, stopping a transfer in progress, and ends as when
    // its client leaves. Returns 0, or 1 when no account (retired ones
    // included) holds `client` any more, since the session has ended.
    int RequestDisconnect(const client_s* client) EXCLUDES(mutex_);

    // account->paths.GetPermissions(path) under the lock: the flags that
    // apply to the path, or -1. The session's client record must be in
    // `account`.
    int32_t GetPermissions(const account_s* account, std::string_view path) EXCLUDES(mutex_);

    // --- any thread ---

    // A copy of `confValues` under the lock, for a reader that uses them
    // without holding it (Start, a session's PASV).
    ConfValues ConfSnapshot() EXCLUDES(mutex_);

    // "Max user limit" when apply_limits is on: {true, maxusers}; else
    // {false, 0}. The listener asks it for every new connection.
    std::pair<bool, uint32_t> AppliedUserLimit() EXCLUDES(mutex_);

    // Number of deleted accounts still kept alive by their sessions.
    int32_t RetiredCount() EXCLUDES(mutex_);

private:
    AccountMutex mutex_;
    // Deleted accounts that sessions still use; each leaves when its last
    // client record does.
    LinkedList<account_s> retired_ GUARDED_BY(mutex_);
};
