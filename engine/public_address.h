// The address PASV announces to clients on the internet (tarnhold.conf's
// passive_address): a dotted IPv4 address, or a host name (dynamic DNS)
// resolved at Start and every ten minutes on a thread of its own, so no
// session ever waits for a lookup.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "net/thread_annotations.h"

// Whether a client at `address` (network order) reaches the server from
// outside the owner's networks: not loopback, private (10/8, 172.16/12,
// 192.168/16), link-local, shared (100.64/10) or benchmarking (198.18/15,
// which test labs use for a home network). Documentation ranges count as
// public.
bool IsPublicIPv4(in_addr address);

class PublicAddress {
public:
    // The lookup of a host name: its first IPv4 address, or false with the
    // reason in `error`.
    using Resolver = std::function<bool(const std::string& name, in_addr& address,
                                        std::string& error)>;
    // Where a failed lookup is reported (once until the next success).
    using Reporter = std::function<void(const std::string& line)>;

    // The system's resolver (getaddrinfo, IPv4).
    static bool SystemResolve(const std::string& name, in_addr& address, std::string& error);

    explicit PublicAddress(Resolver resolve = SystemResolve,
                           std::chrono::milliseconds interval = std::chrono::minutes(10));
    // Ends the lookups: none reports or changes anything afterwards. Waits
    // for a report in progress, never for a lookup, which ends on its own.
    ~PublicAddress();
    PublicAddress(const PublicAddress&) = delete;
    PublicAddress& operator=(const PublicAddress&) = delete;

    // Takes `text` as the address to announce: empty announces none, a
    // dotted IPv4 address that one, anything else is a host name looked up
    // now and every interval on a thread of its own (until the first
    // success nothing is announced). Ends the earlier setting's lookups.
    // `report` is called on the lookup thread. Owner's thread, at Start.
    void Set(const std::string& text, Reporter report);

    // The router's external address (network order; 0: none), announced
    // while Set was given an empty text. Any thread; never waits.
    void SetFromRouter(uint32_t address) { routerAddress_.store(address); }

    // The address to announce, if any: the one Set was given, else the
    // router's. Any thread; never waits.
    bool Get(in_addr& address) const;

private:
    // Shared with the lookup threads, which may outlive this object while
    // a lookup hangs; only the thread of the current generation may change
    // the address or report.
    struct Shared {
        std::atomic<uint32_t> address{0};  // network order; 0: none
        std::mutex mutex;
        std::condition_variable wake;
        uint64_t generation GUARDED_BY(mutex) = 0;
        // Reports in progress, which run without the mutex: a report may
        // wait for the owner's thread, which may be in Set.
        int reporting GUARDED_BY(mutex) = 0;
        std::condition_variable reported;
    };
    static void LookUp(std::shared_ptr<Shared> shared, uint64_t generation, Resolver resolve,
                       std::chrono::milliseconds interval, std::string name, Reporter report);
    // Ends the current lookups; returns the next generation.
    uint64_t NextGeneration();

    Resolver resolve_;
    std::chrono::milliseconds interval_;
    // Whether Set was given a text: the owner's address then wins, also
    // before its first lookup succeeds.
    std::atomic<bool> configured_{false};
    std::atomic<uint32_t> routerAddress_{0};
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};
