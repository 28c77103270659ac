// Login of an FTP session: USER, PASS, the locked walk that finds the
// account and takes a client record in it, and the login message.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "config/account_store.h"
#include "config/password_hash.h"
#include "engine/ftp_server.h"
#include "engine/ftp_thread.h"
#include "net/text.h"

namespace {

// A reply line of the login message: prefix, the longest possible line of
// the message, CR LF and the terminator always fit.
constexpr std::size_t LOGIN_LINE_SIZE = LOGIN_MESSAGE_SIZE + 8;

// The login guard's wait for a block to run out: never longer than this,
// in slices of at most a second.
constexpr int LOGIN_GUARD_LONGEST_WAIT_SECONDS = 30;
constexpr int LOGIN_GUARD_SLICE_MILLISECONDS = 1000;
constexpr int LOGIN_GUARD_SHORTEST_SLICE_MILLISECONDS = 10;

}  // namespace

int CIP_FTPThread::HandleUser() {
    if (GetToken(line, " ", 1, argument, sizeof argument) != 0) {
        Reply("500 USER - command not understood\r\n");
        return 0;
    }
    CopyText(userName, argument);
    loginState = 1;
    if (strcasecmp(userName, "anonymous") == 0) {
        bool allowed;
        {
            AccountStore::Lock lock(ftpServer->store);
            allowed = ftpServer->store.anonymous.enabled != 0;
        }
        Reply(allowed ? "331 anonymous access allowed, send email name as PASS\r\n"
                      : "530 anonymous access not allowed\r\n");
    } else {
        Reply("331 User name OK, send password as PASS\r\n");
    }
    return 1;
}

int CIP_FTPThread::HandlePass() {
    if (loginState < 1) {
        Reply("500 PASS - USER must be sent first\r\n");
        return 0;
    }
    if (GetToken(line, " ", 1, argument, sizeof argument) != 0) {
        Reply("500 PASS: command not understood\r\n");
        return 0;
    }
    CopyText(password, argument);

    char accountName[ACCOUNT_TEXT_SIZE];
    const LoginOutcome outcome = LogIn(accountName);
    if (outcome == LoginOutcome::LoggedIn) {
        loginState = 2;
        std::snprintf(messageBuffer, sizeof messageBuffer,
                      "Connection from %s accepted. [Account: %s]", clientAddress, accountName);
        SendLogEvent();
        Reply("230-logon successful\r\n");
        SendLoginMessage();
        return 1;
    }
    // Also after an earlier login: the session has no account now, so it
    // must not stay logged in.
    loginState = 1;
    if (outcome == LoginOutcome::AccountFull) {
        // The right password: no offence for the login guard.
        std::snprintf(messageBuffer, sizeof messageBuffer,
                      "Connection from %s rejected. [Reason: too many sessions]", clientAddress);
        SendLogEvent();
        Reply("530 Too many sessions for this account\r\n");
        return 0;
    }
    const bool guarded = (features & FEATURE_LOGIN_GUARD) != 0;
    // Blocked before the log line, so whoever sees the line also finds
    // the address refused.
    if (guarded) ftpServer->AccessControl().RecordPeerOffence(peerAddress);
    std::snprintf(messageBuffer, sizeof messageBuffer,
                  "Connection from %s rejected. [Reason: bad password]", clientAddress);
    SendLogEvent();
    if (guarded) {
        // One session must not guess faster than its address's block allows.
        endedWaiting = WaitOutLoginBlock();
        if (endedWaiting != WaitOutcome::Line) return 0;
    }
    Reply("530 User cannot log in\r\n");
    return 0;
}

CIP_FTPThread::WaitOutcome CIP_FTPThread::WaitOutLoginBlock() {
    using namespace std::chrono;
    const auto giveUp = steady_clock::now() + seconds(LOGIN_GUARD_LONGEST_WAIT_SECONDS);
    for (;;) {
        // Read afresh every time: another session of the same address may
        // have lengthened the block meanwhile.
        int32_t expires = 0;
        if (!ftpServer->AccessControl().IsPeerBlocked(peerAddress, &expires)) {
            return WaitOutcome::Line;
        }
        const auto now = steady_clock::now();
        if (now >= giveUp) return WaitOutcome::Line;
        // The block ends when the clock's second passes `expires`.
        const auto untilExpiry =
            system_clock::time_point(seconds(int64_t{expires} + 1)) - system_clock::now();
        // Short slices, so a console Disconnect or a client that left is
        // noticed as soon as in the wait for a command line; never zero,
        // so a clock read a moment late cannot make it spin.
        auto slice = std::min({duration_cast<milliseconds>(untilExpiry),
                               duration_cast<milliseconds>(giveUp - now),
                               milliseconds(LOGIN_GUARD_SLICE_MILLISECONDS)});
        slice = std::max(slice, milliseconds(LOGIN_GUARD_SHORTEST_SLICE_MILLISECONDS));
        if (ftpServer->WaitUnlessShuttingDown(slice)) return WaitOutcome::ShuttingDown;
        if (DisconnectRequested()) return WaitOutcome::Disconnected;
        if (IsConnectionAlive() == 0) return WaitOutcome::PeerGone;
    }
}

