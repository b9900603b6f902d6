#pragma once
// Matching the searchers that run with the addresses the machine has now.
//
// Both lists are in the order of the interface list and may hold one address more
// than once (a duplicate gets a searcher of its own). An address the machine still
// has keeps its searcher, which goes on untouched; one it no longer has loses its
// searcher; one it has newly gets a new searcher. Equal entries are paired in
// order: the first running one with the first wanted one, and so on.
#include <vector>

#include "protocol/LocalAddresses.h"

struct RescanPlan {
    // For each wanted address, in order: the index of the running searcher it keeps,
    // or -1 when it needs a new one.
    std::vector<int> kept;
    // Indices of the running searchers that nothing wanted keeps, ascending.
    std::vector<int> removed;
};

// Entries are InterfaceAddress or SearchTarget (anything with ==).
template <class Entry>
RescanPlan PlanRescan(const std::vector<Entry> &running, const std::vector<Entry> &wanted)
{
    RescanPlan plan;
    std::vector<bool> taken(running.size(), false);
    plan.kept.reserve(wanted.size());
    // Quadratic in the number of addresses, which a host has a handful of.
    for (const Entry &address : wanted) {
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
