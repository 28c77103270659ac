#include "engine/port_mapper.h"

#include <arpa/inet.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>
#include <natpmp.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <span>
#include <thread>
#include <utility>

#include "engine/public_address.h"
#include "net/thread_annotations.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDescription = "Tarnhold";
constexpr int kLeaseSeconds = 3600;
// How long discovery and each NAT-PMP answer may take.
constexpr int kDiscoverMs = 2000;
constexpr auto kAnswerTime = std::chrono::seconds(2);
// Removal at Stop and Exit. A router that stops answering ends it at its
// first unanswered request, so only a slow but living router that removes
// port by port (a version 1 IGD) uses this much.
constexpr auto kRemovalTime = std::chrono::seconds(20);
constexpr auto kStopWait = std::chrono::seconds(21);

std::string Dotted(uint32_t networkOrder) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr address{};
    address.s_addr = networkOrder;
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

using Router = PortMapRouter;

class UpnpRouter : public Router {
public:
    ~UpnpRouter() override {
        if (open_) FreeUPNPUrls(&urls_);
    }

    bool Open(std::string& error) override {
        int status = 0;
        UPNPDev* devices =
            upnpDiscover(kDiscoverMs, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &status);
        if (devices == nullptr) {
            error = "no UPnP IGD found";
            return false;
        }
        const int found = UPNP_GetValidIGD(devices, &urls_, &data_, lan_, sizeof lan_);
        freeUPNPDevlist(devices);
        if (found == 0) {
            error = "no UPnP IGD found";
            return false;
        }
        open_ = true;
        // 2: an IGD that calls itself not connected, which routers behind
        // another router often do; it forwards all the same.
        if (found != 1 && found != 2) {
            error = "no UPnP IGD found";
            return false;
        }
        return true;
    }

    const char* Method() const override { return "UPnP"; }

    std::string Address() const override {
        // The control URL names the router: http://HOST:PORT/...
        std::string url = urls_.controlURL != nullptr ? urls_.controlURL : "";
        const size_t start = url.find("://");
        if (start == std::string::npos) return url;
        url.erase(0, start + 3);
        return url.substr(0, url.find_first_of(":/"));
    }

    std::string External() override {
        char text[40] = {};
        if (UPNP_GetExternalIPAddress(urls_.controlURL, data_.first.servicetype, text) !=
            UPNPCOMMAND_SUCCESS) {
            return "";
        }
        return text;
    }

    bool Map(uint16_t port, std::string& error) override {
        const std::string number = std::to_string(port);
        const std::string lease = std::to_string(kLeaseSeconds);
        const int rc =
            UPNP_AddPortMapping(urls_.controlURL, data_.first.servicetype, number.c_str(),
                                number.c_str(), lan_, kDescription, "TCP", nullptr, lease.c_str());
        if (rc == UPNPCOMMAND_SUCCESS) return true;
        const char* text = strupnperror(rc);
        error = text != nullptr ? text : "UPnP error " + std::to_string(rc);
        return false;
    }

    bool Unmap(uint16_t port, Clock::time_point deadline) override {
        if (Clock::now() >= deadline) return false;
        const std::string number = std::to_string(port);
        return UPNP_DeletePortMapping(urls_.controlURL, data_.first.servicetype, number.c_str(),
                                      "TCP", nullptr) != UPNPCOMMAND_HTTP_ERROR;
    }

