#include "config/access_control.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <system_error>

namespace {

// Dotted-decimal order of an address held in network byte order.
uint32_t Ordered(uint32_t address) { return ntohl(address); }

bool InRange(const CIP_IPAddressRange& range, uint32_t address) {
    return Ordered(range.low) <= Ordered(address) && Ordered(address) <= Ordered(range.high);
}

int Selector(int selector) { return selector & 0xFF; }

// Whether text is an IPv6 address (and not a mapped IPv4 one): `peer` then.
bool IsIPv6Text(const char* text, SocketAddress& peer) {
    return text != nullptr && std::strchr(text, ':') != nullptr &&
           SocketAddress::Parse(text, 0, peer) && peer.IsIPv6();
}

// The element at a zero-based index, or the end when there is none.
template <typename List>
typename List::iterator At(List& list, int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= list.size()) return list.end();
    auto it = list.begin();
    std::advance(it, index);
    return it;
}

}  // namespace

CIP_AccessControl::CIP_AccessControl() {
    try {
        expiryThread = std::thread(&CIP_AccessControl::ExpiryLoop, this);
    } catch (const std::system_error&) {
        // Blocks are then never swept; IsAllowed still ignores expired ones.
    }
}

CIP_AccessControl::~CIP_AccessControl() { StopExpiryThread(); }

void CIP_AccessControl::StopExpiryThread() {
    {
        std::lock_guard<std::mutex> guard(stopMutex_);
        stopRequested = true;
    }
    stopWake_.notify_all();
    if (expiryThread.joinable()) expiryThread.join();
}

bool CIP_AccessControl::ExpiryThreadRunning() { return expiryThread.joinable(); }

void CIP_AccessControl::ExpiryLoop() {
    std::unique_lock<std::mutex> guard(stopMutex_);
    for (;;) {
        // Waits a whole interval unless a stop request wakes it first.
        if (stopWake_.wait_for(guard, std::chrono::seconds(ACL_SWEEP_INTERVAL_SECONDS),
                               [this] { return stopRequested; })) {
            return;
        }
        guard.unlock();
        SweepExpired();
        guard.lock();
    }
}

void CIP_AccessControl::SweepExpired() {
    CIP_CriticalSection guard(&lock);
    int32_t now = CurrentTime();
    blocked.remove_if([now](const CIP_BlockedIPAddr& entry) { return entry.expires < now; });
}

int32_t CIP_AccessControl::CurrentTime() { return static_cast<int32_t>(time(nullptr)); }

int CIP_AccessControl::IsAllowed(const uint32_t* address) {
    if (address == nullptr) return 0;
    CIP_CriticalSection guard(&lock);
    int32_t now = CurrentTime();
    for (const CIP_BlockedIPAddr& entry : blocked) {
        if (!entry.ipv6 && entry.addr == *address && entry.expires >= now) return 0;
    }
    for (const CIP_IPAddressRange& range : allowed) {
        if (InRange(range, *address)) return 1;
    }
    for (const CIP_IPAddressRange& range : denied) {
        if (InRange(range, *address)) return 0;
    }
    return 1;
}

bool CIP_AccessControl::IsBlocked(const uint32_t* address, int32_t* expires) {
    if (address == nullptr) return false;
    CIP_CriticalSection guard(&lock);
    int32_t now = CurrentTime();
    for (const CIP_BlockedIPAddr& entry : blocked) {
        if (entry.ipv6 || entry.addr != *address || entry.expires < now) continue;
        if (expires != nullptr) *expires = entry.expires;
        return true;
    }
    return false;
}

int CIP_AccessControl::IsAllowedText(const char* text) {
    if (SocketAddress peer; IsIPv6Text(text, peer)) return AdmitsPeer(peer);
    uint32_t address = ParseAddress(text);
    return IsAllowed(&address);
}

void CIP_AccessControl::AddRange(int selector, const uint32_t* a, const uint32_t* b) {
    if (a == nullptr) return;
    CIP_IPAddressRange range{*a, *a};
    if (b != nullptr) {
        if (Ordered(*b) < Ordered(*a)) {
            range.low = *b;
        } else {
            range.high = *b;
        }
    }
    CIP_CriticalSection guard(&lock);
    switch (Selector(selector)) {
        case ACL_ALLOWED: allowed.push_back(range); break;
        case ACL_DENIED: denied.push_back(range); break;
        default: break;
    }
}

