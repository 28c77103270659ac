#include "config/records.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct item_s {
    int value = 0;
    item_s* next = nullptr;
};

std::vector<int> Values(const LinkedList<item_s>& list) {
    std::vector<int> values;
    for (const item_s* i = list.head; i != nullptr; i = i->next) values.push_back(i->value);
    return values;
}

item_s* Add(LinkedList<item_s>& list, int value) {
    item_s* item = list.Append();
    item->value = value;
    return item;
}

TEST(LinkedList, AppendGivesZeroedElementsInOrder) {
    LinkedList<item_s> list;
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.count, 0);
    item_s* first = list.Append();
    EXPECT_EQ(first->value, 0);
    EXPECT_EQ(first->next, nullptr);
    first->value = 1;
    Add(list, 2);
    item_s* last = Add(list, 3);
    EXPECT_EQ(Values(list), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(list.head, first);
    EXPECT_EQ(list.tail, last);
    EXPECT_EQ(list.count, 3);
}

TEST(LinkedList, RemoveKeepsHeadTailAndCountTrue) {
    LinkedList<item_s> list;
    item_s* only = Add(list, 1);
    EXPECT_EQ(list.Remove(only), 0);
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
    EXPECT_EQ(list.count, 0);

    item_s* a = Add(list, 1);
    item_s* b = Add(list, 2);
    item_s* c = Add(list, 3);
    item_s* d = Add(list, 4);
    EXPECT_EQ(list.Remove(d), 0);  // the tail: its predecessor takes over
    EXPECT_EQ(list.tail, c);
    EXPECT_EQ(c->next, nullptr);
    Add(list, 5);                  // links after the new tail
    EXPECT_EQ(list.Remove(b), 0);  // the middle
    EXPECT_EQ(list.Remove(a), 0);  // the head
    EXPECT_EQ(list.head, c);
    EXPECT_EQ(Values(list), (std::vector<int>{3, 5}));
    EXPECT_EQ(list.count, 2);
}

TEST(LinkedList, RemoveOfWhatIsNotInTheListChangesNothing) {
    LinkedList<item_s> list;
    LinkedList<item_s> other;
    Add(list, 1);
    Add(list, 2);
    item_s* stranger = Add(other, 9);
    EXPECT_EQ(list.Remove(nullptr), 1);
    EXPECT_EQ(list.Remove(stranger), 1);
    EXPECT_EQ(Values(list), (std::vector<int>{1, 2}));
    EXPECT_EQ(list.count, 2);
    EXPECT_EQ(Values(other), std::vector<int>{9});
    EXPECT_EQ(list.Detach(stranger), nullptr);
}

TEST(LinkedList, ClearThenAppendStartsAFreshList) {
    LinkedList<item_s> list;
    list.Clear();
    EXPECT_EQ(list.count, 0);
    Add(list, 1);
    Add(list, 2);
    list.Clear();
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
    EXPECT_EQ(list.count, 0);
    item_s* fresh = Add(list, 3);
    EXPECT_EQ(list.head, fresh);
    EXPECT_EQ(list.tail, fresh);
    EXPECT_EQ(Values(list), std::vector<int>{3});
}

TEST(LinkedList, DetachHandsOverAndAttachTakesBack) {
    LinkedList<item_s> list;
    LinkedList<item_s> kept;
    Add(list, 1);
    item_s* two = Add(list, 2);
    ASSERT_EQ(list.Detach(two), two);
    EXPECT_EQ(list.tail, list.head);
    EXPECT_EQ(two->next, nullptr);
    kept.Attach(two);
    EXPECT_TRUE(kept.Contains(two));
    EXPECT_FALSE(list.Contains(two));
    EXPECT_EQ(kept.count, 1);
}

// Removing an account frees its client records and path tree with it; the
// sanitizer build reports a leak otherwise.
TEST(Records, AccountOwnsItsClientsAndPaths) {
    LinkedList<account_s> accounts;
    account_s* account = accounts.Append();
    account->clients.Append();
    account->clients.Append();
    account->paths.AddPath("/srv/ftp/pub", PERM_FILE_READ | PERM_FOLDER_LIST);
    EXPECT_EQ(accounts.Remove(account), 0);
}

TEST(Records, AccountDefaultsLeavePathsClientsAndLinkAlone) {
    LinkedList<account_s> accounts;
    account_s* account = accounts.Append();
    account_s* second = accounts.Append();
    account->paths.AddPath("/data", 0x44);
    account->clients.Append();
    account->password[0] = 'x';
    account->enabled = 0;
    account->reserved6 = 5;
    ApplyAccountDefaults(*account);

    EXPECT_STREQ(account->name, "New Account");
    EXPECT_STREQ(account->login, "");
    EXPECT_STREQ(account->password, "");
    EXPECT_STREQ(account->home, "");
    EXPECT_STREQ(account->loginmsg, "");
    EXPECT_EQ(account->reserved1, 0u);
    EXPECT_EQ(account->reserved2, 1000000u);
    EXPECT_EQ(account->reserved3, 1000000u);
    EXPECT_EQ(account->timeout, 300u);
    EXPECT_EQ(account->maxlogins, 10u);
    EXPECT_EQ(account->enabled, 1u);
    EXPECT_EQ(account->reserved4 | account->reserved5 | account->reserved6 | account->reserved7, 0u);
    EXPECT_EQ(account->paths.GetPermissions("/data"), 0x44);
    EXPECT_EQ(account->clients.count, 1);
    EXPECT_EQ(account->next, second);
}

TEST(Records, OptionDefaults) {
    srvropt_s options{};
    ApplyOptionDefaults(options);
    EXPECT_EQ(options.port, 21u);
    EXPECT_EQ(options.features, 0u);
    EXPECT_EQ(options.reserved2, 1000000u);
    EXPECT_EQ(options.reserved3, 1000000u);
    EXPECT_EQ(options.maxusers, 100u);
    EXPECT_EQ(options.anonemailcheck, 0u);
    EXPECT_EQ(options.reserved4, 1u);
    EXPECT_EQ(options.startatboot, 1u);
    EXPECT_EQ(options.idletimeout, 300u);
}

}  // namespace
