// The owner's passive port range (tarnhold.conf's passive_ports): PASV and
// EPSV of every session take the next port of the range after the last one
// given, so that a router needs only these ports forwarded.
#pragma once

#include <atomic>
#include <cstdint>

class PassivePortRange {
public:
    // Sets the range [low, high] and starts it again at low; low 0 turns
    // the range off (the sessions' own rotation applies). Owner's thread,
    // at Start; sessions may be reading at the same time.
    void Set(uint16_t low, uint16_t high);
    // Whether a range is set. Any thread.
    bool Active() const { return bounds_.load() != 0; }
    // The next port to try, round and round the range; 0 when no range is
    // set. Each call gives the port after the previous call's, across
    // sessions. Any thread.
    uint16_t Next();

private:
    // low << 16 | high, so that a reader never sees half of a change.
    std::atomic<uint32_t> bounds_{0};
    std::atomic<uint32_t> taken_{0};
};
