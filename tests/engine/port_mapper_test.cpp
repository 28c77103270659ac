// The ports port mapping asks for and the lines it logs. The talk with a
// router is tested in the network lab (tests/protocol/test_port_mapping.py).
#include "engine/port_mapper.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

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

    PortMappingResult some{"192.168.1.1", "NAT-PMP", "100.64.3.4", 101, 11,
                           "port 50010: ConflictInMappingEntry"};
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
