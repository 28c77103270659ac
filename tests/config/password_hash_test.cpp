#include "config/password_hash.h"

#include <gtest/gtest.h>
#include <sodium.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "config/account_store.h"
#include "config/password_upgrader.h"
#include "config/settings.h"
#include "net/text.h"

namespace {

TEST(PasswordHash, HashIsArgon2idOfTheUpperCasedPasswordAndFitsTheField) {
    const std::optional<std::string> hash = HashPassword("Secret");
    ASSERT_TRUE(hash);
    EXPECT_TRUE(hash->starts_with("$argon2id$v=19$m=19456,t=2,p=1$")) << *hash;
    EXPECT_LT(hash->size(), ACCOUNT_TEXT_SIZE);
    EXPECT_TRUE(IsPasswordHash(*hash));
    // Passwords compare without regard to case, hashed or not.
    EXPECT_TRUE(PasswordMatches(*hash, "secret"));
    EXPECT_TRUE(PasswordMatches(*hash, "SECRET"));
    EXPECT_FALSE(PasswordMatches(*hash, "secret2"));
    EXPECT_FALSE(PasswordMatches(*hash, ""));
    // A new salt each time.
    EXPECT_NE(*HashPassword("Secret"), *hash);
}

TEST(PasswordHash, OnlyWhatLibsodiumTakesForAHashIsOne) {
    const std::string hash = *HashPassword("x");
    // libsodium's check also takes its older argon2i form.
    char argon2i[crypto_pwhash_argon2i_STRBYTES];
    ASSERT_EQ(crypto_pwhash_argon2i_str(argon2i, "X", 1, crypto_pwhash_argon2i_OPSLIMIT_MIN + 2,
                                        crypto_pwhash_argon2i_MEMLIMIT_MIN),
              0);
    struct Case {
        std::string stored;
        bool hash;
    } cases[] = {
        {hash, true},
        {argon2i, true},
        {"$argon2id$", false},
        {"$argon2id$v=19$m=19456,t=2,p=1$notbase64!!$x", false},
        {hash.substr(0, hash.size() - 1) + "$", false},
        {"", false},
        {"secret", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsPasswordHash(c.stored), c.hash) << c.stored;
    // A plain password that merely looks like a hash is compared as text.
    EXPECT_TRUE(PasswordMatches("$argon2id$plain", "$ARGON2ID$PLAIN"));
    EXPECT_FALSE(PasswordMatches("$argon2id$plain", "x"));
}

TEST(PasswordHash, PlainComparisonIgnoresCaseAndNeverMatchesEmptyOrOverlong) {
    struct Case {
        std::string stored, given;
        bool match;
    } cases[] = {
        {"s3cret", "S3CRET", true},
        {"s3cret", "s3cre", false},
        {"s3cret", "s3cret ", false},
        {"", "", false},
        {"a", "", false},
        {"\xe9", "\xc9", false},
        {std::string(260, 'a'), std::string(260, 'A'), true},
        {std::string(260, 'a'), std::string(261, 'a'), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PlainPasswordMatches(c.stored, c.given), c.match) << c.stored << " / " << c.given;
    }
}

std::string Lines(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

std::string Account(const std::string& login, const std::string& password) {
    return Lines({"REGACCT+!~*#$", "Name " + login, login, password, "/home/" + login, "", "0",
                  "f4240", "f4240", "300", "10", "1", "0", "0", "0", "0"});
}

TEST(PasswordUpgradeText, ReplacesOnlyThatLoginsPasswordLineByteForByte) {
    const std::string head =
        Lines({"SRVROPT+!~*#$", "21", "0", "f4240", "f4240", "100", "0", "1", "1", "300",
               "ANONACCT+!~*#$", "Public FTP Account", "alice", "s3cret"});
    // The anonymous account's fields and another login's equal password
    // are left alone, as is a line-end the loader would keep.
    const std::string text = head + Account("alice", "s3cret") + Account("bob", "s3cret") +
                             Account("alice", "other") + "BLKLIST+!~*#$\r\nstray";
    const std::string want = head + Account("alice", "$HASH") + Account("bob", "s3cret") +
                             Account("alice", "other") + "BLKLIST+!~*#$\r\nstray";
    EXPECT_EQ(ReplacePlainPasswords(text, {{"alice", "s3cret", "$HASH"}}), want);
    EXPECT_EQ(ReplacePlainPasswords(text, {}), text);
}

class PasswordUpgradeTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarnhold-hash-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        files_ = SettingsFilesIn(dir_);
    }
    void TearDown() override { ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0); }
    static std::string Contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string Password(const char* login) {
        AccountStore::Lock lock(store_);
        for (account_s* a = store_.accounts.head; a != nullptr; a = a->next) {
            if (std::string(a->login) == login) return a->password;
        }
        return "?";
    }

