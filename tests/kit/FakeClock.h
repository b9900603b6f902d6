#pragma once
// A clock for the logger and the deleter that tests move by hand.
#include <atomic>
#include <cstdint>
#include <functional>

#include "kit/Clock.h"

namespace kittest {

class FakeClock : public Vant::IClock {
public:
    uint32_t Tick() override { return tick.load(); }
    int64_t Now() override
    {
        if (onNow)
            onNow();
        return now.load();
    }

    std::atomic<uint32_t> tick{1000};
    std::atomic<int64_t> now{0};
    // Called on every Now(), on the reading thread (set before the reader starts).
    std::function<void()> onNow;
};

} // namespace kittest
