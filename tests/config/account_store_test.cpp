#include "config/account_store.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/text.h"

namespace {

// The login as a session would write it: one locked walk that finds the
// first enabled account with the login and begins the session on it.
struct Login {
    account_s* account = nullptr;
    client_s* client = nullptr;
};

Login LogIn(AccountStore& store, const char* login, const char* address) {
    AccountStore::Lock lock(store);
    for (account_s* a = store.accounts.head; a != nullptr; a = a->next) {
        if (a->enabled != 0 && std::strcmp(a->login, login) == 0) {
            return {a, store.BeginSession(a, address)};
        }
    }
    return {};
}

account_s* AddNamed(AccountStore& store, const char* login, const char* path) {
    AccountStore::Lock lock(store);
    account_s* account = store.AddAccount();
    CopyText(account->login, login);
    account->paths.AddPath(path, PERM_FILE_READ | PERM_FOLDER_LIST);
    return account;
}

TEST(AccountStore, StartsWithDefaultsAndAnEmptyPublicAccount) {
    AccountStore store;
    AccountStore::Lock lock(store);
    EXPECT_STREQ(store.anonymous.name, "Public FTP Account");
    EXPECT_EQ(store.anonymous.enabled, 1u);
    EXPECT_EQ(store.anonymous.paths.entries.count, 0);
    EXPECT_EQ(store.anonymous.paths.GetPermissions("/"), -1);
    EXPECT_EQ(store.anonymous.next, nullptr);
    EXPECT_EQ(store.options.port, 21u);
    EXPECT_EQ(store.accounts.count, 0);
    account_s* added = store.AddAccount();
    EXPECT_STREQ(added->name, "New Account");
    EXPECT_EQ(added->enabled, 1u);
}

TEST(AccountStore, SessionsAreCountedByTheirClientRecords) {
    AccountStore store;
    AddNamed(store, "ann", "/srv/ann");
    const std::string longAddress(400, '9');
    Login first = LogIn(store, "ann", "192.0.2.7");
    Login second = LogIn(store, "ann", longAddress.c_str());
    ASSERT_NE(first.client, nullptr);
    {
        AccountStore::Lock lock(store);
        EXPECT_EQ(first.account->clients.count, 2);
        EXPECT_STREQ(first.client->address, "192.0.2.7");
        EXPECT_EQ(first.client->state, CLIENT_IDLE);
        EXPECT_EQ(std::strlen(second.client->address), CLIENT_ADDRESS_SIZE - 1);
    }
    store.SetClientState(second.client, CLIENT_DOWNLOAD);
    {
        AccountStore::Lock lock(store);
        EXPECT_EQ(second.client->state, CLIENT_DOWNLOAD);
        EXPECT_EQ(store.ReleaseClient(&store.anonymous, first.client), 1);  // wrong account
        EXPECT_EQ(store.ReleaseClient(nullptr, first.client), 1);
    }
    EXPECT_EQ(store.EndSession(first.account, first.client), 0);
    EXPECT_EQ(store.EndSession(second.account, second.client), 0);
    AccountStore::Lock lock(store);
    EXPECT_EQ(store.accounts.head->clients.count, 0);
    EXPECT_EQ(store.accounts.count, 1);  // ending sessions never deletes a listed account
}

// A deleted account that sessions still use stays valid for them (the
// address sanitizer catches any use after free) and is freed by the last.
TEST(AccountStore, DeletedAccountLivesUntilItsLastSessionEnds) {
    AccountStore store;
    account_s* idle = AddNamed(store, "idle", "/srv/idle");
    account_s* busy = AddNamed(store, "bob", "/srv/bob");
    Login one = LogIn(store, "bob", "192.0.2.1");
    Login two = LogIn(store, "bob", "192.0.2.2");
    {
        AccountStore::Lock lock(store);
        EXPECT_EQ(store.DeleteAccount(idle), 0);
        EXPECT_EQ(store.DeleteAccount(busy), 0);
        EXPECT_EQ(store.accounts.count, 0);
        EXPECT_EQ(store.DeleteAccount(busy), 1);  // already gone from the list
        EXPECT_EQ(store.DeleteAccount(&store.anonymous), 1);
        EXPECT_EQ(store.DeleteAccount(nullptr), 1);
    }
    EXPECT_EQ(store.RetiredCount(), 1);
    EXPECT_EQ(LogIn(store, "bob", "192.0.2.3").account, nullptr);  // no new logins
    EXPECT_EQ(store.GetPermissions(one.account, "/srv/bob/file"), 0x44);
    store.SetClientState(two.client, CLIENT_UPLOAD);
    EXPECT_EQ(store.EndSession(one.account, one.client), 0);
    EXPECT_EQ(store.RetiredCount(), 1);
    EXPECT_EQ(store.GetPermissions(two.account, "/srv/bob"), 0x44);
    EXPECT_EQ(store.EndSession(two.account, two.client), 0);
    EXPECT_EQ(store.RetiredCount(), 0);
}

TEST(AccountStore, DeleteAllAccountsRetiresOnlyThoseInUse) {
    AccountStore store;
    AddNamed(store, "a", "/a");
    AddNamed(store, "b", "/b");
    AddNamed(store, "c", "/c");
    Login b = LogIn(store, "b", "192.0.2.9");
    Login anon;
    {
        AccountStore::Lock lock(store);
        anon = {&store.anonymous, store.BeginSession(&store.anonymous, "192.0.2.10")};
        store.DeleteAllAccounts();
        EXPECT_EQ(store.accounts.count, 0);
    }
    EXPECT_EQ(store.RetiredCount(), 1);
    EXPECT_EQ(store.EndSession(anon.account, anon.client), 0);
    EXPECT_EQ(store.RetiredCount(), 1);
    EXPECT_EQ(store.EndSession(b.account, b.client), 0);
    EXPECT_EQ(store.RetiredCount(), 0);
}

// The window thread deletes and adds accounts and edits paths while session
// threads log in, look up permissions, change state and log out. Run under
// the thread and address sanitizers, this shows the lock covers every
// shared record and no session touches a freed account.
TEST(AccountStore, WindowAndSessionsShareTheRecordsSafely) {
    constexpr int kLogins = 4;
    constexpr int kWindowRounds = 5000;
    constexpr int kSessionRounds = 5000;
    const char* logins[kLogins] = {"u0", "u1", "u2", "u3"};
    AccountStore store;
    for (const char* login : logins) AddNamed(store, login, "/srv/data");

    std::thread window([&] {
        for (int round = 0; round < kWindowRounds; ++round) {
            AccountStore::Lock lock(store);
            // Account manager: delete the oldest account, add a fresh one.
            store.DeleteAccount(store.accounts.head);
            account_s* added = store.AddAccount();
            CopyText(added->login, logins[round % kLogins]);
            added->paths.AddPath("/srv/data", 0x44);
            added->paths.AddPath("/srv/data/up", 0x66);
            added->paths.RemovePath("/srv/data/up");
            for (account_s* a = store.accounts.head; a != nullptr; a = a->next) {
                a->paths.SetPermissions("/srv/data", round % 2 == 0 ? 0x44 : 0x40);
            }
            store.anonymous.paths.AddPath("/pub", 0x44);
            store.anonymous.paths.RemovePath("/pub");
            // Status refresh: read every session record.
            uint32_t states = 0;
            for (account_s* a = store.accounts.head; a != nullptr; a = a->next) {
                for (client_s* c = a->clients.head; c != nullptr; c = c->next) states += c->state;
            }
            for (client_s* c = store.anonymous.clients.head; c != nullptr; c = c->next) states += c->state;
            (void)states;
        }
    });

    auto session = [&](int id) {
        for (int round = 0; round < kSessionRounds; ++round) {
            Login login;
            if (round % 5 == 0) {
                AccountStore::Lock lock(store);
                login = {&store.anonymous, store.BeginSession(&store.anonymous, "192.0.2.50")};
            } else {
                login = LogIn(store, logins[(round + id) % kLogins], "192.0.2.51");
            }
            if (login.client == nullptr) continue;
            int32_t flags = store.GetPermissions(login.account, "/srv/data/file");
            EXPECT_TRUE(flags == -1 || flags == 0x44 || flags == 0x40) << flags;
            store.SetClientState(login.client, CLIENT_DOWNLOAD);
            store.GetPermissions(login.account, "/srv/data/up/x");
            store.SetClientState(login.client, CLIENT_IDLE);
            EXPECT_EQ(store.EndSession(login.account, login.client), 0);
        }
    };
    std::thread sessionA(session, 0);
    std::thread sessionB(session, 1);
    window.join();
    sessionA.join();
    sessionB.join();

    EXPECT_EQ(store.RetiredCount(), 0);
    AccountStore::Lock lock(store);
    EXPECT_EQ(store.accounts.count, kLogins);
    EXPECT_EQ(store.anonymous.clients.count, 0);
    for (account_s* a = store.accounts.head; a != nullptr; a = a->next) EXPECT_EQ(a->clients.count, 0);
}

}  // namespace
