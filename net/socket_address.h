// SocketAddress: an IPv4 or IPv6 socket address as the server keeps a
// peer's or its own. A mapped IPv4 address (::ffff:a.b.c.d), which is how
// a dual-stack listening socket reports an IPv4 peer, is kept as the plain
// IPv4 address it stands for, so that everything which shows, logs,
// compares or checks it treats that peer exactly as an IPv4 one.
//
// A plain value: any thread, no locks.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Capacity of an address text, terminator included: the longest IPv6
// text (45 characters, an IPv4 tail after six groups) fits.
constexpr std::size_t ADDRESS_TEXT_SIZE = INET6_ADDRSTRLEN;

class SocketAddress {
public:
    // 0.0.0.0, port 0.
    SocketAddress();

    // What accept, getsockname or getpeername filled in; a mapped IPv4
    // address becomes the IPv4 address. An unknown family gives 0.0.0.0.
    static SocketAddress FromSystem(const sockaddr_storage& address);
    // An IPv4 address in network byte order.
    static SocketAddress FromIPv4(uint32_t networkOrder, uint16_t port = 0);
    // The wildcard address of `family` (AF_INET or AF_INET6).
    static SocketAddress Any(int family, uint16_t port = 0);
    // A numeric address text (dotted IPv4 or IPv6; never a name, never a
    // scope): true and `out` set, else false and `out` unchanged.
    static bool Parse(const char* text, uint16_t port, SocketAddress& out);

    int Family() const { return storage_.ss_family; }
    bool IsIPv6() const { return storage_.ss_family == AF_INET6; }
    uint16_t Port() const;
    void SetPort(uint16_t port);
    // For bind, connect and sendto.
    const sockaddr* Raw() const { return reinterpret_cast<const sockaddr*>(&storage_); }
    socklen_t Length() const;
    // The IPv4 address (network order); 0 for an IPv6 address.
    uint32_t IPv4() const;
    // The IPv6 address; all zeros for an IPv4 address.
    in6_addr IPv6() const;

    // The same host: same family and address, ports aside.
    bool SameHost(const SocketAddress& other) const;
    // The dotted text of an IPv4 address, the RFC 5952 text of an IPv6
    // one, in `out`; "" when it does not fit `size`. Returns `out`.
    const char* Text(char* out, std::size_t size) const;
    std::string Text() const;

private:
    sockaddr_storage storage_{};
};

// The /64 network of an IPv6 address (its first eight bytes), the unit the
// login guard blocks: one home or one mobile device gets a whole /64.
uint64_t IPv6Network64(const in6_addr& address);
