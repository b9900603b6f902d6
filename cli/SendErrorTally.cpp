#include "cli/SendErrorTally.h"

#include <cstring>

namespace cli {

std::string SendErrorTally::CauseOf(int error)
{
    if (const char *name = strerrorname_np(error))
        return name;
    return "errno_" + std::to_string(error);
}

void SendErrorTally::Add(const std::vector<QUdpCastGroup::SearcherState> &searchers)
{
    for (const QUdpCastGroup::SearcherState &searcher : searchers) {
        for (const auto &[error, count] : searcher.socket.sendErrors) {
            uint64_t &last = m_last[Key(searcher.target.address, searcher.target.index, error)];
            const uint64_t grown = count >= last ? count - last : count; // smaller: the socket started again
            last = count;
            if (grown > 0)
                m_totals[CauseOf(error)] += static_cast<long long>(grown);
        }
    }
}

} // namespace cli