void CIP_AccessControl::AddRangeText(int selector, const char* a, const char* b) {
    uint32_t first = ParseAddress(a);
    uint32_t second = 0;
    if (b != nullptr) second = ParseAddress(b);
    AddRange(selector, &first, b != nullptr ? &second : nullptr);
}

int CIP_AccessControl::GetRange(int selector, int index, uint32_t* low, uint32_t* high) {
    CIP_CriticalSection guard(&lock);
    std::list<CIP_IPAddressRange>* list = nullptr;
    switch (Selector(selector)) {
        case ACL_ALLOWED: list = &allowed; break;
        case ACL_DENIED: list = &denied; break;
        default: return 0;
    }
    auto it = At(*list, index);
    if (it == list->end()) return 0;
    if (low != nullptr) *low = it->low;
    if (high != nullptr) *high = it->high;
    return 1;
}

int CIP_AccessControl::Count(int selector) {
    CIP_CriticalSection guard(&lock);
    switch (Selector(selector)) {
        case ACL_ALLOWED: return static_cast<int>(allowed.size());
        case ACL_DENIED: return static_cast<int>(denied.size());
        case ACL_BLOCKED: return static_cast<int>(blocked.size());
        default: return 0;
    }
}

int CIP_AccessControl::RemoveAt(int selector, int index) {
    CIP_CriticalSection guard(&lock);
    auto erase = [index](auto& list) {
        auto it = At(list, index);
        if (it == list.end()) return 0;
        list.erase(it);
        return 1;
    };
    switch (Selector(selector)) {
        case ACL_ALLOWED: return erase(allowed);
        case ACL_DENIED: return erase(denied);
        case ACL_BLOCKED: return erase(blocked);
        default: return 0;
    }
}

void CIP_AccessControl::ClearList(int selector) {
    CIP_CriticalSection guard(&lock);
    switch (Selector(selector)) {
        case ACL_ALLOWED: allowed.clear(); break;
        case ACL_DENIED: denied.clear(); break;
        case ACL_BLOCKED: blocked.clear(); break;
        default: break;
    }
}

void CIP_AccessControl::RecordOffence(const uint32_t* address) {
    if (address == nullptr) return;
    CIP_CriticalSection guard(&lock);
    for (CIP_BlockedIPAddr& entry : blocked) {
        if (entry.ipv6 || entry.addr != *address) continue;
        if (entry.offences < INT32_MAX) ++entry.offences;
        entry.expires = ComputeExpiry(address, entry.offences, entry.expires);
        return;
    }
    blocked.push_back({*address, 1, ComputeExpiry(address, 1, 0)});
}

void CIP_AccessControl::RecordOffenceText(const char* text) {
    if (SocketAddress peer; IsIPv6Text(text, peer)) return RecordPeerOffence(peer);
    uint32_t address = ParseAddress(text);
    RecordOffence(&address);
}

int CIP_AccessControl::GetBlocked(int index, uint32_t* address, int32_t* offences, int32_t* expires) {
    CIP_CriticalSection guard(&lock);
    auto it = At(blocked, index);
    if (it == blocked.end()) return 0;
    if (address != nullptr) *address = it->addr;
    if (offences != nullptr) *offences = it->offences;
    if (expires != nullptr) *expires = it->expires;
    return 1;
}

int CIP_AccessControl::Unblock(const uint32_t* address) {
    if (address == nullptr) return 0;
    CIP_CriticalSection guard(&lock);
    for (auto it = blocked.begin(); it != blocked.end(); ++it) {
        if (!it->ipv6 && it->addr == *address) {
            blocked.erase(it);
            return 1;
        }
    }
    return 0;
}

int CIP_AccessControl::UnblockText(const char* text) {
    if (SocketAddress peer; IsIPv6Text(text, peer)) return UnblockPeer(peer);
    uint32_t address = ParseAddress(text);
    return Unblock(&address);
}

