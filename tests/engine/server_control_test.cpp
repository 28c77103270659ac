#include "engine/server_control.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "config/account_store.h"
#include "engine/ws_server.h"
#include "engine/ws_thread.h"
#include "loopback.h"

namespace {

class BareServer : public CIP_WSServer {
public:
    ~BareServer() override { ShutdownAndWait(); }

    void ListeningStarted(uint16_t port) override { hooks.push_back(std::to_string(port)); }
    void ListeningStopped(bool exiting) override {
        hooks.push_back(exiting ? "exited" : "stopped");
    }
    // What the owner's commands told the listener, in order.
    std::vector<std::string> hooks;

protected:
    CIP_WSThread* CreateSession() override { return new CIP_WSThread; }
    void ReleaseSession(CIP_WSThread* session) override { delete session; }
};

class RecordingLog : public ServerLog {
public:
    void AppendLogLine(const char* text, LogStyle style) override {
        lines.emplace_back(LogStyleName(style), text);
    }
    std::vector<std::pair<std::string, std::string>> lines;  // style, text
};

// A port that nothing listens on at this moment.
uint32_t FreePort() { return static_cast<uint32_t>(loopback::FreeListeningPort()); }

bool Accepts(uint32_t port) {
    int fd = loopback::ConnectTo(static_cast<int>(port));
    if (fd < 0) return false;
    close(fd);
    return true;
}

std::string ErrorLine(const std::string& port) {
    return "Could not start listening on port " + port +
           ". Please check if another program is already using this port, or select a "
           "different port.";
}

class ServerControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/server-control-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        files = SettingsFilesIn(folder);
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    void SetPort(uint32_t port) {
        AccountStore::Lock lock(store);
        store.options.port = port;
    }

    AccountStore store;
    BareServer listener;
    RecordingLog log;
    ServerControl control{listener, store, log};
    std::string folder;
    SettingsFiles files;
};

TEST_F(ServerControlTest, StartAndStopLogTheirLinesAndSwitchTheEntries) {
    EXPECT_TRUE(control.StartEnabled());
    EXPECT_TRUE(control.StopEnabled());
    const uint32_t port = FreePort();
    SetPort(port);
    const std::string portText = std::to_string(port);

    ASSERT_TRUE(control.Start());
    EXPECT_FALSE(control.StartEnabled());
    EXPECT_TRUE(control.StopEnabled());
    EXPECT_TRUE(Accepts(port));

    // A second Start (the tray menu never disables it) fails on the port in
    // use and leaves the running listener and the entries alone.
    EXPECT_FALSE(control.Start());
    EXPECT_FALSE(control.StartEnabled());
    EXPECT_TRUE(control.StopEnabled());
    EXPECT_TRUE(Accepts(port));

    control.Stop();
    EXPECT_TRUE(control.StartEnabled());
    EXPECT_FALSE(control.StopEnabled());
    EXPECT_FALSE(Accepts(port));

    // Stop while nothing listens still logs and keeps the entries.
    control.Stop();

    const std::vector<std::pair<std::string, std::string>> expected = {
        {"TarnHold basic", "Listening for connections on port " + portText},
        {"TarnHold error", ErrorLine(portText)},
        {"TarnHold basic", "Stopped listening for connections on port " + portText},
        {"TarnHold basic", "Stopped listening for connections on port " + portText},
    };
    EXPECT_EQ(log.lines, expected);
}

TEST_F(ServerControlTest, StartRefusesPortsThatNameNoReachablePort) {
    int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    socklen_t length = sizeof at;
    getsockname(holder, reinterpret_cast<sockaddr*>(&at), &length);
    const uint32_t taken = ntohs(at.sin_port);
    const uint32_t free16 = FreePort();

    // The port printed is the stored option, unsigned; a value above 16
    // bits must not listen on its low 16 bits.
    const uint32_t cases[] = {taken, 0, free16 + 65536, 4294967295u};
    for (uint32_t port : cases) {
        SCOPED_TRACE(port);
        log.lines.clear();
        SetPort(port);
        EXPECT_FALSE(control.Start());
        EXPECT_TRUE(control.StartEnabled());
        EXPECT_TRUE(control.StopEnabled());
        const std::vector<std::pair<std::string, std::string>> expected = {
            {"TarnHold error", ErrorLine(std::to_string(port))}};
        EXPECT_EQ(log.lines, expected);
    }
    EXPECT_FALSE(Accepts(free16));
    EXPECT_EQ(listener.ListenPort(), -1);
    close(holder);
}

TEST_F(ServerControlTest, ExitStopsWithoutALogLineAndSavesTheSettings) {
    const uint32_t port = FreePort();
    SetPort(port);
    ASSERT_TRUE(control.Start());
    log.lines.clear();

    EXPECT_TRUE(control.Exit(files));
    EXPECT_TRUE(log.lines.empty());
    EXPECT_FALSE(Accepts(port));

    std::ifstream saved(files.settingsPath, std::ios::binary);
    std::stringstream text;
    text << saved.rdbuf();
    EXPECT_EQ(text.str().rfind("SRVROPT+!~*#$\r\n" + std::to_string(port) + "\r\n", 0), 0u);
    struct stat info{};
    ASSERT_EQ(stat(files.settingsPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(ServerControlTest, ExitAfterStopSavesAndReportsAFailedSave) {
    SetPort(FreePort());
    ASSERT_TRUE(control.Start());
    control.Stop();
    log.lines.clear();

    EXPECT_TRUE(control.Exit(files));
    EXPECT_TRUE(log.lines.empty());

    EXPECT_FALSE(control.Exit(SettingsFilesIn(folder + "/missing")));
}

// Port mapping hangs on these: it begins only once listening did, and
// ends with every Stop and Exit.
TEST_F(ServerControlTest, TellsTheListenerWhenListeningStartsAndStops) {
    const uint32_t port = FreePort();
    SetPort(0);
    EXPECT_FALSE(control.Start());
    SetPort(port);
    ASSERT_TRUE(control.Start());
    EXPECT_FALSE(control.Start());
    control.Stop();
    ASSERT_TRUE(control.Start());
    EXPECT_TRUE(control.Exit(files));
    const std::vector<std::string> expected = {std::to_string(port), "stopped",
                                               std::to_string(port), "exited"};
    EXPECT_EQ(listener.hooks, expected);
}

TEST(IdleTimeoutFromOption, KeepsTheRangeOfASignedNumber) {
    const std::pair<uint32_t, int> cases[] = {
        {0, 0},
        {300, 300},
        {static_cast<uint32_t>(INT_MAX), INT_MAX},
        {static_cast<uint32_t>(INT_MAX) + 1, INT_MAX},
        {4294967295u, INT_MAX},
    };
    for (const auto& [option, seconds] : cases) {
        EXPECT_EQ(IdleTimeoutFromOption(option), seconds) << option;
    }
}

}  // namespace