    // An IGD of version 2 removes a run of ports in one request, where one
    // request per port can take longer than Exit may wait (miniupnpd
    // rewrites its rules for each); the router works through the run even
    // once this process has ended. Single ports go first, so that a slow
    // run cannot keep the control port forwarded. Runs it refuses (a
    // version 1 IGD does not know the request) are removed port by port.
    bool UnmapAll(const std::vector<uint16_t>& ports, Clock::time_point deadline) override {
        std::vector<uint16_t> sorted = ports;
        std::sort(sorted.begin(), sorted.end());
        std::vector<std::span<const uint16_t>> runs;
        std::vector<uint16_t> singles;
        for (size_t first = 0; first < sorted.size();) {
            size_t last = first;
            while (last + 1 < sorted.size() && sorted[last + 1] == sorted[last] + 1) ++last;
            if (last == first) {
                singles.push_back(sorted[first]);
            } else {
                runs.push_back(std::span(sorted).subspan(first, last - first + 1));
            }
            first = last + 1;
        }
        if (!Router::UnmapAll(singles, deadline)) return false;
        for (const auto run : runs) {
            if (Clock::now() >= deadline) return false;
            const int rc = UPNP_DeletePortMappingRange(
                urls_.controlURL, data_.first.servicetype, std::to_string(run.front()).c_str(),
                std::to_string(run.back()).c_str(), "TCP", "0");
            if (rc == UPNPCOMMAND_HTTP_ERROR) return false;
            if (rc != UPNPCOMMAND_SUCCESS &&
                !Router::UnmapAll(std::vector<uint16_t>(run.begin(), run.end()), deadline)) {
                return false;
            }
        }
        return true;
    }

private:
    bool open_ = false;
    UPNPUrls urls_{};
    IGDdatas data_{};
    char lan_[64] = {};
};

class NatPmpRouter : public Router {
public:
    ~NatPmpRouter() override {
        if (open_) closenatpmp(&natpmp_);
    }

    bool Open(std::string& error) override {
        if (initnatpmp(&natpmp_, 0, 0) < 0) {
            error = "no NAT-PMP router found";
            return false;
        }
        open_ = true;
        natpmpresp_t response{};
        if (!Request(PublicAddressRequest(), response, Clock::now() + kAnswerTime, error)) {
            error = "no NAT-PMP router answered";
            return false;
        }
        external_ = Dotted(response.pnu.publicaddress.addr.s_addr);
        return true;
    }

    const char* Method() const override { return "NAT-PMP"; }
    std::string Address() const override { return Dotted(natpmp_.gateway); }

    std::string External() override {
        natpmpresp_t response{};
        std::string error;
        if (Request(PublicAddressRequest(), response, Clock::now() + kAnswerTime, error)) {
            external_ = Dotted(response.pnu.publicaddress.addr.s_addr);
        }
        return external_;
    }

    bool Map(uint16_t port, std::string& error) override {
        natpmpresp_t response{};
        if (!Request(MappingRequest(port, port, kLeaseSeconds), response,
                     Clock::now() + kAnswerTime, error)) {
            return false;
        }
        const uint16_t given = response.pnu.newportmapping.mappedpublicport;
        if (given == port) return true;
        // Another outside port would make PASV announce the wrong one.
        error = "the router offered port " + std::to_string(given) + " for " + std::to_string(port);
        std::string ignored;
        Request(MappingRequest(port, given, 0), response, Clock::now() + kAnswerTime, ignored);
        return false;
    }

    bool Unmap(uint16_t port, Clock::time_point deadline) override {
        if (Clock::now() >= deadline) return false;
        natpmpresp_t response{};
        std::string ignored;
        return Request(MappingRequest(port, port, 0), response,
                       std::min(deadline, Clock::now() + kAnswerTime), ignored);
    }

    // The first removal shows whether the router answers at all; the rest
    // are sent at once, so that a slow router works through them even after
    // Exit has stopped waiting (as an IGD does with a range). Their answers
    // are awaited until the deadline.
    bool UnmapAll(const std::vector<uint16_t>& ports, Clock::time_point deadline) override {
        if (ports.empty()) return true;
        if (!Unmap(ports.front(), deadline)) return false;
        std::set<uint16_t> waiting(ports.begin() + 1, ports.end());
        for (uint16_t port : waiting) {
            if (MappingRequest(port, port, 0).send(&natpmp_) < 0) return false;
        }
        natpmpresp_t response{};
        std::string ignored;
        while (!waiting.empty() && Await(response, deadline, ignored)) {
            if (response.type == NATPMP_RESPTYPE_TCPPORTMAPPING &&
                response.pnu.newportmapping.lifetime == 0) {
                waiting.erase(response.pnu.newportmapping.privateport);
            }
        }
        return waiting.empty();
    }

private:
    // One request: how to send it and which answer is its own.
    struct Question {
        std::function<int(natpmp_t*)> send;
        std::function<bool(const natpmpresp_t&)> answers;
    };