uint32_t CIP_AccessControl::ParseAddress(const char* text) {
    if (text == nullptr) return 0;
    return inet_addr(text);  // INADDR_NONE (all ones) when unparsable
}

const char* CIP_AccessControl::FormatAddress(const uint32_t* address) {
    thread_local char text[INET_ADDRSTRLEN];
    in_addr in{};
    if (address != nullptr) in.s_addr = *address;
    if (inet_ntop(AF_INET, &in, text, sizeof text) == nullptr) text[0] = '\0';
    return text;
}

int32_t CIP_AccessControl::ComputeExpiry(const uint32_t* /*address*/, int32_t offences,
                                         int32_t /*previousExpiry*/) {
    // In 64 bits and capped: a long series of offences must not wrap the
    // expiry into the past.
    int64_t expiry = static_cast<int64_t>(CurrentTime()) +
                     static_cast<int64_t>(offences) * static_cast<int64_t>(offences);
    return expiry > INT32_MAX ? INT32_MAX : static_cast<int32_t>(expiry);
}

bool CIP_BlockedIPAddr::Holds(const SocketAddress& peer) const {
    if (!peer.IsIPv6()) return !ipv6 && addr == peer.IPv4();
    return ipv6 && network6 == IPv6Network64(peer.IPv6());
}

int CIP_AccessControl::AdmitsPeer(const SocketAddress& peer) {
    if (!peer.IsIPv6()) {
        const uint32_t address = peer.IPv4();
        return IsAllowed(&address);
    }
    // The allowed and denied ranges are IPv4 ranges: only a block refuses.
    return IsPeerBlocked(peer, nullptr) ? 0 : 1;
}

void CIP_AccessControl::RecordPeerOffence(const SocketAddress& peer) {
    if (!peer.IsIPv6()) {
        const uint32_t address = peer.IPv4();
        return RecordOffence(&address);
    }
    CIP_CriticalSection guard(&lock);
    const uint32_t none = 0;
    for (CIP_BlockedIPAddr& entry : blocked) {
        if (!entry.Holds(peer)) continue;
        if (entry.offences < INT32_MAX) ++entry.offences;
        entry.expires = ComputeExpiry(&none, entry.offences, entry.expires);
        return;
    }
    CIP_BlockedIPAddr entry;
    entry.offences = 1;
    entry.expires = ComputeExpiry(&none, 1, 0);
    entry.ipv6 = true;
    entry.network6 = IPv6Network64(peer.IPv6());
    blocked.push_back(entry);
}

bool CIP_AccessControl::IsPeerBlocked(const SocketAddress& peer, int32_t* expires) {
    if (!peer.IsIPv6()) {
        const uint32_t address = peer.IPv4();
        return IsBlocked(&address, expires);
    }
    CIP_CriticalSection guard(&lock);
    const int32_t now = CurrentTime();
    for (const CIP_BlockedIPAddr& entry : blocked) {
        if (!entry.Holds(peer) || entry.expires < now) continue;
        if (expires != nullptr) *expires = entry.expires;
        return true;
    }
    return false;
}

int CIP_AccessControl::UnblockPeer(const SocketAddress& peer) {
    if (!peer.IsIPv6()) {
        const uint32_t address = peer.IPv4();
        return Unblock(&address);
    }
    CIP_CriticalSection guard(&lock);
    for (auto it = blocked.begin(); it != blocked.end(); ++it) {
        if (it->Holds(peer)) {
            blocked.erase(it);
            return 1;
        }
    }
    return 0;
}

std::string CIP_AccessControl::BlockedText(int index) {
    CIP_BlockedIPAddr entry;
    {
        CIP_CriticalSection guard(&lock);
        auto it = At(blocked, index);
        if (it == blocked.end()) return {};
        entry = *it;
    }
    if (!entry.ipv6) return FormatAddress(&entry.addr);
    sockaddr_storage network{};
    auto& v6 = reinterpret_cast<sockaddr_in6&>(network);
    v6.sin6_family = AF_INET6;
    for (int i = 0; i < 8; ++i) {
        v6.sin6_addr.s6_addr[i] = static_cast<uint8_t>(entry.network6 >> (56 - 8 * i));
    }
    return SocketAddress::FromSystem(network).Text() + "/64";
}
