// Port mapping on the owner's router (tarnhold.conf's port_mapping): asks
// the router to forward the control port and every passive port to this
// machine, UPnP IGD first, NAT-PMP when no IGD answers or UPnP fails. All of
// it runs on a thread of its own, so listening, the sessions and the
// console never wait for a router.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// The passive range while port mapping is on and the owner set none.
constexpr uint16_t kMappedPassiveLow = 50000;
constexpr uint16_t kMappedPassiveHigh = 50099;

// The ports to forward: the control port, then every port of the passive
// range (low 0: none), each once.
std::vector<uint16_t> PortsToMap(uint16_t controlPort, uint16_t passiveLow, uint16_t passiveHigh);

// The outcome of one mapping run, as the log words it.
struct PortMappingResult {
    std::string router;    // the router's address, dotted
    std::string method;    // "UPnP" or "NAT-PMP"
    std::string external;  // the external address, dotted; empty: unknown
    int asked = 0;         // ports asked for
    int forwarded = 0;     // ports the router forwards
    std::string refusal;   // why the first refused port was refused
};

// "Port mapping: N ports forwarded by ROUTER (METHOD), external address X".
std::string PortMappingLine(const PortMappingResult& result);
// The error line for the ports the router refused, or empty when it took
// them all.
std::string PortMappingRefusedLine(const PortMappingResult& result);
// The error line for an external address that is not public (another
// router in the way), or empty when it is public or unknown.
std::string PortMappingPrivateLine(const PortMappingResult& result);

// One way of asking a router to forward ports (UPnP IGD, NAT-PMP); the
// mappings of one run go through one. Used on the mapping thread only.
class PortMapRouter {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~PortMapRouter() = default;
    // Finds the router; false with the reason in `error`.
    virtual bool Open(std::string& error) = 0;
    virtual const char* Method() const = 0;
    // The router's address, dotted.
    virtual std::string Address() const = 0;
    // The external address, dotted, or empty when the router does not say.
    virtual std::string External() = 0;
    // Forwards `port` (TCP) to this machine for one lease.
    virtual bool Map(uint16_t port, std::string& error) = 0;
    // Removes the forwarding of `port`, trying until `deadline` at most;
    // false when the router did not answer (the rest is not worth trying).
    virtual bool Unmap(uint16_t port, Clock::time_point deadline) = 0;
    // Removes the forwardings of `ports` until `deadline` at most, ending
    // at the first request the router does not answer (then false).
    virtual bool UnmapAll(const std::vector<uint16_t>& ports, Clock::time_point deadline);
};

// Which routers a PortMapper asks, and how often it renews.
struct PortMapperSetup {
    struct Candidate {
        const char* name;  // as the failure line names it: "UPnP IGD"
        std::function<std::unique_ptr<PortMapRouter>()> make;
    };
    // Tried in turn until one forwards a port.
    std::vector<Candidate> routers;
    std::chrono::steady_clock::duration renewEvery = std::chrono::minutes(30);
};

// UPnP IGD (miniupnpc), then NAT-PMP (libnatpmp); leases of one hour
// renewed every half hour.
PortMapperSetup RouterSetup();

class PortMapper {
public:
    // One log line; `error` selects the style "TarnHold error". Called on
    // the mapping thread.
    using Reporter = std::function<void(const std::string& line, bool error)>;
    // The router's external address when it is public (network order), or
    // 0 when there is none any more. Called on the mapping thread.
    using AddressSink = std::function<void(uint32_t address)>;

    explicit PortMapper(PortMapperSetup setup = RouterSetup()) : setup_(std::move(setup)) {}
    // Stop, then waits for any report of an ended run still under way.
    ~PortMapper();
    PortMapper(const PortMapper&) = delete;
    PortMapper& operator=(const PortMapper&) = delete;

    // Ends an earlier run (as Stop without waiting), then starts the
    // mapping thread for `ports` and returns at once. The new run maps
    // only once the earlier one's removal has ended, so that removal never
    // takes away what the new run mapped. Owner's thread.
    void Start(std::vector<uint16_t> ports, Reporter report, AddressSink address);

    // Ends the run: its thread removes every mapping it made (the first
    // unanswered request ends the removal, so a dead router cannot hold it
    // for long). With `wait` (Exit, after which the process ends) returns
    // once the removal is done or after about 20 s, which only a slow but
    // answering router uses; otherwise at once, the removal going on in the
    // background. No callback begins once this returns; one already under
    // way may still end (the destructor waits for it). Nothing to do when
    // no run is on. Owner's thread.
    void Stop(bool wait);

private:
    struct Run;
    static void Serve(std::shared_ptr<Run> run);
    const PortMapperSetup setup_;
    std::shared_ptr<Run> run_;
    // The runs Stop ended, whose last report the destructor waits for.
    std::vector<std::shared_ptr<Run>> ended_;
};
