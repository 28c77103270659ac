// One owner per settings folder: a running server, or an administration
// command that edits the settings, holds an exclusive flock on
// tarnhold.lock in the folder. The kernel releases it with the process,
// so a lock file left by a killed process never blocks anyone.
#pragma once

#include <string>

class SettingsLock {
public:
    enum class Outcome {
        kLocked,  // this process holds the lock now
        kBusy,    // another process holds it
        kFailed,  // the lock file can be neither created nor opened
    };

    SettingsLock() = default;
    // Releases the lock.
    ~SettingsLock();
    SettingsLock(const SettingsLock&) = delete;
    SettingsLock& operator=(const SettingsLock&) = delete;

    // Takes the lock of `folder` without waiting. On kLocked the file
    // holds this process's id (when it is writable). On kBusy `holder` is
    // the other process's id as its lock file says, or 0 when unknown. On
    // kFailed `error` says why. Call once per object.
    Outcome Acquire(const std::string& folder, long& holder, std::string& error);

    // The lock file of `folder`.
    static std::string PathIn(const std::string& folder);

private:
    int fd_ = -1;
};

// The message for a lock that Acquire did not get: who holds it, or why
// the lock file cannot be used; `what` says what was refused ("start a
// server", "change the settings").
std::string SettingsLockRefusal(SettingsLock::Outcome outcome, const std::string& folder,
                                long holder, const std::string& error, const std::string& what);
