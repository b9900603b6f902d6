#pragma once
// Process-wide connection identifiers, shared by all sockets: 1, 2, 3, ... and,
// after the largest 32-bit value, 1 again. Never 0.
#include <atomic>
#include <cstdint>

uint32_t NextConnectionId();

// The step of NextConnectionId on a given counter (exposed for tests of the wrap-around).
inline uint32_t NextConnectionIdFrom(std::atomic<uint32_t> &counter)
{
    uint32_t id = counter.fetch_add(1) + 1;
    if (id == 0)
        id = counter.fetch_add(1) + 1;
    return id;
}
