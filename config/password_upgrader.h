// PasswordUpgrader: replaces a named account's plain password by its hash
// after a successful login, while password_storage says hashed, on a
// thread of its own: the session that logged in never waits for the
// hashing or for the disk.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "config/settings.h"

class AccountStore;

class PasswordUpgrader {
public:
    // Reports a failed write of the settings files (one line for the
    // owner's log); called on the upgrader's thread.
    using Report = std::function<void(const std::string& line)>;

    explicit PasswordUpgrader(AccountStore& store);
    // Finishes the upgrade in progress, drops those not begun (their plain
    // passwords stay, and are upgraded at a later login) and joins.
    ~PasswordUpgrader();
    PasswordUpgrader(const PasswordUpgrader&) = delete;
    PasswordUpgrader& operator=(const PasswordUpgrader&) = delete;

    // The settings files the upgrades are written to; none (the default):
    // the upgrades stay in memory, and the next save writes them. Any
    // thread.
    void SetFiles(const SettingsFiles& files, Report report);

    // Asks for the plain password `plain` of the named accounts whose login
    // is `login` (byte for byte) to be replaced by its hash: in the store
    // under its lock, if it still holds that text, and then in the settings
    // files (StorePasswordUpgrades). Returns at once. Session threads.
    void Request(std::string login, std::string plain);

    // Waits until every request made so far has been carried out. Tests.
    void WaitIdle();

private:
    struct Job {
        std::string login;
        std::string plain;
    };
    void Run();
    void Upgrade(const Job& job);

    AccountStore& store_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Job> jobs_;
    bool busy_ = false;
    bool stopping_ = false;
    SettingsFiles files_;
    Report report_;
    std::thread thread_;
};
