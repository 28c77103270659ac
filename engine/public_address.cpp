#include "engine/public_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <thread>
#include <utility>

namespace {

struct Range {
    uint32_t network;
    int prefix;
};

// The owner's own networks, as PASV must keep answering them.
constexpr Range kNotPublic[] = {
    {0x7F000000, 8},  {0x0A000000, 8},  {0xAC100000, 12}, {0xC0A80000, 16},
    {0xA9FE0000, 16}, {0x64400000, 10}, {0xC6120000, 15},
};

}  // namespace

bool IsPublicIPv4(in_addr address) {
    const uint32_t host = ntohl(address.s_addr);
    for (const Range& range : kNotPublic) {
        const uint32_t mask = ~uint32_t{0} << (32 - range.prefix);
        if ((host & mask) == range.network) return false;
    }
    return true;
}

bool PublicAddress::SystemResolve(const std::string& name, in_addr& address, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        error = rc != 0 ? gai_strerror(rc) : "no IPv4 address";
        return false;
    }
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

PublicAddress::PublicAddress(Resolver resolve, std::chrono::milliseconds interval)
    : resolve_(std::move(resolve)), interval_(interval) {}

PublicAddress::~PublicAddress() {
    NextGeneration();
    std::unique_lock<std::mutex> guard(shared_->mutex);
    shared_->reported.wait(guard, [this] { return shared_->reporting == 0; });
}

uint64_t PublicAddress::NextGeneration() {
    uint64_t generation;
    {
        std::lock_guard<std::mutex> guard(shared_->mutex);
        generation = ++shared_->generation;
        shared_->address.store(0);
    }
    shared_->wake.notify_all();
    return generation;
}

void PublicAddress::Set(const std::string& text, Reporter report) {
    const uint64_t generation = NextGeneration();
    configured_.store(!text.empty());
    if (text.empty()) return;
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) == 1) {
        shared_->address.store(parsed.s_addr);
        return;
    }
    std::thread(&PublicAddress::LookUp, shared_, generation, resolve_, interval_, text,
                std::move(report))
        .detach();
}

void PublicAddress::LookUp(std::shared_ptr<Shared> shared, uint64_t generation, Resolver resolve,
                           std::chrono::milliseconds interval, std::string name,
                           Reporter report) {
    bool reported = false;
    for (;;) {
        in_addr found{};
        std::string error;
        const bool ok = resolve(name, found, error);
        std::unique_lock<std::mutex> guard(shared->mutex);
        if (shared->generation != generation) return;
        if (ok) {
            shared->address.store(found.s_addr);
            reported = false;
        } else if (!reported) {
            // The last good address stays; one line per run of failures.
            reported = true;
            if (report) {
                ++shared->reporting;
                guard.unlock();
                report("Could not look up the passive address " + name + ": " + error);
                guard.lock();
                --shared->reporting;
                shared->reported.notify_all();
                if (shared->generation != generation) return;
            }
        }
        if (shared->wake.wait_for(guard, interval,
                                  [&] { return shared->generation != generation; })) {
            return;
        }
    }
}

bool PublicAddress::Get(in_addr& address) const {
    const uint32_t value =
        configured_.load() ? shared_->address.load() : routerAddress_.load();
    if (value == 0) return false;
    address.s_addr = value;
    return true;
}