CIP_FTPThread::LoginOutcome CIP_FTPThread::LogIn(char (&accountName)[ACCOUNT_TEXT_SIZE]) {
    AccountStore& store = ftpServer->store;
    // The named accounts that may be the one, in list order, with their
    // stored passwords. A hash takes its time to verify, which must not
    // hold the store's lock: then they are verified without it, and the
    // account found is checked afresh under the lock before it is used.
    struct Candidate {
        account_s* account;
        std::string stored;
    };
    std::vector<Candidate> candidates;
    {
        // Without a hash to verify: one hold of the lock from finding the
        // account to holding a record in it, so the account cannot be
        // deleted in between, and so that sessions logging in at once
        // never pass its "Max logins" together.
        AccountStore::Lock lock(store);
        if (!FindsNamedAccount()) {
            return TakeAccount(ftpServer->FindAccount(userName, password, nullptr), accountName);
        }
        bool anyHash = false;
        for (account_s* a = store.accounts.head; a != nullptr; a = a->next) {
            if (a->enabled == 0 || strcasecmp(a->login, userName) != 0) continue;
            const std::string_view stored(a->password, strnlen(a->password, sizeof a->password));
            if (!anyHash && !IsPasswordHash(stored)) {
                // Plain passwords before any hash are settled here and now.
                if (PlainPasswordMatches(stored, password)) return TakeAccount(a, accountName);
                continue;
            }
            anyHash = true;
            candidates.push_back({a, std::string(stored)});
        }
        if (candidates.empty()) return TakeAccount(nullptr, accountName);
    }
    const Candidate* match = nullptr;
    for (const Candidate& candidate : candidates) {
        if (PasswordMatches(candidate.stored, password)) {
            match = &candidate;
            break;
        }
    }
    AccountStore::Lock lock(store);
    account_s* found = nullptr;
    if (match != nullptr) {
        // Still listed, enabled and unchanged: else it is not the account
        // the password was verified against.
        for (account_s* a = store.accounts.head; a != nullptr; a = a->next) {
            if (a == match->account && a->enabled != 0 && strcasecmp(a->login, userName) == 0 &&
                match->stored == a->password) {
                found = a;
                break;
            }
        }
    }
    return TakeAccount(found, accountName);
}

bool CIP_FTPThread::FindsNamedAccount() const NO_THREAD_SAFETY_ANALYSIS {
    return ftpServer->store.anonymous.enabled == 0 || strcasecmp(userName, "anonymous") != 0;
}

CIP_FTPThread::LoginOutcome CIP_FTPThread::TakeAccount(
    account_s* found, char (&accountName)[ACCOUNT_TEXT_SIZE]) NO_THREAD_SAFETY_ANALYSIS {
    AccountStore& store = ftpServer->store;
    client_s* record = nullptr;
    if (found != nullptr &&
        !store.HasLoginPlace(found, recordAccount == found ? clientRecord : nullptr)) {
        account = nullptr;
        return LoginOutcome::AccountFull;
    }
    if (found != nullptr) {
        try {
            record = store.BeginSession(found, clientAddress);
        } catch (const std::bad_alloc&) {
            record = nullptr;
        }
    }
    if (record == nullptr) {
        // The earlier record stays until the next login or the end.
        account = nullptr;
        return LoginOutcome::Refused;
    }
    if (clientRecord != nullptr) store.ReleaseClient(recordAccount, clientRecord);
    clientRecord = record;
    record->secured.store(IsSecured());
    recordAccount = found;
    account = found;
    homeFolder.assign(found->home, strnlen(found->home, sizeof found->home));
    currentFolder = homeFolder;
    CopyText(loginMessage, found->loginmsg);
    CopyText(accountName, found->name);
    const bool anonymous = found == &store.anonymous;
    // The transfer log names the account by its login, the anonymous one
    // by the e-mail text given as its password.
    transferLogin = anonymous ? std::string(password) : std::string(found->login);
    anonymousLogin = anonymous;
    // With hashed storage, a plain password that has just proved itself
    // is replaced by its hash, away from this session.
    const std::string_view stored(found->password,
                                  strnlen(found->password, sizeof found->password));
    if (!anonymous && store.confValues.hashPasswords && !stored.empty() &&
        !IsPasswordHash(stored)) {
        const std::string login(found->login, strnlen(found->login, sizeof found->login));
        ftpServer->passwordUpgrader.Request(login, std::string(stored));
    }
    return LoginOutcome::LoggedIn;
}

void CIP_FTPThread::SendLoginMessage() {
    static_assert(LOGIN_LINE_SIZE >= 4 + (LOGIN_MESSAGE_SIZE - 1) + 2 + 1);
    char reply[LOGIN_LINE_SIZE];
    auto sendLine = [&](const char* prefix, const char* begin, std::size_t length) {
        std::memcpy(reply, prefix, 4);
        std::memcpy(reply + 4, begin, length);
        std::memcpy(reply + 4 + length, "\r\n", 3);
        Reply(reply);
    };
    const char* start = loginMessage;
    for (const char* p = loginMessage;; ++p) {
        if (*p == '\0') {
            sendLine("230 ", start, static_cast<std::size_t>(p - start));
            return;
        }
        if (*p == '\r' || *p == '\n') {
            sendLine("230-", start, static_cast<std::size_t>(p - start));
            if (p[0] == '\r' && p[1] == '\n') ++p;
            start = p + 1;
        }
    }
}

int CIP_FTPThread::IsGuestLogin(char* user, char* pass) {
    if (user == nullptr || pass == nullptr) return 0;
    for (char* c = user; *c != '\0'; ++c)
        *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
    if (std::strcmp(user, "ANONYMOUS") != 0 && std::strcmp(user, "GUEST") != 0) return 0;
    for (char* c = pass; *c != '\0'; ++c)
        *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
    if (pass[0] == '\0') return 0;
    CopyText(userName, user);
    return 1;
}
