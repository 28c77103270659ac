// The plain records shared by the subsystems: accounts, server options,
// logged-in sessions as the status view sees them, and their list.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "config/linked_list.h"
#include "config/path_checker.h"

// Capacities of the record texts, terminator included. Texts are filled
// only through CopyText (net/text.h), which cuts a longer input at the
// capacity.
constexpr std::size_t ACCOUNT_TEXT_SIZE = 261;  // name, login, password, home
constexpr std::size_t LOGIN_MESSAGE_SIZE = 1028;
constexpr std::size_t CLIENT_ADDRESS_SIZE = 264;

// What a logged-in session is doing (client_s::state). Any other value
// shows as idle.
constexpr uint32_t CLIENT_IDLE = 0;
constexpr uint32_t CLIENT_LIST = 1;
constexpr uint32_t CLIENT_DOWNLOAD = 2;
constexpr uint32_t CLIENT_UPLOAD = 3;

// One logged-in session, held in its account's `clients`.
struct client_s {
    char address[CLIENT_ADDRESS_SIZE] = {};  // dotted IPv4 address of the client
    uint32_t state = CLIENT_IDLE;
    // The transfer in progress as the console's "Transfer" column shows it:
    // the client's path, set with the state under the store's lock, and
    // the bytes moved so far and the file's size (-1 when unknown), which
    // the session updates without the lock as the data flows.
    char transferName[ACCOUNT_TEXT_SIZE] = {};
    std::atomic<int64_t> transferred{0};
    std::atomic<int64_t> transferSize{-1};
    // Set by the console's "Disconnect": the session ends at its next wait
    // and stops a transfer in progress.
    std::atomic<bool> disconnectRequested{false};
    // Whether the session's control connection runs TLS, for the console.
    std::atomic<bool> secured{false};
    client_s* next = nullptr;
};

// One account; the anonymous account has the same record.
struct account_s {
    char name[ACCOUNT_TEXT_SIZE] = {};      // display name
    char login[ACCOUNT_TEXT_SIZE] = {};     // user name given with USER
    char password[ACCOUNT_TEXT_SIZE] = {};  // plain text, as typed
    char home[ACCOUNT_TEXT_SIZE] = {};      // home folder, an absolute path
    char loginmsg[LOGIN_MESSAGE_SIZE] = {}; // lines separated by CR LF
    uint32_t reserved1 = 0;
    uint32_t reserved2 = 0;
    uint32_t reserved3 = 0;
    // With apply_limits on: the idle time-out of its logged-in sessions in
    // seconds (0: the server's), and the most sessions logged in at once
    // (0: any number). Otherwise stored and edited, not applied.
    uint32_t timeout = 0;
    uint32_t maxlogins = 0;
    uint32_t enabled = 0;    // nonzero: the account may log in
    uint32_t reserved4 = 0;
    uint32_t reserved5 = 0;
    uint32_t reserved6 = 0;
    uint32_t reserved7 = 0;
    PathChecker paths;            // accessible paths
    LinkedList<client_s> clients; // sessions logged in with this account
    account_s* next = nullptr;
};

// The server options.
struct srvropt_s {
    uint32_t port = 0;
    // Bits of the optional extensions (FEATURE_*), each off by default;
    // older settings files hold 0 in this place.
    uint32_t features = 0;
    uint32_t reserved2 = 0;
    uint32_t reserved3 = 0;
    // With apply_limits on: the most connections served at once (0: any
    // number). Otherwise stored and edited, not applied.
    uint32_t maxusers = 0;
    uint32_t anonemailcheck = 0;  // anonymous password must look like an e-mail address
    uint32_t reserved4 = 0;
    uint32_t startatboot = 0;
    uint32_t idletimeout = 0;     // seconds
};

// Bits of srvropt_s::features.
constexpr uint32_t FEATURE_MODERN_COMMANDS = 0x1;  // REST, APPE, SIZE, MDTM, EPSV, EPRT, MLSD, MLST, UTF8
// Explicit FTPS: AUTH TLS, PBSZ and PROT.
constexpr uint32_t FEATURE_TLS = 0x2;
// Named accounts log in and move data only over FTPS; implies FEATURE_TLS.
constexpr uint32_t FEATURE_TLS_REQUIRED = 0x4;
// A failed PASS blocks the client's address for a growing time, and its
// "530" waits for the block to run out.
constexpr uint32_t FEATURE_LOGIN_GUARD = 0x8;

// An element of the temporary list of status-view items to delete during
// a refresh. `item` is the view's own tree item, opaque here.
struct delnode_s {
    void* item = nullptr;
    delnode_s* next = nullptr;
};

// Sets the new-account defaults: name "New Account", empty texts, enabled,
// and the default numbers. Leaves `paths`, `clients` and `next` alone.
void ApplyAccountDefaults(account_s& account);

// Sets the nine default server options (port 21, idle timeout 300, ...).
void ApplyOptionDefaults(srvropt_s& options);
