#include "config/password_upgrader.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "config/account_store.h"
#include "config/password_hash.h"
#include "net/text.h"

namespace {

// Requests beyond this wait for a later login: each holds a password in
// memory, and a flood of logins must not grow the queue without bound.
constexpr std::size_t kMostPending = 256;

}  // namespace

PasswordUpgrader::PasswordUpgrader(AccountStore& store) : store_(store) {}

PasswordUpgrader::~PasswordUpgrader() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
        jobs_.clear();
        thread = std::move(thread_);
    }
    wake_.notify_all();
    if (thread.joinable()) thread.join();
}

void PasswordUpgrader::SetFiles(const SettingsFiles& files, Report report) {
    std::lock_guard<std::mutex> guard(mutex_);
    files_ = files;
    report_ = std::move(report);
}

void PasswordUpgrader::Request(std::string login, std::string plain) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (stopping_ || jobs_.size() >= kMostPending) return;
        for (const Job& job : jobs_) {
            if (job.login == login && job.plain == plain) return;
        }
        jobs_.push_back({std::move(login), std::move(plain)});
        // Started with the first request: most servers never need it.
        if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    }
    wake_.notify_one();
}

void PasswordUpgrader::WaitIdle() {
    std::unique_lock<std::mutex> guard(mutex_);
    idle_.wait(guard, [this] { return jobs_.empty() && !busy_; });
}

void PasswordUpgrader::Run() {
    std::unique_lock<std::mutex> guard(mutex_);
    for (;;) {
        wake_.wait(guard, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_) break;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        busy_ = true;
        guard.unlock();
        Upgrade(job);
        guard.lock();
        busy_ = false;
        if (jobs_.empty()) idle_.notify_all();
    }
    busy_ = false;
    idle_.notify_all();
}

void PasswordUpgrader::Upgrade(const Job& job) NO_THREAD_SAFETY_ANALYSIS {
    std::optional<std::string> hash = HashPassword(job.plain);
    if (!hash) return;
    bool replaced = false;
    {
        AccountStore::Lock lock(store_);
        // Only while the password is still the one that logged in: the
        // owner may have set another meanwhile.
        for (account_s* a = store_.accounts.head; a != nullptr; a = a->next) {
            if (job.login == a->login && job.plain == a->password) {
                CopyText(a->password, *hash);
                replaced = true;
            }
        }
        if (replaced) store_.upgradedPasswords.push_back({job.login, job.plain, *hash});
    }
    if (!replaced) return;
    SettingsFiles files;
    Report report;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        files = files_;
        report = report_;
    }
    if (files.settingsPath.empty()) return;
    if (!StorePasswordUpgrades(store_, files) && report) {
        report("Could not store a hashed password in " + files.settingsPath + ": " +
               std::strerror(errno));
    }
}
