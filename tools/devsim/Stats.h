#pragma once
// Counters of one simulator run, printed as the summary line.
#include <cstdint>
#include <string>

#include "Outbox.h"

namespace devsim {

struct Stats {
    uint64_t datagramsReceived = 0;
    uint64_t emptyDatagrams = 0;     // keep-alives of the command client
    uint64_t searchRequests = 0;
    uint64_t updateRequests = 0;
    uint64_t rebootRequests = 0;
    uint64_t ignoredRequests = 0;    // other apis, or no "params"."data" on a command port
    uint64_t unknownSerial = 0;      // a command for no device of that port
    uint64_t foreignRequests = 0;    // commands naming another serial number taken by any-serial firmware
    uint64_t whileRebooting = 0;     // requests a rebooting device did not hear
    uint64_t unanswered = 0;         // answers held back by the "silent" fault
    uint64_t datagramsSent = 0;
    uint64_t sendErrors = 0;
    uint64_t answers[static_cast<int>(AnswerKind::Count)] = {};
    int64_t firstSearchNs = 0;       // CLOCK_MONOTONIC of the first search request
    int64_t lastAnswerNs = 0;        // CLOCK_MONOTONIC of the last answer datagram sent

    // "summary received=... search_unicast=... ..." (one line, key=value).
    std::string Summary() const;
};

int64_t MonotonicNs();

} // namespace devsim
