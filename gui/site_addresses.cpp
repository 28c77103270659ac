#include "gui/site_addresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>

namespace {

std::string Dotted(const sockaddr* address) {
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) return {};
    return text;
}

void AddOnce(std::vector<std::string>& list, const std::string& address) {
    if (!address.empty() && std::find(list.begin(), list.end(), address) == list.end()) {
        list.push_back(address);
    }
}

}  // namespace

void SiteAddresses::Log(ServerLog& log) {
    std::string name;
    if (!HostName(name)) {
        log.AppendLogLine("Could not get the local hostname", LogStyle::Error);
        return;
    }
    std::vector<std::string> addresses;
    if (!Resolve(name, addresses) || addresses.empty()) {
        log.AppendLogLine("Could not lookup hostname. Please check your internet connection.",
                          LogStyle::Error);
        return;
    }
    std::vector<std::string> listed;
    for (const std::string& address : addresses) AddOnce(listed, address);
    for (const std::string& address : InterfaceAddresses()) AddOnce(listed, address);
    log.AppendLogLine("The following local IP addresses were found:", LogStyle::Note);
    for (const std::string& address : listed) log.AppendLogLine(address.c_str(), LogStyle::Note);
}

bool SiteAddresses::HostName(std::string& name) {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0) return false;
    name = buffer;
    return !name.empty();
}

bool SiteAddresses::Resolve(const std::string& name, std::vector<std::string>& addresses) {
    addresses.clear();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    // One entry per address, not one per socket type.
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return false;
    for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
        if (at->ai_family == AF_INET) AddOnce(addresses, Dotted(at->ai_addr));
    }
    freeaddrinfo(found);
    return !addresses.empty();
}

std::vector<std::string> SiteAddresses::InterfaceAddresses() {
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return addresses;
    for (const ifaddrs* at = list; at != nullptr; at = at->ifa_next) {
        if (at->ifa_addr == nullptr || at->ifa_addr->sa_family != AF_INET) continue;
        if ((at->ifa_flags & IFF_UP) == 0 || (at->ifa_flags & IFF_LOOPBACK) != 0) continue;
        AddOnce(addresses, Dotted(at->ifa_addr));
    }
    freeifaddrs(list);
    return addresses;
}
