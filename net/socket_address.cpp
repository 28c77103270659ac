#include "net/socket_address.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace {

const sockaddr_in& V4(const sockaddr_storage& s) { return reinterpret_cast<const sockaddr_in&>(s); }
sockaddr_in& V4(sockaddr_storage& s) { return reinterpret_cast<sockaddr_in&>(s); }
const sockaddr_in6& V6(const sockaddr_storage& s) {
    return reinterpret_cast<const sockaddr_in6&>(s);
}
sockaddr_in6& V6(sockaddr_storage& s) { return reinterpret_cast<sockaddr_in6&>(s); }

}  // namespace

SocketAddress::SocketAddress() { storage_.ss_family = AF_INET; }

SocketAddress SocketAddress::FromSystem(const sockaddr_storage& address) {
    SocketAddress out;
    if (address.ss_family == AF_INET) {
        V4(out.storage_) = V4(address);
    } else if (address.ss_family == AF_INET6) {
        const sockaddr_in6& v6 = V6(address);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            uint32_t v4;
            std::memcpy(&v4, &v6.sin6_addr.s6_addr[12], sizeof v4);
            out = FromIPv4(v4, ntohs(v6.sin6_port));
        } else {
            out.storage_ = sockaddr_storage{};
            V6(out.storage_) = v6;
        }
    }
    return out;
}

SocketAddress SocketAddress::FromIPv4(uint32_t networkOrder, uint16_t port) {
    SocketAddress out;
    V4(out.storage_).sin_addr.s_addr = networkOrder;
    V4(out.storage_).sin_port = htons(port);
    return out;
}

SocketAddress SocketAddress::Any(int family, uint16_t port) {
    SocketAddress out;
    if (family == AF_INET6) {
        out.storage_.ss_family = AF_INET6;
        V6(out.storage_).sin6_addr = in6addr_any;
    }
    out.SetPort(port);
    return out;
}

bool SocketAddress::Parse(const char* text, uint16_t port, SocketAddress& out) {
    if (text == nullptr) return false;
    in_addr v4{};
    if (inet_pton(AF_INET, text, &v4) == 1) {
        out = FromIPv4(v4.s_addr, port);
        return true;
    }
    sockaddr_storage parsed{};
    parsed.ss_family = AF_INET6;
    if (inet_pton(AF_INET6, text, &V6(parsed).sin6_addr) != 1) return false;
    V6(parsed).sin6_port = htons(port);
    out = FromSystem(parsed);
    return true;
}

uint16_t SocketAddress::Port() const {
    return ntohs(IsIPv6() ? V6(storage_).sin6_port : V4(storage_).sin_port);
}

void SocketAddress::SetPort(uint16_t port) {
    if (IsIPv6()) {
        V6(storage_).sin6_port = htons(port);
    } else {
        V4(storage_).sin_port = htons(port);
    }
}

socklen_t SocketAddress::Length() const {
    return IsIPv6() ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

uint32_t SocketAddress::IPv4() const { return IsIPv6() ? 0 : V4(storage_).sin_addr.s_addr; }

in6_addr SocketAddress::IPv6() const { return IsIPv6() ? V6(storage_).sin6_addr : in6_addr{}; }

bool SocketAddress::SameHost(const SocketAddress& other) const {
    if (Family() != other.Family()) return false;
    if (!IsIPv6()) return IPv4() == other.IPv4();
    const in6_addr a = IPv6();
    const in6_addr b = other.IPv6();
    return std::memcmp(&a, &b, sizeof a) == 0;
}

const char* SocketAddress::Text(char* out, std::size_t size) const {
    if (out == nullptr || size == 0) return out;
    // glibc's inet_ntop writes RFC 5952's form: lower case, no leading
    // zeros, the longest run of two or more zero groups (the first of
    // equal runs) as "::". Only its dotted tail for ::a.b.c.d (the
    // deprecated compatible form) is not RFC 5952's, which keeps dotted
    // tails for mapped addresses; mapped ones never get here.
    if (IsIPv6()) {
        const uint8_t* b = V6(storage_).sin6_addr.s6_addr;
        static constexpr uint8_t kZeros[12] = {};
        if (std::memcmp(b, kZeros, sizeof kZeros) == 0 && (b[12] != 0 || b[13] != 0)) {
            const int n = std::snprintf(out, size, "::%x:%x", (b[12] << 8) | b[13],
                                        (b[14] << 8) | b[15]);
            if (n < 0 || static_cast<std::size_t>(n) >= size) out[0] = '\0';
            return out;
        }
    }
    const void* address = IsIPv6() ? static_cast<const void*>(&V6(storage_).sin6_addr)
                                   : static_cast<const void*>(&V4(storage_).sin_addr);
    if (inet_ntop(Family(), address, out, static_cast<socklen_t>(size)) == nullptr) out[0] = '\0';
    return out;
}

std::string SocketAddress::Text() const {
    char text[ADDRESS_TEXT_SIZE];
    return Text(text, sizeof text);
}

uint64_t IPv6Network64(const in6_addr& address) {
    uint64_t network = 0;
    for (int i = 0; i < 8; ++i) network = (network << 8) | address.s6_addr[i];
    return network;
}
