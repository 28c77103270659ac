// The ports port mapping asks for, the lines it logs, and a run's course
// (routers tried in turn, renewal, removal) against routers of the test's
// own. The talk with a real router is tested in the network lab
// (tests/protocol/test_port_mapping.py).
#include "engine/port_mapper.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// What the test's routers were asked and how they answer; shared by the
// test and the routers it makes, under one lock.
struct Lab {
    std::mutex mutex;
    std::condition_variable changed;
    std::set<uint16_t> refused;      // ports Map refuses ("conflict")
    bool refuseAll = false;          // every Map refused ("full")
    bool answersRemovals = true;     // false: Unmap gets no answer
    std::map<uint16_t, int> mapped;  // Map calls that succeeded, per port
    std::vector<uint16_t> unmapped;  // Unmap calls, in order
    std::vector<std::string> lines;  // reported lines, errors marked "E "
    uint32_t address = 1;            // the last address sunk (1: none yet)

    // Waits (at most a minute, which only a broken run uses up) for `done`.
    template <typename Done>
    bool WaitFor(Done done) {
        std::unique_lock<std::mutex> guard(mutex);
        return changed.wait_for(guard, 60s, [&] { return done(); });
    }
};

class TestRouter : public PortMapRouter {
public:
    TestRouter(Lab& lab, std::string openError) : lab_(lab), openError_(std::move(openError)) {}

    bool Open(std::string& error) override {
        error = openError_;
        return openError_.empty();
    }
    const char* Method() const override { return "Test"; }
    std::string Address() const override { return "192.0.2.1"; }
    std::string External() override { return "203.0.113.7"; }
    bool Map(uint16_t port, std::string& error) override {
        std::lock_guard<std::mutex> guard(lab_.mutex);
        if (lab_.refuseAll || lab_.refused.contains(port)) {
            error = lab_.refuseAll ? "full" : "conflict";
            return false;
        }
        ++lab_.mapped[port];
        lab_.changed.notify_all();
        return true;
    }
    bool Unmap(uint16_t port, Clock::time_point) override {
        std::lock_guard<std::mutex> guard(lab_.mutex);
        lab_.unmapped.push_back(port);
        return lab_.answersRemovals;
    }

private:
    Lab& lab_;
    const std::string openError_;
};

// A mapper asking routers named `names` in turn; a router whose name is
// in `closed` cannot be opened.
PortMapper TestMapper(Lab& lab, std::vector<const char*> names, std::set<std::string> closed = {}) {
    PortMapperSetup setup;
    for (const char* name : names) {
        const std::string error = closed.contains(name) ? std::string("no ") + name + " found" : "";
        setup.routers.push_back(
            {name, [&lab, error] { return std::make_unique<TestRouter>(lab, error); }});
    }
    setup.renewEvery = 20ms;
    return PortMapper(std::move(setup));
}

void Start(PortMapper& mapper, Lab& lab, std::vector<uint16_t> ports) {
    mapper.Start(
        std::move(ports),
        [&lab](const std::string& line, bool error) {
            std::lock_guard<std::mutex> guard(lab.mutex);
            lab.lines.push_back((error ? "E " : "") + line);
            lab.changed.notify_all();
        },
        [&lab](uint32_t address) {
            std::lock_guard<std::mutex> guard(lab.mutex);
            lab.address = address;
        });
}

TEST(PortMapperRun, RenewsWhatTheRouterGaveUntilStopThenRemovesIt) {
    Lab lab;
    lab.refused = {50001};
    PortMapper mapper = TestMapper(lab, {"test IGD"});
    Start(mapper, lab, {2121, 50000, 50001, 50002});
    ASSERT_TRUE(lab.WaitFor(
        [&] { return lab.mapped[2121] >= 3 && lab.mapped[50000] >= 3 && lab.mapped[50002] >= 3; }));
    mapper.Stop(true);

    std::lock_guard<std::mutex> guard(lab.mutex);
    EXPECT_EQ(lab.mapped.count(50001), 0u);
    EXPECT_EQ(lab.lines, (std::vector<std::string>{
                             "Port mapping: 3 ports forwarded by 192.0.2.1 (Test), external "
                             "address 203.0.113.7",
                             "E Port mapping failed: the router refused 1 of 4 ports (port 50001: "
                             "conflict)"}));
    in_addr external{};
    inet_pton(AF_INET, "203.0.113.7", &external);
    EXPECT_EQ(lab.address, external.s_addr);
    EXPECT_EQ(lab.unmapped, (std::vector<uint16_t>{2121, 50000, 50002}));
}

