#pragma once
// Search ranges: address ranges behind a router, searched by unicast.
//
// A broadcast never crosses a router, so devices on their own VLAN or floor subnet
// are never heard by the broadcast search. Each of them answers a search request
// sent to its own address, so a search range lists addresses that get one request
// each per round, by unicast, from the search socket whose route reaches them (see
// QRangeSearch, protocol/RangeSearch.h).
//
// A range is written "10.78.5.0/24" (a CIDR block: its network and broadcast
// addresses are left out when the prefix is /30 or shorter; a /31 holds both of its
// addresses, a /32 one) or "10.78.5.10-10.78.5.99" (both ends included). Ranges may
// overlap; each address is searched once per round all the same.
#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

// The most addresses all ranges together may hold: a /16, the widest subnet sites
// give a device VLAN. A round over them at the default rate takes about four and a
// half minutes, so a larger set (one mistyped /8 is 16.7 million addresses, 18
// hours at the default rate) would never finish a round in any useful time; the
// bound refuses such a mistake at once instead of searching almost nothing.
constexpr uint32_t kMaxRangeAddresses = 65536;

// Requests per second over all ranges when none is given: 250. Every request to an
// address that nobody holds makes the last router resolve it (three ARP broadcasts
// over about 3 s on the device subnet, an incomplete neighbour entry all the while);
// at 250 per second that is some 750 entries at once, inside the 1024 a Linux
// router's neighbour table holds by default (gc_thresh3) and a load small embedded
// devices on that subnet shrug off. A /22 (1022 addresses) fits one 5 s search period
// at this rate.
constexpr unsigned kDefaultRangeRate = 250;
// The highest rate accepted: 2000 per second, a /16 in 33 s. Above it the ARP
// broadcasts on a device subnet reach thousands per second, which is enough to keep
// small devices' CPUs busy and to overflow a router's neighbour table, so that
// answers of real devices would be lost to the very search that asks for them.
constexpr unsigned kMaxRangeRate = 2000;

struct AddressRange {
    uint32_t first = 0; // host byte order, both ends included
    uint32_t last = 0;
    std::string text;   // as the operator wrote it
};

// Why a range is refused: the kind and the values it names. The functions below
// return the English sentence (RangeRefusalText) and fill one of these on request, so
// that the window can say the same in its own language.
struct RangeRefusal {
    enum class Kind {
        None,
        NotARange,     // neither "10.78.5.0/24" nor "10.78.5.10-10.78.5.99"
        BadPrefix,     // a prefix length above 32
        EndsReversed,  // the first address lies above the last
        ThisNetwork,   // holds addresses of 0.0.0.0/8
        Loopback,      // holds addresses of 127.0.0.0/8
        Multicast,     // holds addresses of 224.0.0.0/4
        Broadcast,     // holds 255.255.255.255
        TooLarge,      // holds more than `limit` addresses on its own
        TotalTooLarge, // all ranges together would hold more than `limit`
        LocalAddress,  // `range` (as written) holds `address`, this machine's own
    };
    Kind kind = Kind::None;
    uint32_t limit = 0;
    std::string range;
    std::string address; // dotted
};

// The English sentence for `refusal`; "" for Kind::None.
std::string RangeRefusalText(const RangeRefusal &refusal);

// Reads one range; "" or the reason it is refused (not a range, a prefix outside
// 0..32, ends in the wrong order, or holding an address that can never be searched:
// 0.0.0.0/8, loopback, multicast or 255.255.255.255). `refusal`, when given, gets the
// reason's kind (Kind::None when the range is accepted).
std::string ParseAddressRange(const std::string &text, AddressRange &range, RangeRefusal *refusal = nullptr);

class SearchRanges {
public:
    // Adds a range; "" or the reason it is refused (ParseAddressRange, or all ranges
    // together above kMaxRangeAddresses). `refusal` as for ParseAddressRange.
    std::string Add(const std::string &text, RangeRefusal *refusal = nullptr);
    // "" when no range holds one of `localAddresses` (dotted text, this machine's
    // own), else the reason naming the first found: a request to this machine's own
    // address would answer itself. `refusal` as for ParseAddressRange.
    std::string CheckLocal(const std::vector<std::string> &localAddresses, RangeRefusal *refusal = nullptr) const;

    bool Empty() const { return m_ranges.empty(); }
    const std::vector<AddressRange> &Ranges() const { return m_ranges; }
    // The addresses searched per round (overlaps counted once).
    uint32_t Count() const { return m_count; }
    // Address number i (0 <= i < Count()) in ascending order, host byte order.
    uint32_t At(uint32_t index) const;
    // True when `address` (host byte order) lies in a range.
    bool Contains(uint32_t address) const;
    // The same for dotted text; false for anything else.
    bool Contains(const std::string &address) const;

private:
    // The ranges merged into disjoint ascending blocks, with the count before each.
    struct Block {
        uint32_t first = 0;
        uint32_t last = 0;
        uint32_t before = 0;
    };
    void Merge();

    std::vector<AddressRange> m_ranges;
    std::vector<Block> m_blocks;
    uint32_t m_count = 0;
};
