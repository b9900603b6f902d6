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

RescanPlan PlanRescan(const std::vector<InterfaceAddress> &running, const std::vector<InterfaceAddress> &wanted);
