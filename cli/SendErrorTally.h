#pragma once
// Failed search sends, by cause, as one counter that only grows.
//
// Each searcher's socket counts its failed sends by errno since the socket opened
// (QUdpCast::SocketStatus::sendErrors); a socket opened again, or a searcher added
// for a new address, starts from zero. The tally remembers what it last saw of each
// searcher (its address, interface index and errno) and adds only what grew since,
// taking a smaller count as a restart from zero, so the totals it hands the
// exposition never go down while the exporter runs.
//
// Bounds: one entry per searcher and errno seen. Searchers are bounded by the
// machine's addresses (protocol/LocalAddresses.h), and errno values are the
// kernel's, a fixed small set; nothing from the network chooses a key here.
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "protocol/UdpCastGroup.h"

namespace cli {

class SendErrorTally {
public:
    // Adds what the searchers' counts grew by since the last call.
    void Add(const std::vector<QUdpCastGroup::SearcherState> &searchers);
    // Totals by cause ("ENETUNREACH", ...), in the order of the causes' names.
    const std::map<std::string, long long> &Totals() const { return m_totals; }

    // The label for an errno: its symbolic name, or "errno_N" when the C library
    // has none.
    static std::string CauseOf(int error);

private:
    using Key = std::tuple<std::string, unsigned, int>; // address, interface index, errno
    std::map<Key, uint64_t> m_last;
    std::map<std::string, long long> m_totals;
};

} // namespace cli