    static Question PublicAddressRequest() {
        return {[](natpmp_t* natpmp) { return sendpublicaddressrequest(natpmp); },
                [](const natpmpresp_t& response) {
                    return response.type == NATPMP_RESPTYPE_PUBLICADDRESS;
                }};
    }

    static Question MappingRequest(uint16_t port, uint16_t publicPort, uint32_t lifetime) {
        return {[=](natpmp_t* natpmp) {
                    return sendnewportmappingrequest(natpmp, NATPMP_PROTOCOL_TCP, port, publicPort,
                                                     lifetime);
                },
                [=](const natpmpresp_t& response) {
                    return response.type == NATPMP_RESPTYPE_TCPPORTMAPPING &&
                           response.pnu.newportmapping.privateport == port &&
                           (lifetime == 0) == (response.pnu.newportmapping.lifetime == 0);
                }};
    }

    // Sends the question and waits for its answer until `deadline`. A slow
    // router answers libnatpmp's resends too, so an answer left over from
    // an earlier question may arrive first: it is skipped.
    bool Request(const Question& question, natpmpresp_t& response, Clock::time_point deadline,
                 std::string& error) {
        while (Clock::now() < deadline) {
            if (question.send(&natpmp_) < 0) {
                error = "the request could not be sent";
                return false;
            }
            if (!Await(response, deadline, error)) return false;
            if (question.answers(response)) return true;
        }
        error = "no answer from the router";
        return false;
    }

    // Waits for the answer to the request just sent, until `deadline`;
    // libnatpmp resends it meanwhile.
    bool Await(natpmpresp_t& response, Clock::time_point deadline, std::string& error) {
        for (;;) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) {
                error = "no answer from the router";
                return false;
            }
            timeval wait{};
            getnatpmprequesttimeout(&natpmp_, &wait);
            const auto leftUs = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
            const long long waitUs = wait.tv_sec * 1000000LL + wait.tv_usec;
            const long long us =
                std::clamp<long long>(std::min<long long>(waitUs, leftUs), 0, leftUs);
            // poll, not select: with a thousand sessions open the socket's
            // number is past FD_SETSIZE, where FD_SET writes out of bounds.
            pollfd readable{natpmp_.s, POLLIN, 0};
            if (poll(&readable, 1, static_cast<int>((us + 999) / 1000)) < 0 && errno != EINTR) {
                error = "no answer from the router";
                return false;
            }
            const int rc = readnatpmpresponseorretry(&natpmp_, &response);
            if (rc == NATPMP_TRYAGAIN) continue;
            if (rc < 0) {
                error = "NAT-PMP error " + std::to_string(rc);
                return false;
            }
            return true;
        }
    }

    bool open_ = false;
    natpmp_t natpmp_{};
    std::string external_;
};

}  // namespace

bool PortMapRouter::UnmapAll(const std::vector<uint16_t>& ports, Clock::time_point deadline) {
    for (uint16_t port : ports) {
        if (!Unmap(port, deadline)) return false;
    }
    return true;
}

PortMapperSetup RouterSetup() {
    return {{{"UPnP IGD", [] { return std::make_unique<UpnpRouter>(); }},
             {"NAT-PMP router", [] { return std::make_unique<NatPmpRouter>(); }}}};
}

