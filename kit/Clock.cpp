#include "kit/Clock.h"

#include <ctime>

namespace Vant {

namespace {

class CSystemClock final : public IClock {
public:
    uint32_t Tick() override
    {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
        return static_cast<uint32_t>(ms);
    }
    int64_t Now() override { return static_cast<int64_t>(std::time(nullptr)); }
};

} // namespace

std::shared_ptr<IClock> SystemClock()
{
    // Built once and never destroyed: workers may still read it while the process exits.
    static auto *clock = new std::shared_ptr<IClock>(std::make_shared<CSystemClock>());
    return *clock;
}

} // namespace Vant
