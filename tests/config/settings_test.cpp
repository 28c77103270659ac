#include "config/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "config/account_store.h"
#include "config/conf_keys.h"
#include "net/text.h"

namespace {

std::string Lines(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

// Options at their defaults, an anonymous account with a two-line login
// message and one readable folder, one named account whose home is its
// only path.
const std::string kExample = Lines({
    "SRVROPT+!~*#$", "21", "0", "f4240", "f4240", "100", "0", "1", "1", "300",
    "ANONACCT+!~*#$", "Public FTP Account", "", "", "/ftp/public", "Welcome\x1c\x1dRead only",
    "0", "f4240", "f4240", "300", "10", "1", "0", "0", "0", "0",
    "ANONACCPATH+!~*#$", "/ftp/public", "44", "0",
    "REGACCT+!~*#$", "Backup", "backup", "s3cret", "/backup", "",
    "0", "f4240", "f4240", "300", "10", "1", "0", "0", "0", "0",
    "ACCPATH+!~*#$", "/backup", "66", "0",
    "BLKLIST+!~*#$",
});

struct PathRow {
    std::string path;
    uint32_t flags;
    uint32_t reserved;
    bool operator==(const PathRow&) const = default;
};

std::vector<PathRow> PathsOf(const account_s& account) {
    std::vector<PathRow> rows;
    for (const textnode_s* e = account.paths.entries.head; e != nullptr; e = e->next) {
        rows.push_back({e->path, e->flags, e->reserved});
    }
    return rows;
}

// Every stored field of an account, for whole-record comparison.
std::string Describe(const account_s& a) {
    std::string s = std::string(a.name) + "|" + a.login + "|" + a.password + "|" + a.home + "|" +
                    a.loginmsg;
    for (uint32_t n : {a.reserved1, a.reserved2, a.reserved3, a.timeout, a.maxlogins, a.enabled,
                       a.reserved4, a.reserved5, a.reserved6, a.reserved7}) {
        s += "|" + std::to_string(n);
    }
    for (const PathRow& p : PathsOf(a)) {
        s += "|" + p.path + ":" + std::to_string(p.flags) + ":" + std::to_string(p.reserved);
    }
    return s;
}

std::string Describe(const srvropt_s& o) {
    std::string s;
    for (uint32_t n : {o.port, o.features, o.reserved2, o.reserved3, o.maxusers,
                       o.anonemailcheck, o.reserved4, o.startatboot, o.idletimeout}) {
        s += std::to_string(n) + "|";
    }
    return s;
}

// The whole store as text: options, anonymous account, named accounts.
std::string Describe(AccountStore& store) {
    AccountStore::Lock lock(store);
    std::string s = Describe(store.options) + "\n" + Describe(store.anonymous);
    for (const account_s* a = store.accounts.head; a != nullptr; a = a->next) {
        s += "\n" + Describe(*a);
    }
    return s;
}

class SettingsTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarnhold-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        files_ = SettingsFilesIn(dir_);
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    void Put(const std::string& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }
    static std::string Contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void LoadText(const std::string& content) {
        Put(files_.settingsPath, content);
        LoadSettings(store_, files_);
    }
    std::vector<std::string> FilesInDir() const {
        std::vector<std::string> names;
        std::string command = "ls -A '" + dir_ + "'";
        FILE* ls = popen(command.c_str(), "r");
        char name[512];
        while (fgets(name, sizeof name, ls) != nullptr) {
            names.emplace_back(name, strcspn(name, "\n"));
        }
        pclose(ls);
        return names;
    }

    std::string dir_;
    SettingsFiles files_;
    AccountStore store_;
};

// Fills the store with the records the example describes, by hand.
void BuildExample(AccountStore& store) {
    AccountStore::Lock lock(store);
    ApplyOptionDefaults(store.options);
    CopyText(store.anonymous.home, "/ftp/public");
    CopyText(store.anonymous.loginmsg, "Welcome\r\nRead only");
    ASSERT_NE(store.anonymous.paths.AddPath("/ftp/public", 0x44, 0), nullptr);
    account_s* backup = store.AddAccount();
    CopyText(backup->name, "Backup");
    CopyText(backup->login, "backup");
    CopyText(backup->password, "s3cret");
    CopyText(backup->home, "/backup");
    ASSERT_NE(backup->paths.AddPath("/backup", 0x66, 0), nullptr);
}

TEST_F(SettingsTest, ExampleLoadsIntoTheRecordsItDescribes) {
    LoadText(kExample);
    AccountStore::Lock lock(store_);
    srvropt_s defaults;
    ApplyOptionDefaults(defaults);
    EXPECT_EQ(Describe(store_.options), Describe(defaults));
    const account_s& anon = store_.anonymous;
    EXPECT_STREQ(anon.name, "Public FTP Account");
    EXPECT_STREQ(anon.home, "/ftp/public");
    EXPECT_STREQ(anon.loginmsg, "Welcome\r\nRead only");
    EXPECT_EQ(anon.enabled, 1u);
    EXPECT_EQ(PathsOf(anon), (std::vector<PathRow>{{"/ftp/public", 0x44, 0}}));
    ASSERT_EQ(store_.accounts.count, 1);
    const account_s& backup = *store_.accounts.head;
    EXPECT_EQ(Describe(backup),
              "Backup|backup|s3cret|/backup||0|1000000|1000000|300|10|1|0|0|0|0|/backup:102:0");
}

TEST_F(SettingsTest, SavingTheExampleRecordsWritesItByteForByte) {
    BuildExample(store_);
    ASSERT_TRUE(SaveSettings(store_, files_));
    EXPECT_EQ(Contents(files_.settingsPath), kExample);
    // And a loaded file saves back unchanged.
    AccountStore other;
    LoadSettings(other, files_);
    ASSERT_TRUE(SaveSettings(other, files_));
    EXPECT_EQ(Contents(files_.settingsPath), kExample);
}

TEST_F(SettingsTest, SaveThenLoadKeepsEveryRecordInOrder) {
    {
        AccountStore::Lock lock(store_);
        srvropt_s& o = store_.options;
        o = {2121, 7, 0xdeadbeef, 0, 5, 1, 0, 0, 4294967295u};
        CopyText(store_.anonymous.login, "ftp");
        CopyText(store_.anonymous.loginmsg, "one\r\ntwo\r\n\r\nfour");
        store_.anonymous.enabled = 0;
        store_.anonymous.paths.AddPath("/pub", 0x44, 3);
        store_.anonymous.paths.AddPath("/", 0x04, 0);
        for (int i = 0; i < 3; ++i) {
            account_s* a = store_.AddAccount();
            CopyText(a->name, "Account " + std::to_string(i));
            CopyText(a->login, "user" + std::to_string(i));
            CopyText(a->home, "/home/u" + std::to_string(i));
            CopyText(a->password, i == 1 ? "" : std::string(260, 'p'));  // empty and full
            a->reserved7 = 0xabcdef01u + static_cast<uint32_t>(i);
            a->timeout = static_cast<uint32_t>(i);
            for (int k = 2; k >= 0; --k) {
                a->paths.AddPath("/home/u" + std::to_string(i) + "/d" + std::to_string(k),
                                 static_cast<uint32_t>(0x10 * k + 1), static_cast<uint32_t>(k));
            }
        }
        // Sessions are not stored.
        store_.BeginSession(store_.accounts.head, "10.0.0.1");
    }
    std::string before = Describe(store_);
    ASSERT_TRUE(SaveSettings(store_, files_));
    AccountStore loaded;
    LoadSettings(loaded, files_);
    EXPECT_EQ(Describe(loaded), before);
    AccountStore::Lock lock(loaded);
    EXPECT_EQ(loaded.accounts.head->clients.count, 0);
    // An empty password and an empty login message are empty lines.
    EXPECT_NE(Contents(files_.settingsPath).find("user1\r\n\r\n/home/u1\r\n\r\n"),
              std::string::npos);
    {
        AccountStore::Lock storeLock(store_);
        store_.ReleaseClient(store_.accounts.head, store_.accounts.head->clients.head);
    }
}

TEST_F(SettingsTest, SaveKeepsThePreviousFileAsBackupAndMode0600) {
    const std::string previous = "whatever was here before\r\nSRVROPT+!~*#$\r\n1\r\n";
    Put(files_.settingsPath, previous);
    ASSERT_EQ(chmod(files_.settingsPath.c_str(), 0644), 0);
    Put(files_.backupPath, "older backup");
    mode_t mask = umask(0);  // the mode must not depend on the umask
    bool saved = SaveSettings(store_, files_);
    umask(mask);
    ASSERT_TRUE(saved);
    EXPECT_EQ(Contents(files_.backupPath), previous);
    for (const std::string& path : {files_.settingsPath, files_.backupPath}) {
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << path;
    }
    EXPECT_EQ(FilesInDir(), (std::vector<std::string>{"tarnhold.bak", "tarnhold.bot"}));

    // Without a settings file there is nothing to back up.
    std::remove(files_.settingsPath.c_str());
    std::remove(files_.backupPath.c_str());
    ASSERT_TRUE(SaveSettings(store_, files_));
    EXPECT_EQ(FilesInDir(), (std::vector<std::string>{"tarnhold.bot"}));
}

TEST_F(SettingsTest, MissingFileGivesDefaultsAndLoadReplacesEarlierRecords) {
    LoadText(kExample);
    std::remove(files_.settingsPath.c_str());
    LoadSettings(store_, files_);
    AccountStore fresh;
    EXPECT_EQ(Describe(store_), Describe(fresh));
    AccountStore::Lock lock(store_);
    EXPECT_STREQ(store_.anonymous.name, "Public FTP Account");
    EXPECT_EQ(store_.anonymous.enabled, 1u);
}

TEST_F(SettingsTest, MarkersMatchWholeLinesWithoutRegardToCase) {
    LoadText(Lines({"leading junk", "srvropt+!~*#$", "2121", "anonacct+!~*#$", "Lower",
                    // A trailing blank: no marker, so the lines count on in
                    // the anonymous section (login, password).
                    "REGACCT+!~*#$ ", "Ghost", " REGACCT+!~*#$", "/ghost"}));
    AccountStore::Lock lock(store_);
    EXPECT_EQ(store_.options.port, 2121u);
    EXPECT_STREQ(store_.anonymous.name, "Lower");
    EXPECT_STREQ(store_.anonymous.login, "REGACCT+!~*#$ ");
    EXPECT_STREQ(store_.anonymous.password, "Ghost");
    EXPECT_STREQ(store_.anonymous.home, " REGACCT+!~*#$");
    EXPECT_STREQ(store_.anonymous.loginmsg, "/ghost");
    EXPECT_EQ(store_.accounts.count, 0);
}

TEST_F(SettingsTest, SectionsByPosition) {
    LoadText(Lines({
        "ACCPATH+!~*#$", "/orphan", "44", "0",  // before any REGACCT: ignored
        "REGACCT+!~*#$", "Only a name",
        "ACCPATH+!~*#$", "/data", "44", "1",
        "ACCPATH+!~*#$", "/DATA", "66", "2",     // a different path on POSIX
        "ACCPATH+!~*#$", "//data/", "20", "3",   // the same path: dropped
        "ACCPATH+!~*#$", "relative", "20", "4",  // refused by the tree
        "SRVROPT+!~*#$", "1", "SRVROPT+!~*#$", "", "2",  // a repeated section overwrites
        "BLKLIST+!~*#$", "REGACCT+!~*#$", "After", "SRVROPT+!~*#$", "99",
    }));
    AccountStore::Lock lock(store_);
    ASSERT_EQ(store_.accounts.count, 2);  // the second REGACCT after BLKLIST is a marker again
    account_s& only = *store_.accounts.head;
    account_s expected;
    ApplyAccountDefaults(expected);
    CopyText(expected.name, "Only a name");
    expected.paths.AddPath("/data", 0x44, 1);
    expected.paths.AddPath("/DATA", 0x66, 2);
    EXPECT_EQ(Describe(only), Describe(expected));
    EXPECT_STREQ(store_.accounts.tail->name, "After");
    EXPECT_EQ(store_.options.port, 99u);
    EXPECT_EQ(store_.options.features, 2u);
}

TEST_F(SettingsTest, LinesAfterTheBlockListAreIgnored) {
    LoadText(kExample + Lines({"10.0.0.1", "Some text", "12345"}));
    AccountStore expected;
    Put(files_.settingsPath, kExample);
    LoadSettings(expected, files_);
    EXPECT_EQ(Describe(store_), Describe(expected));
}

TEST_F(SettingsTest, TextEqualToAMarkerStartsThatSection) {
    {
        AccountStore::Lock lock(store_);
        CopyText(store_.anonymous.password, "regacct+!~*#$");
    }
    ASSERT_TRUE(SaveSettings(store_, files_));
    AccountStore loaded;
    LoadSettings(loaded, files_);
    AccountStore::Lock lock(loaded);
    EXPECT_STREQ(loaded.anonymous.password, "");
    EXPECT_EQ(loaded.accounts.count, 1);
}

TEST_F(SettingsTest, NumbersConvertAsAnUnsignedConversionDoes) {
    struct Case {
        const char* text;
        uint32_t decimal;  // as the port (decimal field)
        uint32_t hex;      // as reserved2 (hexadecimal field)
    } cases[] = {
        {"42", 42, 0x42},          {"  \t 42", 42, 0x42},       {"12abc", 12, 0x12abc},
        {"abc", 0, 0xabc},         {"", 0, 0},                  {"x", 0, 0},
        {"0x1F", 0, 0x1f},         {"0x", 0, 0},                {"0xg", 0, 0},
        {"4294967295", 4294967295u, 4294967295u},               {"4294967296", 4294967295u, 4294967295u},
        {"99999999999999999999999", 4294967295u, 4294967295u}, {"fffffffff", 0, 4294967295u},
        {"+7", 7, 7},              {"-1", 4294967295u, 4294967295u},
    };
    for (const Case& c : cases) {
        LoadText(Lines({"SRVROPT+!~*#$", c.text, "0", c.text}));
        AccountStore::Lock lock(store_);
        EXPECT_EQ(store_.options.port, c.decimal) << "'" << c.text << "'";
        EXPECT_EQ(store_.options.reserved2, c.hex) << "'" << c.text << "'";
    }
}

TEST_F(SettingsTest, LoginMessageKeepsItsLinesOnOneLine) {
    {
        AccountStore::Lock lock(store_);
        CopyText(store_.anonymous.loginmsg, "one\r\ntwo\r\nthree");
    }
    ASSERT_TRUE(SaveSettings(store_, files_));
    EXPECT_NE(Contents(files_.settingsPath).find("\r\none\x1c\x1dtwo\x1c\x1dthree\r\n"),
              std::string::npos);
    AccountStore loaded;
    LoadSettings(loaded, files_);
    AccountStore::Lock lock(loaded);
    EXPECT_STREQ(loaded.anonymous.loginmsg, "one\r\ntwo\r\nthree");
}

// The line reader hands out lines of 1024 characters or more in pieces,
// and may split the CR LF between two of them; the value after a long
// login message must still be the next field.
TEST_F(SettingsTest, LongLoginMessageReadsBackWholeAndTheNextLineIntact) {
    for (std::size_t length = 1020; length <= 1027; ++length) {
        {
            AccountStore::Lock lock(store_);
            std::string message(length, 'm');
            message[length / 2] = '\r';
            message[length / 2 + 1] = '\n';
            CopyText(store_.anonymous.loginmsg, message);
            store_.anonymous.reserved1 = 4242;
        }
        std::string before = Describe(store_);
        ASSERT_TRUE(SaveSettings(store_, files_));
        AccountStore loaded;
        LoadSettings(loaded, files_);
        EXPECT_EQ(Describe(loaded), before) << "length " << length;
    }
}

TEST_F(SettingsTest, OverlongLinesAreCutAtTheFieldWithoutShiftingTheRest) {
    std::string huge(100 * 1024, 'n');
    LoadText(Lines({"REGACCT+!~*#$", huge, "login", "", "/home", std::string(5000, 'w'), "77"}));
    AccountStore::Lock lock(store_);
    ASSERT_EQ(store_.accounts.count, 1);
    const account_s& a = *store_.accounts.head;
    EXPECT_EQ(std::string(a.name), std::string(260, 'n'));
    EXPECT_STREQ(a.login, "login");
    EXPECT_STREQ(a.home, "/home");
    EXPECT_EQ(std::string(a.loginmsg), std::string(1027, 'w'));
    EXPECT_EQ(a.reserved1, 77u);
}

TEST_F(SettingsTest, NulBytesAreSkippedAndTheRestStillLoads) {
    std::string damaged = kExample;
    damaged.insert(damaged.find("Backup"), 3, '\0');
    damaged.insert(damaged.find("/ftp/public"), std::string(5000, '\0'));
    LoadText(damaged);
    AccountStore expected;
    Put(files_.settingsPath, kExample);
    LoadSettings(expected, files_);
    EXPECT_EQ(Describe(store_), Describe(expected));
}

// Fails one chosen call of the save, counted per step kind.
class FailingDisk : public SettingsDisk {
public:
    enum Step { kOpen, kWrite, kShortWrite, kSync, kClose, kLink, kChmod, kRename1, kRename2,
                kSyncFolder, kSteps };
    explicit FailingDisk(Step step) : step_(step) {}