std::vector<uint16_t> PortsToMap(uint16_t controlPort, uint16_t passiveLow, uint16_t passiveHigh) {
    std::vector<uint16_t> ports{controlPort};
    if (passiveLow == 0) return ports;
    for (uint32_t port = passiveLow; port <= passiveHigh; ++port) {
        if (port != controlPort) ports.push_back(static_cast<uint16_t>(port));
    }
    return ports;
}

std::string PortMappingLine(const PortMappingResult& result) {
    return "Port mapping: " + std::to_string(result.forwarded) + " ports forwarded by " +
           result.router + " (" + result.method + "), external address " +
           (result.external.empty() ? "unknown" : result.external);
}

std::string PortMappingRefusedLine(const PortMappingResult& result) {
    if (result.forwarded >= result.asked) return "";
    return "Port mapping failed: the router refused " +
           std::to_string(result.asked - result.forwarded) + " of " + std::to_string(result.asked) +
           " ports (" + result.refusal + ")";
}

std::string PortMappingPrivateLine(const PortMappingResult& result) {
    in_addr address{};
    if (inet_pton(AF_INET, result.external.c_str(), &address) != 1) return "";
    if (IsPublicIPv4(address)) return "";
    return "Port mapping: the external address " + result.external +
           " is not public (another router is in the way), so it is not announced";
}

struct PortMapper::Run {
    PortMapperSetup setup;
    std::vector<uint16_t> ports;
    Reporter report;
    AddressSink address;
    // The run Stop ended before this one started, whose removal this run
    // waits for before it maps.
    std::shared_ptr<Run> previous;

    std::mutex mutex;
    std::condition_variable wake;
    bool stopping GUARDED_BY(mutex) = false;
    bool finished GUARDED_BY(mutex) = false;
    // Callbacks in progress, which run without the mutex: a report may wait
    // for the owner's thread.
    int calling GUARDED_BY(mutex) = 0;
    std::condition_variable changed;

    bool Stopping() {
        std::lock_guard<std::mutex> guard(mutex);
        return stopping;
    }

    // Calls `call` unless the run is being stopped.
    template <typename Call>
    void Callback(Call call) {
        {
            std::lock_guard<std::mutex> guard(mutex);
            if (stopping) return;
            ++calling;
        }
        call();
        std::lock_guard<std::mutex> guard(mutex);
        --calling;
        changed.notify_all();
    }

    void Report(const std::string& line, bool error) {
        if (!line.empty()) Callback([&] { report(line, error); });
    }

    // Under the mutex, so that no address arrives after Stop has taken it
    // back; the sink never waits.
    void Announce(const std::string& external) {
        in_addr parsed{};
        const uint32_t value =
            inet_pton(AF_INET, external.c_str(), &parsed) == 1 && IsPublicIPv4(parsed)
                ? parsed.s_addr
                : 0;
        std::lock_guard<std::mutex> guard(mutex);
        if (!stopping) address(value);
    }
};

namespace {

// Maps every port in turn; the ports forwarded go to `mapped`.
PortMappingResult MapAll(Router& router, const std::vector<uint16_t>& ports,
                         std::vector<uint16_t>& mapped, const std::function<bool()>& stopping) {
    PortMappingResult result;
    result.router = router.Address();
    result.method = router.Method();
    result.asked = static_cast<int>(ports.size());
    for (uint16_t port : ports) {
        if (stopping()) break;
        std::string error;
        if (router.Map(port, error)) {
            mapped.push_back(port);
        } else if (result.refusal.empty()) {
            result.refusal = "port " + std::to_string(port) + ": " + error;
        }
    }
    result.forwarded = static_cast<int>(mapped.size());
    if (result.forwarded > 0) result.external = router.External();
    return result;
}

}  // namespace

