#pragma once
// Vant::IClock: where the logger and the log deleter read the time. The system clock
// is the default; tests put their own in its place to reach a minute, a day or
// 16 o'clock without waiting.
#include <cstdint>
#include <memory>

namespace Vant {

class IClock {
public:
    virtual ~IClock() = default;
    // Milliseconds of a monotonic clock, truncated to 32 bits; take differences
    // modulo 2^32.
    virtual uint32_t Tick() = 0;
    // Seconds since 1970-01-01 00:00:00 UTC.
    virtual int64_t Now() = 0;
};

// CLOCK_MONOTONIC and the calendar clock. Shared, never destroyed.
std::shared_ptr<IClock> SystemClock();

} // namespace Vant
