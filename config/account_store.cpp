#include "config/account_store.h"

#include <cassert>

#include "net/text.h"

AccountStore::AccountStore() {
    // No other thread can see the store yet; the lock only satisfies the
    // annotations.
    Lock lock(*this);
    ApplyOptionDefaults(options);
    ApplyAccountDefaults(anonymous);
    CopyText(anonymous.name, ANONYMOUS_ACCOUNT_NAME);
}

AccountStore::~AccountStore() {
    Lock lock(*this);
    // Sessions have ended by now. Those ended by a shutdown leave their
    // client records, and deleted accounts that only they kept alive are
    // still retired: all of it is freed with the lists.
    accounts.Clear();
    retired_.Clear();
    anonymous.clients.Clear();
    anonymous.paths.Clear();
}

account_s* AccountStore::AddAccount() {
    account_s* account = accounts.Append();
    ApplyAccountDefaults(*account);
    return account;
}

int AccountStore::DeleteAccount(account_s* account) {
    if (accounts.Detach(account) == nullptr) return 1;
    if (account->clients.count == 0) {
        delete account;
    } else {
        retired_.Attach(account);
    }
    return 0;
}

void AccountStore::DeleteAllAccounts() {
    while (accounts.head != nullptr) DeleteAccount(accounts.head);
}

client_s* AccountStore::BeginSession(account_s* account, std::string_view address) {
    assert(account == &anonymous || accounts.Contains(account));
    client_s* client = account->clients.Append();
    CopyText(client->address, address);
    client->state = CLIENT_IDLE;
    return client;
}

int AccountStore::ReleaseClient(account_s* account, client_s* client) {
    if (account == nullptr || account->clients.Remove(client) != 0) return 1;
    if (account->clients.count == 0 && account != &anonymous) {
        // Frees the account when it was deleted while this session used it.
        retired_.Remove(account);
    }
    return 0;
}

int AccountStore::EndSession(account_s* account, client_s* client) {
    Lock lock(*this);
    return ReleaseClient(account, client);
}

bool AccountStore::HasLoginPlace(const account_s* account, const client_s* own) {
    if (!confValues.applyLimits || account->maxlogins == 0) return true;
    // A session that logs in again gives up its old login first.
    uint32_t others = static_cast<uint32_t>(account->clients.count);
    for (const client_s* c = account->clients.head; c != nullptr && own != nullptr; c = c->next) {
        if (c == own) {
            --others;
            break;
        }
    }
    return others < account->maxlogins;
}

uint32_t AccountStore::AccountIdleTimeout(const account_s* account) {
    Lock lock(*this);
    return confValues.applyLimits ? account->timeout : 0;
}

std::pair<bool, uint32_t> AccountStore::AppliedUserLimit() {
    Lock lock(*this);
    if (!confValues.applyLimits) return {false, 0};
    return {true, options.maxusers};
}

void AccountStore::SetClientState(client_s* client, uint32_t state,
                                  std::string_view transferName) {
    Lock lock(*this);
    client->state = state;
    CopyText(client->transferName, transferName);
    client->transferred.store(0, std::memory_order_relaxed);
    client->transferSize.store(-1, std::memory_order_relaxed);
}

int AccountStore::RequestDisconnect(const client_s* client) {
    Lock lock(*this);
    auto flag = [client](account_s& account) {
        for (client_s* c = account.clients.head; c != nullptr; c = c->next) {
            if (c != client) continue;
            c->disconnectRequested.store(true);
            return true;
        }
        return false;
    };
    if (flag(anonymous)) return 0;
    for (account_s* a = accounts.head; a != nullptr; a = a->next) {
        if (flag(*a)) return 0;
    }
    for (account_s* a = retired_.head; a != nullptr; a = a->next) {
        if (flag(*a)) return 0;
    }
    return 1;
}

int32_t AccountStore::GetPermissions(const account_s* account, std::string_view path) {
    Lock lock(*this);
    return account->paths.GetPermissions(path);
}

ConfValues AccountStore::ConfSnapshot() {
    Lock lock(*this);
    return confValues;
}

int32_t AccountStore::RetiredCount() {
    Lock lock(*this);
    return retired_.count;
}
