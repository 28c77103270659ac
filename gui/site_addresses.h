// SiteAddresses: "My &FTP site address", the addresses under which clients
// can reach this machine, written to the owner's log: the host name's IPv4
// addresses in the resolver's order, then those of the machine's up,
// non-loopback interfaces not already listed (on Debian the host name
// usually resolves only to 127.0.1.1).
//
// No Qt. The system queries are virtual so that a test can make them
// fail. Any thread; the log decides where its lines may be written.
#pragma once

#include <string>
#include <vector>

#include "engine/server_control.h"

class SiteAddresses {
public:
    virtual ~SiteAddresses() = default;

    // Logs "The following local IP addresses were found:" and one line per
    // address, all as notes; or, as an error, "Could not get the local
    // hostname" or "Could not lookup hostname. Please check your internet
    // connection." and nothing else.
    void Log(ServerLog& log);

protected:
    // The local host name; false when the system cannot tell it.
    virtual bool HostName(std::string& name);
    // The IPv4 addresses `name` resolves to, dotted, in the resolver's
    // order; false when the lookup gives none.
    virtual bool Resolve(const std::string& name, std::vector<std::string>& addresses);
    // The dotted IPv4 addresses of the interfaces that are up and not
    // loopback, in the system's order.
    virtual std::vector<std::string> InterfaceAddresses();
};