    int OpenTemp(const char* path) override {
        return step_ == kOpen ? Fail() : SettingsDisk::OpenTemp(path);
    }
    ssize_t Write(int fd, const void* data, std::size_t count) override {
        if (step_ == kWrite) return Fail(EIO);
        if (step_ == kShortWrite) {
            // Part of the text, then a full disk.
            if (wrote_) return Fail(ENOSPC);
            wrote_ = true;
            return SettingsDisk::Write(fd, data, count / 2);
        }
        return SettingsDisk::Write(fd, data, count);
    }
    int Sync(int fd) override { return step_ == kSync ? Fail() : SettingsDisk::Sync(fd); }
    int Close(int fd) override {
        if (step_ == kClose) {
            SettingsDisk::Close(fd);
            return Fail();
        }
        return SettingsDisk::Close(fd);
    }
    int Link(const char* a, const char* b) override {
        return step_ == kLink ? Fail() : SettingsDisk::Link(a, b);
    }
    int Chmod(const char* p, mode_t m) override {
        return step_ == kChmod ? Fail() : SettingsDisk::Chmod(p, m);
    }
    int Rename(const char* a, const char* b) override {
        ++renames_;
        if ((step_ == kRename1 && renames_ == 1) || (step_ == kRename2 && renames_ == 2)) {
            return Fail();
        }
        return SettingsDisk::Rename(a, b);
    }
    int SyncFolder(const char* f) override {
        return step_ == kSyncFolder ? Fail() : SettingsDisk::SyncFolder(f);
    }

private:
    static int Fail(int error = EIO) {
        errno = error;
        return -1;
    }
    Step step_;
    bool wrote_ = false;
    int renames_ = 0;
};

TEST_F(SettingsTest, AFailedStepNeverLosesThePreviousSettings) {
    for (int s = 0; s < FailingDisk::kSteps; ++s) {
        std::remove(files_.backupPath.c_str());
        LoadText(kExample);  // the previous settings
        const std::string previous = Describe(store_);
        {
            AccountStore::Lock lock(store_);
            store_.options.port = 4444;
            store_.AddAccount();
        }
        const std::string changed = Describe(store_);
        FailingDisk disk(static_cast<FailingDisk::Step>(s));
        EXPECT_FALSE(SaveSettings(store_, files_, disk)) << "step " << s;

        // Either the settings file still holds the previous settings, or
        // the save went through and the backup holds them.
        AccountStore fromSettings, fromBackup;
        LoadSettings(fromSettings, files_);
        LoadSettings(fromBackup, {files_.backupPath, "", ""});
        if (s == FailingDisk::kSyncFolder) {
            EXPECT_EQ(Describe(fromSettings), changed);
            EXPECT_EQ(Describe(fromBackup), previous);
        } else {
            EXPECT_EQ(Describe(fromSettings), previous) << "step " << s;
        }
        std::vector<std::string> left = FilesInDir();
        EXPECT_TRUE(left == std::vector<std::string>{"tarnhold.bot"} ||
                    left == (std::vector<std::string>{"tarnhold.bak", "tarnhold.bot"}))
            << "step " << s << ": " << testing::PrintToString(left);
    }
}

TEST_F(SettingsTest, UnwritableFolderFailsAndChangesNothing) {
    SettingsFiles nowhere = SettingsFilesIn(dir_ + "/missing");
    EXPECT_FALSE(SaveSettings(store_, nowhere));
}

// --- tarnhold.conf beside the settings file ---

// Longer than one read of the loader, too.
const std::string kConf =
    "# Network settings, edited by hand\r\n"
    "# " + std::string(5000, '-') + "\r\n"
    "\r\n"
    "passive_ports = 40000-40009\n"
    "newer_key = from a later version\r\n"
    "port_mapping = maybe\r\n"
    "passive_address=203.0.113.7";

TEST_F(SettingsTest, ConfIsLoadedBesideTheSettingsAndSavedBackByteForByte) {
    Put(files_.confPath, kConf);
    const std::vector<ConfError> errors = LoadSettings(store_, files_);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].LogText(), "tarnhold.conf line 6: port_mapping 'maybe' must be yes or no");
    ConfValues expected;
    expected.passivePorts = PortRange{40000, 40009};
    expected.passiveAddress = "203.0.113.7";
    EXPECT_EQ(store_.ConfSnapshot(), expected);

    ASSERT_TRUE(SaveAllSettings(store_, files_));
    EXPECT_EQ(Contents(files_.confPath), kConf);  // the refused line too
    struct stat st;
    ASSERT_EQ(stat(files_.confPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    {
        AccountStore::Lock lock(store_);
        ASSERT_EQ(SetConfValue(store_.conf, store_.confValues, *FindConfKey("port_mapping"), "yes"),
                  std::nullopt);
    }
    ASSERT_TRUE(SaveConf(store_, files_));
    std::string changed = kConf;
    changed.replace(changed.find("maybe"), 5, "yes");
    EXPECT_EQ(Contents(files_.confPath), changed);
    EXPECT_TRUE(LoadSettings(store_, files_).empty());
    EXPECT_TRUE(store_.ConfSnapshot().portMapping);
}

TEST_F(SettingsTest, AMissingConfIsMadeOnlyWhenAKeyIsSet) {
    LoadText(kExample);
    ASSERT_TRUE(SaveAllSettings(store_, files_));
    EXPECT_EQ(FilesInDir(), (std::vector<std::string>{"tarnhold.bak", "tarnhold.bot"}));
    EXPECT_EQ(store_.ConfSnapshot(), ConfValues());
    {
        AccountStore::Lock lock(store_);
        ASSERT_EQ(SetConfValue(store_.conf, store_.confValues, *FindConfKey("passive_ports"), ""),
                  std::nullopt);
    }
    ASSERT_TRUE(SaveConf(store_, files_));
    EXPECT_EQ(Contents(files_.confPath), "passive_ports =\n");
}

TEST_F(SettingsTest, AConfThatCannotBeReadIsNeverReplaced) {
    // A folder in its place cannot be read, whoever runs the test.
    ASSERT_EQ(mkdir(files_.confPath.c_str(), 0700), 0);
    std::string error;
    EXPECT_FALSE(SettingsFileReadable(files_, error));
    EXPECT_NE(error.find("cannot read the settings file " + files_.confPath), std::string::npos)
        << error;
    LoadSettings(store_, files_);
    {
        AccountStore::Lock lock(store_);
        SetConfValue(store_.conf, store_.confValues, *FindConfKey("port_mapping"), "yes");
    }
    EXPECT_FALSE(SaveConf(store_, files_));
    struct stat st;
    ASSERT_EQ(stat(files_.confPath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(SettingsTest, AFailedStepOfAConfSaveLeavesACompleteFile) {
    for (int s = 0; s < FailingDisk::kSteps; ++s) {
        Put(files_.confPath, kConf);
        LoadSettings(store_, files_);
        std::string changed;
        {
            AccountStore::Lock lock(store_);
            SetConfValue(store_.conf, store_.confValues, *FindConfKey("passive_ports"),
                         "50000-50099");
            changed = store_.conf.Text();
        }
        FailingDisk disk(static_cast<FailingDisk::Step>(s));
        const bool saved = SaveConf(store_, files_, disk);
        // No backup is kept: its steps never run, and the save succeeds.
        const bool backupStep = s == FailingDisk::kLink || s == FailingDisk::kChmod ||
                                s == FailingDisk::kRename2;
        EXPECT_EQ(saved, backupStep) << "step " << s;
        const std::string now = Contents(files_.confPath);
        if (saved || s == FailingDisk::kSyncFolder) {
            EXPECT_EQ(now, changed) << "step " << s;
        } else {
            EXPECT_EQ(now, kConf) << "step " << s;
        }
        EXPECT_EQ(FilesInDir(), std::vector<std::string>{"tarnhold.conf"}) << "step " << s;
    }
}

TEST_F(SettingsTest, RootSavingIntoAnotherUsersFolderGivesTheFileToThatUser) {
    if (geteuid() != 0) GTEST_SKIP() << "only root writes files for other users";
    const uid_t nobody = 65534;
    ASSERT_EQ(chown(dir_.c_str(), nobody, nobody), 0);
    ASSERT_TRUE(SaveSettings(store_, files_));
    struct stat st;
    ASSERT_EQ(stat(files_.settingsPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody);
    EXPECT_EQ(st.st_gid, nobody);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Random and damaged files: the load must end, stay within every field,
// and leave what it cannot read at the defaults.
TEST_F(SettingsTest, RandomInputNeverCrashesOrHangs) {
    std::mt19937 random(20240611);
    const std::vector<std::string> pieces = {
        "SRVROPT+!~*#$\r\n", "ANONACCT+!~*#$\r\n", "ANONACCPATH+!~*#$\r\n", "REGACCT+!~*#$\r\n",
        "ACCPATH+!~*#$\r\n", "BLKLIST+!~*#$\r\n", "\r\n", "\r", "\n", std::string(1, '\0'),
        "\x1c\x1d", "/data\r\n", "0x\r\n", "4294967296\r\n", "44\r\n",
    };
    std::vector<std::string> exampleLines;
    for (std::size_t at = 0, next; (next = kExample.find("\r\n", at)) != std::string::npos;
         at = next + 2) {
        exampleLines.push_back(kExample.substr(at, next + 2 - at));
    }
    for (int round = 0; round < 200; ++round) {
        std::string content;
        switch (round % 4) {
            case 0:  // random bytes, no structure: everything stays at the defaults
                for (int i = random() % 20000; i > 0; --i) content += static_cast<char>(random());
                if (content.find("+!~*#$") != std::string::npos) content.clear();
                break;
            case 1:  // pieces of the format, random bytes and long lines
                for (int i = random() % 200; i > 0; --i) {
                    switch (random() % 3) {
                        case 0: content += pieces[random() % pieces.size()]; break;
                        case 1: content += std::string(random() % 3000, 'a' + random() % 26); break;
                        default: content += static_cast<char>(random()); break;
                    }
                }
                break;
            case 2:  // the example's lines shuffled
                for (std::size_t i = 0; i < exampleLines.size(); ++i) {
                    content += exampleLines[random() % exampleLines.size()];
                }
                break;
            default:  // the example cut short, with a 100 KiB line inside
                content = kExample.substr(0, random() % kExample.size());
                content.insert(random() % (content.size() + 1), std::string(100 * 1024, 'L'));
                break;
        }
        LoadText(content);
        {
            AccountStore::Lock lock(store_);
            auto bounded = [](const account_s& a) {
                return strnlen(a.name, sizeof a.name) < sizeof a.name &&
                       strnlen(a.login, sizeof a.login) < sizeof a.login &&
                       strnlen(a.password, sizeof a.password) < sizeof a.password &&
                       strnlen(a.home, sizeof a.home) < sizeof a.home &&
                       strnlen(a.loginmsg, sizeof a.loginmsg) < sizeof a.loginmsg;
            };
            EXPECT_TRUE(bounded(store_.anonymous)) << "round " << round;
            for (const account_s* a = store_.accounts.head; a != nullptr; a = a->next) {
                EXPECT_TRUE(bounded(*a)) << "round " << round;
            }
        }
        if (round % 4 == 0) {
            AccountStore fresh;
            EXPECT_EQ(Describe(store_), Describe(fresh)) << "round " << round;
        }
    }
}

}  // namespace