TEST(PortMapperRun, ARenewalTheRouterRefusesIsLoggedAndTheMappingsStillRemoved) {
    Lab lab;
    PortMapper mapper = TestMapper(lab, {"test IGD"});
    Start(mapper, lab, {2121});
    ASSERT_TRUE(lab.WaitFor([&] { return lab.mapped[2121] >= 1; }));
    {
        std::lock_guard<std::mutex> guard(lab.mutex);
        lab.refuseAll = true;
    }
    ASSERT_TRUE(lab.WaitFor([&] {
        return lab.lines.size() >= 2 &&
               lab.lines[1] ==
                   "E Port mapping failed: the router renewed no mapping (port 2121: full)";
    }));
    mapper.Stop(true);
    std::lock_guard<std::mutex> guard(lab.mutex);
    EXPECT_EQ(lab.unmapped, std::vector<uint16_t>{2121});
}

TEST(PortMapperRun, RoutersAreTriedInTurnAndEveryReasonGiven) {
    {
        Lab lab;
        PortMapper mapper = TestMapper(lab, {"first", "second"}, {"first"});
        Start(mapper, lab, {2121});
        ASSERT_TRUE(lab.WaitFor([&] { return !lab.lines.empty(); }));
        mapper.Stop(true);
        EXPECT_EQ(lab.lines[0],
                  "Port mapping: 1 ports forwarded by 192.0.2.1 (Test), external "
                  "address 203.0.113.7");
    }
    {
        Lab lab;
        lab.refuseAll = true;
        PortMapper mapper = TestMapper(lab, {"first", "second"}, {"first"});
        Start(mapper, lab, {2121, 50000});
        ASSERT_TRUE(lab.WaitFor([&] { return !lab.lines.empty(); }));
        mapper.Stop(true);
        EXPECT_EQ(lab.lines, (std::vector<std::string>{
                                 "E Port mapping failed: no first found; the second at 192.0.2.1 "
                                 "forwarded no port (port 2121: full)"}));
        EXPECT_EQ(lab.address, 1u);  // nothing announced
        EXPECT_TRUE(lab.unmapped.empty());
    }
}

TEST(PortMapperRun, RemovalEndsAtTheFirstRequestTheRouterDoesNotAnswer) {
    Lab lab;
    lab.answersRemovals = false;
    PortMapper mapper = TestMapper(lab, {"test IGD"});
    Start(mapper, lab, {2121, 50000, 50001});
    ASSERT_TRUE(lab.WaitFor([&] { return !lab.lines.empty(); }));
    mapper.Stop(true);
    std::lock_guard<std::mutex> guard(lab.mutex);
    EXPECT_EQ(lab.unmapped, std::vector<uint16_t>{2121});
}

TEST(PortsToMap, TheControlPortFirstThenTheRangeEachOnce) {
    struct Case {
        uint16_t control, low, high;
        std::vector<uint16_t> expected;
    };
    const Case cases[] = {
        {21, 0, 0, {21}},
        {21, 50000, 50002, {21, 50000, 50001, 50002}},
        {50001, 50000, 50002, {50001, 50000, 50002}},
        {65535, 65534, 65535, {65535, 65534}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.control);
        EXPECT_EQ(PortsToMap(c.control, c.low, c.high), c.expected);
    }
    EXPECT_EQ(PortsToMap(2121, kMappedPassiveLow, kMappedPassiveHigh).size(), 101u);
}

TEST(PortMappingLines, ForwardedRefusedAndAnAddressBehindAnotherRouter) {
    PortMappingResult all{"198.18.0.1", "UPnP", "203.0.113.1", 101, 101, ""};
    EXPECT_EQ(PortMappingLine(all),
              "Port mapping: 101 ports forwarded by 198.18.0.1 (UPnP), external address "
              "203.0.113.1");
    EXPECT_EQ(PortMappingRefusedLine(all), "");
    EXPECT_EQ(PortMappingPrivateLine(all), "");

    PortMappingResult some{"192.168.1.1", "NAT-PMP", "100.64.3.4",
                           101,           11,        "port 50010: ConflictInMappingEntry"};
    EXPECT_EQ(PortMappingLine(some),
              "Port mapping: 11 ports forwarded by 192.168.1.1 (NAT-PMP), external address "
              "100.64.3.4");
    EXPECT_EQ(PortMappingRefusedLine(some),
              "Port mapping failed: the router refused 90 of 101 ports (port 50010: "
              "ConflictInMappingEntry)");
    EXPECT_EQ(PortMappingPrivateLine(some),
              "Port mapping: the external address 100.64.3.4 is not public (another router is "
              "in the way), so it is not announced");

    PortMappingResult unknown{"198.18.0.1", "UPnP", "", 1, 1, ""};
    EXPECT_EQ(PortMappingLine(unknown),
              "Port mapping: 1 ports forwarded by 198.18.0.1 (UPnP), external address unknown");
    EXPECT_EQ(PortMappingPrivateLine(unknown), "");
}

}  // namespace
