// Port mapping on the owner's router (tarnhold.conf's port_mapping): asks
// the router to forward the control port and every passive port to this
// machine, UPnP IGD first, NAT-PMP when no IGD answers or UPnP fails. All of
// it runs on a thread of its own, so listening, the sessions and the
// console never wait for a router.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
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

class PortMapper {
public:
    // One log line; `error` selects the style "TarnHold error". Called on
    // the mapping thread.
    using Reporter = std::function<void(const std::string& line, bool error)>;
    // The router's external address when it is public (network order), or
    // 0 when there is none any more. Called on the mapping thread.
    using AddressSink = std::function<void(uint32_t address)>;

    PortMapper() = default;
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
    std::shared_ptr<Run> run_;
    // The runs Stop ended, whose last report the destructor waits for.
    std::vector<std::shared_ptr<Run>> ended_;
};