    std::string dir_;
    SettingsFiles files_;
    AccountStore store_;
};

TEST_F(PasswordUpgradeTest, UpgradeReplacesThePlainPasswordInMemoryTheFileAndItsBackup) {
    const std::string before = Account("alice", "s3cret") + Account("bob", "b0b");
    {
        AccountStore::Lock lock(store_);
        for (const char* login : {"alice", "bob"}) {
            account_s* a = store_.AddAccount();
            CopyText(a->login, login);
            CopyText(a->password, login == std::string("alice") ? "s3cret" : "b0b");
        }
    }
    ASSERT_TRUE(SaveSettings(store_, files_));
    ASSERT_TRUE(SaveSettings(store_, files_));  // the backup holds the plain text too
    {
        PasswordUpgrader upgrader(store_);
        upgrader.SetFiles(files_, nullptr);
        upgrader.Request("alice", "s3cret");
        upgrader.Request("bob", "not bob's");  // no longer (or never) his: nothing changes
        upgrader.WaitIdle();
    }
    const std::string hash = Password("alice");
    EXPECT_TRUE(IsPasswordHash(hash));
    EXPECT_TRUE(PasswordMatches(hash, "S3cret"));
    EXPECT_EQ(Password("bob"), "b0b");
    for (const std::string& path : {files_.settingsPath, files_.backupPath}) {
        const std::string text = Contents(path);
        EXPECT_EQ(text.find("s3cret"), std::string::npos) << path;
        EXPECT_NE(text.find("\r\n" + hash + "\r\n"), std::string::npos) << path;
        EXPECT_NE(text.find("\r\nb0b\r\n"), std::string::npos) << path;
    }
    // A later save keeps the hash byte for byte, and loading reads it back.
    ASSERT_TRUE(SaveSettings(store_, files_));
    LoadSettings(store_, files_);
    EXPECT_EQ(Password("alice"), hash);
}

TEST_F(PasswordUpgradeTest, ASaveBeforeTheFilesWereUpgradedLeavesNoPlainCopyInTheBackup) {
    {
        AccountStore::Lock lock(store_);
        account_s* a = store_.AddAccount();
        CopyText(a->login, "alice");
        CopyText(a->password, "s3cret");
    }
    ASSERT_TRUE(SaveSettings(store_, files_));
    // Upgraded in memory only (no settings folder known to the upgrader),
    // as when the exit's save comes before the upgrader's write.
    {
        PasswordUpgrader upgrader(store_);
        upgrader.Request("alice", "s3cret");
        upgrader.WaitIdle();
    }
    ASSERT_TRUE(SaveSettings(store_, files_));
    const std::string hash = Password("alice");
    ASSERT_TRUE(IsPasswordHash(hash));
    for (const std::string& path : {files_.settingsPath, files_.backupPath}) {
        EXPECT_EQ(Contents(path).find("s3cret"), std::string::npos) << path;
        EXPECT_NE(Contents(path).find(hash), std::string::npos) << path;
    }
}

}  // namespace
