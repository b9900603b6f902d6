#include "protocol/RescanPlan.h"

RescanPlan PlanRescan(const std::vector<InterfaceAddress> &running, const std::vector<InterfaceAddress> &wanted)
{
    RescanPlan plan;
    std::vector<bool> taken(running.size(), false);
    plan.kept.reserve(wanted.size());
    // Quadratic in the number of addresses, which a host has a handful of.
    for (const InterfaceAddress &address : wanted) {
        int match = -1;
        for (size_t i = 0; i < running.size() && match < 0; ++i) {
            if (!taken[i] && running[i] == address)
                match = static_cast<int>(i);
        }
        if (match >= 0)
            taken[static_cast<size_t>(match)] = true;
        plan.kept.push_back(match);
    }
    for (size_t i = 0; i < running.size(); ++i) {
        if (!taken[i])
            plan.removed.push_back(static_cast<int>(i));
    }
    return plan;
}
