#include "config/access_control.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
#include <string>
#include <thread>

namespace {

uint32_t Addr(const char* text) { return inet_addr(text); }

// Access control on a clock the test moves.
class ClockedAccessControl : public CIP_AccessControl {
public:
    ~ClockedAccessControl() override { StopExpiryThread(); }
    int32_t CurrentTime() override { return now.load(); }
    std::atomic<int32_t> now{1000000};
};

int32_t ExpiryOf(CIP_AccessControl& acl, uint32_t address) {
    for (int i = 0; i < acl.Count(ACL_BLOCKED); ++i) {
        uint32_t addr = 0;
        int32_t offences = 0;
        int32_t expires = 0;
        acl.GetBlocked(i, &addr, &offences, &expires);
        if (addr == address) return expires;
    }
    return -1;
}

int32_t OffencesOf(CIP_AccessControl& acl, uint32_t address) {
    for (int i = 0; i < acl.Count(ACL_BLOCKED); ++i) {
        uint32_t addr = 0;
        int32_t offences = 0;
        acl.GetBlocked(i, &addr, &offences, nullptr);
        if (addr == address) return offences;
    }
    return 0;
}

TEST(AccessControl, FreshObjectAdmitsEveryAddress) {
    CIP_AccessControl acl;
    for (int selector : {ACL_ALLOWED, ACL_DENIED, ACL_BLOCKED, 3}) EXPECT_EQ(acl.Count(selector), 0);
    for (const char* text : {"0.0.0.0", "127.0.0.1", "192.0.2.200", "255.255.255.255"}) {
        EXPECT_EQ(acl.IsAllowedText(text), 1) << text;
    }
    EXPECT_TRUE(acl.ExpiryThreadRunning());
}

TEST(AccessControl, BlockBeatsAllowWhichBeatsDeny) {
    ClockedAccessControl acl;
    acl.AddRangeText(ACL_DENIED, "10.0.0.0", "10.255.255.255");
    acl.AddRangeText(ACL_ALLOWED, "10.1.0.0", "10.1.0.255");
    EXPECT_EQ(acl.IsAllowedText("10.2.3.4"), 0);    // denied only
    EXPECT_EQ(acl.IsAllowedText("10.1.0.77"), 1);   // allowed and denied
    EXPECT_EQ(acl.IsAllowedText("11.0.0.1"), 1);    // in no list
    acl.RecordOffenceText("10.1.0.77");
    EXPECT_EQ(acl.IsAllowedText("10.1.0.77"), 0);   // blocked inside an allowed range
    EXPECT_EQ(acl.IsAllowedText("10.1.0.78"), 1);
}

// Ranges follow dotted-decimal order, not the byte order of the stored value.
TEST(AccessControl, RangesFollowDottedOrder) {
    ClockedAccessControl acl;
    acl.AddRangeText(ACL_DENIED, "10.0.0.0", "10.0.0.255");
    EXPECT_EQ(acl.IsAllowedText("10.0.0.200"), 0);
    EXPECT_EQ(acl.IsAllowedText("10.0.1.5"), 1);
    EXPECT_EQ(acl.IsAllowedText("10.9.9.9"), 1);
    EXPECT_EQ(acl.IsAllowedText("9.255.255.255"), 1);
}

TEST(AccessControl, AddRangeOrdersItsEndsAndIgnoresOtherLists) {
    ClockedAccessControl acl;
    uint32_t a = Addr("192.0.2.9");
    uint32_t b = Addr("192.0.2.1");
    acl.AddRange(ACL_ALLOWED, &a, &b);
    acl.AddRange(ACL_DENIED, &a, nullptr);
    acl.AddRange(ACL_BLOCKED, &a, &b);
    acl.AddRange(7, &a, &b);
    uint32_t low = 0;
    uint32_t high = 0;
    ASSERT_EQ(acl.GetRange(ACL_ALLOWED, 0, &low, &high), 1);
    EXPECT_EQ(low, b);
    EXPECT_EQ(high, a);
    ASSERT_EQ(acl.GetRange(ACL_DENIED, 0, &low, &high), 1);
    EXPECT_EQ(low, a);
    EXPECT_EQ(high, a);
    EXPECT_EQ(acl.Count(ACL_ALLOWED), 1);
    EXPECT_EQ(acl.Count(ACL_DENIED), 1);
    EXPECT_EQ(acl.Count(ACL_BLOCKED), 0);
    // Only the low byte of a selector counts.
    acl.AddRange(0x100 | ACL_ALLOWED, &a, nullptr);
    EXPECT_EQ(acl.Count(ACL_ALLOWED), 2);
}

TEST(AccessControl, IndexedAccessStaysInsideTheList) {
    ClockedAccessControl acl;
    acl.AddRangeText(ACL_ALLOWED, "192.0.2.1", nullptr);
    acl.AddRangeText(ACL_ALLOWED, "192.0.2.2", nullptr);
    acl.RecordOffenceText("192.0.2.3");
    uint32_t low = 0;
    uint32_t high = 0;
    EXPECT_EQ(acl.GetRange(ACL_ALLOWED, 1, &low, &high), 1);
    EXPECT_EQ(low, Addr("192.0.2.2"));
    EXPECT_EQ(acl.GetRange(ACL_ALLOWED, 2, &low, &high), 0);   // index == Count
    EXPECT_EQ(acl.GetRange(ACL_ALLOWED, -1, &low, &high), 0);
    EXPECT_EQ(acl.GetRange(ACL_BLOCKED, 0, &low, &high), 0);   // not a range list
    EXPECT_EQ(acl.GetBlocked(1, nullptr, nullptr, nullptr), 0);

    EXPECT_EQ(acl.RemoveAt(ACL_ALLOWED, 2), 0);
    EXPECT_EQ(acl.RemoveAt(ACL_ALLOWED, 0), 1);
    EXPECT_EQ(acl.GetRange(ACL_ALLOWED, 0, &low, &high), 1);
    EXPECT_EQ(low, Addr("192.0.2.2"));
    EXPECT_EQ(acl.RemoveAt(ACL_BLOCKED, 0), 1);
    EXPECT_EQ(acl.Count(ACL_BLOCKED), 0);
    acl.ClearList(ACL_ALLOWED);
    EXPECT_EQ(acl.Count(ACL_ALLOWED), 0);
}

TEST(AccessControl, BlockGrowsWithTheSquareOfTheOffences) {
    ClockedAccessControl acl;
    const uint32_t address = Addr("198.51.100.4");
    const int32_t start = acl.now;
    for (int32_t offence = 1; offence <= 3; ++offence) {
        acl.RecordOffence(&address);
        EXPECT_EQ(ExpiryOf(acl, address), start + offence * offence);
    }
    EXPECT_EQ(acl.Count(ACL_BLOCKED), 1);
    acl.now = start + 9;
    EXPECT_EQ(acl.IsAllowed(&address), 0);   // refused up to and including its expiry
    acl.now = start + 10;
    EXPECT_EQ(acl.IsAllowed(&address), 1);   // expired, not yet swept
    acl.RecordOffence(&address);             // the count goes on: 4 offences
    EXPECT_EQ(OffencesOf(acl, address), 4);
    EXPECT_EQ(ExpiryOf(acl, address), start + 10 + 16);
    EXPECT_EQ(acl.IsAllowed(&address), 0);
}

// IsBlocked agrees with IsAllowed about blocks and tells when one ends;
// ranges are not blocks.
TEST(AccessControl, IsBlockedGivesTheEndOfAnUnexpiredBlock) {
    ClockedAccessControl acl;
    const uint32_t address = Addr("198.51.100.8");
    const uint32_t denied = Addr("198.51.100.9");
    acl.AddRange(ACL_DENIED, &denied, nullptr);
    int32_t expires = -1;
    EXPECT_FALSE(acl.IsBlocked(&address, &expires));
    EXPECT_FALSE(acl.IsBlocked(&denied, &expires));
    EXPECT_FALSE(acl.IsBlocked(nullptr, &expires));
    EXPECT_EQ(expires, -1);

    const int32_t start = acl.now;
    acl.RecordOffence(&address);
    acl.RecordOffence(&address);
    EXPECT_TRUE(acl.IsBlocked(&address, nullptr));
    EXPECT_TRUE(acl.IsBlocked(&address, &expires));
    EXPECT_EQ(expires, start + 4);
    acl.now = start + 4;
    EXPECT_TRUE(acl.IsBlocked(&address, &expires));
    EXPECT_EQ(acl.IsAllowed(&address), 0);
    acl.now = start + 5;  // expired but not swept
    EXPECT_FALSE(acl.IsBlocked(&address, &expires));
    EXPECT_EQ(acl.IsAllowed(&address), 1);
}

TEST(AccessControl, SweptAddressStartsAgainAtOneOffence) {
    ClockedAccessControl acl;
    const uint32_t gone = Addr("198.51.100.5");
    const uint32_t kept = Addr("198.51.100.6");
    acl.RecordOffence(&gone);
    acl.RecordOffence(&gone);
    acl.now += 4;
    acl.RecordOffence(&kept);       // expires now + 1
    acl.SweepExpired();             // gone expires exactly now, not before: it stays
    EXPECT_EQ(acl.Count(ACL_BLOCKED), 2);
    acl.now += 1;
    acl.SweepExpired();
    EXPECT_EQ(acl.Count(ACL_BLOCKED), 1);
    EXPECT_EQ(OffencesOf(acl, gone), 0);
    acl.RecordOffence(&gone);
    EXPECT_EQ(OffencesOf(acl, gone), 1);
    EXPECT_EQ(ExpiryOf(acl, gone), acl.now + 1);
}

TEST(AccessControl, ExpiryNeverWrapsIntoThePast) {
    ClockedAccessControl acl;
    const uint32_t address = Addr("198.51.100.7");
    EXPECT_EQ(acl.ComputeExpiry(&address, 100000, 0), INT32_MAX);
    acl.now = INT32_MAX - 2;
    EXPECT_EQ(acl.ComputeExpiry(&address, 2, 0), INT32_MAX);
    EXPECT_EQ(acl.ComputeExpiry(&address, 1, 12345), INT32_MAX - 1);
}

TEST(AccessControl, UnblockRemovesOnlyWhatIsBlocked) {
    ClockedAccessControl acl;
    acl.RecordOffenceText("203.0.113.1");
    acl.RecordOffenceText("203.0.113.2");
    EXPECT_EQ(acl.UnblockText("203.0.113.9"), 0);
    EXPECT_EQ(acl.UnblockText("203.0.113.1"), 1);
    EXPECT_EQ(acl.UnblockText("203.0.113.1"), 0);
    EXPECT_EQ(acl.Count(ACL_BLOCKED), 1);
    EXPECT_EQ(acl.IsAllowedText("203.0.113.1"), 1);
    EXPECT_EQ(acl.Unblock(nullptr), 0);
}

TEST(AccessControl, AddressTextConversions) {
    CIP_AccessControl acl;
    EXPECT_EQ(acl.ParseAddress(nullptr), 0u);
    EXPECT_EQ(acl.ParseAddress("not an address"), 0xFFFFFFFFu);
    const uint32_t address = acl.ParseAddress("192.0.2.33");
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&address);
    EXPECT_EQ(bytes[0], 192);  // network byte order: first octet first
    EXPECT_EQ(bytes[3], 33);
    EXPECT_STREQ(acl.FormatAddress(&address), "192.0.2.33");
    // Each thread has its own buffer.
    std::string other;
    std::thread([&] {
        const uint32_t mine = acl.ParseAddress("10.0.0.1");
        other = acl.FormatAddress(&mine);
    }).join();
    const char* text = acl.FormatAddress(&address);
    EXPECT_EQ(other, "10.0.0.1");
    EXPECT_STREQ(text, "192.0.2.33");
}

