// The public address PASV announces: which clients count as public, a
// fixed address, and a host name looked up on a thread of its own whose
// failures keep the last good address and are reported once a run.
#include "engine/public_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace {

in_addr Address(const char* text) {
    in_addr address{};
    EXPECT_EQ(inet_pton(AF_INET, text, &address), 1) << text;
    return address;
}

std::string Text(in_addr address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

TEST(IsPublicIPv4, OnlyAddressesOutsideTheOwnersNetworks) {
    const struct {
        const char* address;
        bool isPublic;
    } cases[] = {
        {"127.0.0.1", false},     {"127.255.255.254", false}, {"10.1.2.3", false},
        {"172.16.0.1", false},    {"172.31.255.255", false},  {"172.32.0.1", true},
        {"172.15.255.255", true}, {"192.168.1.20", false},    {"192.169.0.1", true},
        {"169.254.9.9", false},   {"100.64.0.1", false},      {"100.127.255.255", false},
        {"100.128.0.1", true},    {"198.18.0.1", false},      {"198.19.255.255", false},
        {"198.20.0.1", true},     {"203.0.113.7", true},      {"8.8.8.8", true},
        {"198.51.100.1", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsPublicIPv4(Address(c.address)), c.isPublic) << c.address;
    }
}

// Answers the lookups from a script, one answer per lookup (the last one
// repeated), and lets a test wait for a number of lookups.
class ScriptedResolver {
public:
    explicit ScriptedResolver(std::deque<std::string> answers) : answers_(std::move(answers)) {}
    PublicAddress::Resolver Resolver() {
        return [this](const std::string& name, in_addr& address, std::string& error) {
            std::lock_guard<std::mutex> guard(mutex_);
            names_.push_back(name);
            const std::string answer = answers_.front();
            if (answers_.size() > 1) answers_.pop_front();
            ++lookups_;
            changed_.notify_all();
            if (answer.empty()) {
                error = "Name or service not known";
                return false;
            }
            address = Address(answer.c_str());
            return true;
        };
    }
    void WaitForLookups(int count) {
        std::unique_lock<std::mutex> guard(mutex_);
        changed_.wait(guard, [&] { return lookups_ >= count; });
    }
    std::vector<std::string> Names() {
        std::lock_guard<std::mutex> guard(mutex_);
        return names_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> answers_;
    std::vector<std::string> names_;
    int lookups_ = 0;
};

struct Reports {
    std::mutex mutex;
    std::vector<std::string> lines;
    PublicAddress::Reporter Reporter() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> guard(mutex);
            lines.push_back(line);
        };
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> guard(mutex);
        return lines;
    }
};

TEST(PublicAddress, NoneEmptyOrAFixedAddressWithoutAnyLookup) {
    ScriptedResolver resolver({"203.0.113.9"});
    PublicAddress address(resolver.Resolver());
    in_addr got{};
    EXPECT_FALSE(address.Get(got));
    address.Set("203.0.113.5", nullptr);
    ASSERT_TRUE(address.Get(got));
    EXPECT_EQ(Text(got), "203.0.113.5");
    address.Set("", nullptr);
    EXPECT_FALSE(address.Get(got));
    EXPECT_TRUE(resolver.Names().empty());
}

TEST(PublicAddress, AHostNameIsLookedUpAgainAndAFailureKeepsTheLastGoodAddress) {
    // Lookups 1 and 2 succeed, 3 to 5 fail, 6 succeeds, 7 fails.
    ScriptedResolver resolver(
        {"203.0.113.1", "203.0.113.2", "", "", "", "203.0.113.6", ""});
    Reports reports;
    PublicAddress address(resolver.Resolver(), std::chrono::milliseconds(1));
    address.Set("home.example.org", reports.Reporter());
    resolver.WaitForLookups(8);
    in_addr got{};
    ASSERT_TRUE(address.Get(got));
    EXPECT_EQ(Text(got), "203.0.113.6");
    EXPECT_EQ(resolver.Names().front(), "home.example.org");
    // One line for each run of failures.
    const std::string line =
        "Could not look up the passive address home.example.org: Name or service not known";
    EXPECT_EQ(reports.Lines(), (std::vector<std::string>{line, line}));
}

TEST(PublicAddress, NothingIsAnnouncedBeforeTheFirstSuccessAndASetEndsTheLookups) {
    ScriptedResolver resolver({""});
    Reports reports;
    PublicAddress address(resolver.Resolver(), std::chrono::milliseconds(1));
    address.Set("nowhere.invalid", reports.Reporter());
    resolver.WaitForLookups(3);
    in_addr got{};
    EXPECT_FALSE(address.Get(got));
    address.Set("198.51.100.4", reports.Reporter());
    ASSERT_TRUE(address.Get(got));
    EXPECT_EQ(Text(got), "198.51.100.4");
    EXPECT_EQ(reports.Lines().size(), 1u);
}

// The router's external address stands in only for an empty setting; the
// owner's own, even a name not yet looked up, always wins.
TEST(PublicAddress, TheRoutersAddressIsAnnouncedOnlyWithoutTheOwnersOwn) {
    ScriptedResolver resolver({""});
    PublicAddress address(resolver.Resolver(), std::chrono::milliseconds(1));
    const uint32_t router = Address("203.0.113.1").s_addr;
    in_addr got{};
    address.SetFromRouter(router);
    ASSERT_TRUE(address.Get(got));
    EXPECT_EQ(Text(got), "203.0.113.1");
    address.Set("198.51.100.4", nullptr);
    ASSERT_TRUE(address.Get(got));
    EXPECT_EQ(Text(got), "198.51.100.4");
    address.Set("nowhere.invalid", nullptr);
    resolver.WaitForLookups(1);
    EXPECT_FALSE(address.Get(got));
    address.Set("", nullptr);
    ASSERT_TRUE(address.Get(got));
    EXPECT_EQ(Text(got), "203.0.113.1");
    address.SetFromRouter(0);
    EXPECT_FALSE(address.Get(got));
}

}  // namespace
