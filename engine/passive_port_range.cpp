#include "engine/passive_port_range.h"

void PassivePortRange::Set(uint16_t low, uint16_t high) {
    taken_.store(0);
    bounds_.store(low == 0 || high < low ? 0 : (uint32_t{low} << 16) | high);
}

uint16_t PassivePortRange::Next() {
    const uint32_t bounds = bounds_.load();
    if (bounds == 0) return 0;
    const uint32_t low = bounds >> 16;
    const uint32_t size = (bounds & 0xFFFFu) - low + 1;
    return static_cast<uint16_t>(low + taken_.fetch_add(1) % size);
}