// The expiry thread sleeps two minutes between sweeps; stopping it must not
// wait for that. The bound is generous: the behaviour is "at once".
TEST(AccessControl, DestructionEndsTheExpiryThreadPromptly) {
    auto acl = std::make_unique<CIP_AccessControl>();
    ASSERT_TRUE(acl->ExpiryThreadRunning());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it reach its wait
    const auto before = std::chrono::steady_clock::now();
    acl->StopExpiryThread();
    EXPECT_FALSE(acl->ExpiryThreadRunning());
    acl.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
}

}  // namespace

// IPv6 peers: a block covers the whole /64 (a home or a phone gets one),
// the IPv4 ranges never match them, and the blocked list shows the /64.
TEST(AccessControl, AnIPv6BlockCoversItsSlash64AndRangesStayIPv4) {
    ClockedAccessControl acl;
    auto peer = [](const char* text) {
        SocketAddress out;
        EXPECT_TRUE(SocketAddress::Parse(text, 0, out)) << text;
        return out;
    };
    // A deny range of every IPv4 address refuses no IPv6 client.
    acl.AddRangeText(ACL_DENIED, "0.0.0.0", "255.255.255.255");
    EXPECT_EQ(acl.AdmitsPeer(peer("2001:db8:1:2::10")), 1);
    EXPECT_EQ(acl.AdmitsPeer(peer("::ffff:192.0.2.1")), 0);  // mapped: an IPv4 client
    acl.ClearList(ACL_DENIED);

    acl.RecordPeerOffence(peer("2001:db8:1:2::10"));
    acl.RecordPeerOffence(peer("2001:db8:1:2:ffff::99"));  // same /64: its second offence
    EXPECT_EQ(acl.Count(ACL_BLOCKED), 1);
    EXPECT_EQ(acl.BlockedText(0), "2001:db8:1:2::/64");
    int32_t offences = 0;
    int32_t expires = 0;
    ASSERT_EQ(acl.GetBlocked(0, nullptr, &offences, &expires), 1);
    EXPECT_EQ(offences, 2);
    EXPECT_EQ(expires, acl.now.load() + 4);
    EXPECT_EQ(acl.AdmitsPeer(peer("2001:db8:1:2::abcd")), 0);
    EXPECT_EQ(acl.IsAllowedText("2001:db8:1:2::1"), 0);
    EXPECT_EQ(acl.AdmitsPeer(peer("2001:db8:1:3::10")), 1);  // the next /64 is served
    // Neither the IPv4 address 0.0.0.0 nor an IPv4 peer meets the IPv6 entry.
    EXPECT_EQ(acl.IsAllowedText("0.0.0.0"), 1);
    EXPECT_EQ(OffencesOf(acl, 0), 2);  // GetBlocked gives an IPv6 entry address 0
    EXPECT_FALSE(acl.IsBlocked(nullptr, nullptr));

    // An IPv4 entry beside it keeps its dotted text and its own count.
    acl.RecordOffenceText("192.0.2.7");
    EXPECT_EQ(acl.BlockedText(1), "192.0.2.7");
    EXPECT_EQ(acl.BlockedText(2), "");
    EXPECT_TRUE(acl.IsPeerBlocked(peer("::ffff:192.0.2.7"), nullptr));

    acl.now += 5;
    EXPECT_FALSE(acl.IsPeerBlocked(peer("2001:db8:1:2::10"), nullptr));
    acl.RecordOffenceText("2001:db8:1:2::77");  // the count goes on while unswept
    ASSERT_EQ(acl.GetBlocked(0, nullptr, &offences, nullptr), 1);
    EXPECT_EQ(offences, 3);
    EXPECT_EQ(acl.UnblockText("2001:db8:1:2::1"), 1);
    EXPECT_EQ(acl.UnblockPeer(peer("2001:db8:1:2::1")), 0);
    EXPECT_EQ(acl.Count(ACL_BLOCKED), 1);
}