void PortMapper::Serve(std::shared_ptr<Run> run) {
    const auto stopping = [&run] { return run->Stopping(); };
    if (run->previous) {
        // Asked in slices, so that this run's own Stop is noticed too.
        std::shared_ptr<Run> previous = std::move(run->previous);
        std::unique_lock<std::mutex> guard(previous->mutex);
        while (!previous->finished) {
            previous->changed.wait_for(guard, std::chrono::milliseconds(200));
            if (!previous->finished && stopping()) break;
        }
    }
    std::unique_ptr<Router> router;
    std::vector<uint16_t> mapped;
    PortMappingResult result;
    std::string failure;

    // Opens `candidate` and maps the ports through it: true when it forwards
    // at least one, else false with the reason in `error`.
    const auto tryRouter = [&](std::unique_ptr<Router> candidate, const char* name,
                               std::string& error) {
        if (!candidate->Open(error)) return false;
        result = MapAll(*candidate, run->ports, mapped, stopping);
        if (mapped.empty()) {
            error = std::string("the ") + name + " at " + result.router + " forwarded no port (" +
                    result.refusal + ")";
            return false;
        }
        router = std::move(candidate);
        return true;
    };
    for (const PortMapperSetup::Candidate& candidate : run->setup.routers) {
        if (stopping()) break;
        std::string error;
        if (tryRouter(candidate.make(), candidate.name, error)) break;
        failure += (failure.empty() ? "" : "; ") + error;
    }

    if (router) {
        run->Report(PortMappingLine(result), false);
        run->Report(PortMappingRefusedLine(result), true);
        run->Report(PortMappingPrivateLine(result), true);
        run->Announce(result.external);
    } else {
        run->Report("Port mapping failed: " + failure, true);
    }

    for (;;) {
        {
            std::unique_lock<std::mutex> guard(run->mutex);
            run->wake.wait_for(guard, run->setup.renewEvery, [&run] { return run->stopping; });
            if (run->stopping) break;
        }
        if (!router) continue;
        // A renewal asks again for what the router gave; its answer about
        // the external address may have changed meanwhile.
        std::vector<uint16_t> renewed;
        const PortMappingResult again = MapAll(*router, mapped, renewed, stopping);
        if (renewed.empty() && !mapped.empty() && !stopping()) {
            run->Report(
                "Port mapping failed: the router renewed no mapping (" + again.refusal + ")", true);
        }
        if (!again.external.empty()) run->Announce(again.external);
    }

    if (router) {
        router->UnmapAll(mapped, Clock::now() + kRemovalTime);
    }
    std::lock_guard<std::mutex> guard(run->mutex);
    run->finished = true;
    run->changed.notify_all();
}

void PortMapper::Start(std::vector<uint16_t> ports, Reporter report, AddressSink address) {
    Stop(false);
    auto run = std::make_shared<Run>();
    if (!ended_.empty()) run->previous = ended_.back();
    run->setup = setup_;
    run->ports = std::move(ports);
    run->report = std::move(report);
    run->address = std::move(address);
    std::thread(&PortMapper::Serve, run).detach();
    run_ = std::move(run);
}

void PortMapper::Stop(bool wait) {
    if (!run_) return;
    std::shared_ptr<Run> run = std::move(run_);
    {
        std::unique_lock<std::mutex> guard(run->mutex);
        run->stopping = true;
        run->wake.notify_all();
        if (wait) run->changed.wait_for(guard, kStopWait, [&run] { return run->finished; });
    }
    // Runs that have ended and report nothing any more need no keeping.
    std::erase_if(ended_, [](const std::shared_ptr<Run>& old) {
        std::lock_guard<std::mutex> guard(old->mutex);
        return old->finished && old->calling == 0;
    });
    ended_.push_back(std::move(run));
}

PortMapper::~PortMapper() {
    Stop(true);
    // A report that began before Stop may still be under way; it uses what
    // the owner destroys next. Only here is it waited for: during Stop it
    // may itself be waiting for the owner's thread (the console's log).
    for (const auto& run : ended_) {
        std::unique_lock<std::mutex> guard(run->mutex);
        run->changed.wait(guard, [&run] { return run->calling == 0; });
    }
}
