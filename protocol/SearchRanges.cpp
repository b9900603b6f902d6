#include "protocol/SearchRanges.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>

namespace {

bool ParseDotted(const std::string &text, uint32_t &address)
{
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1)
        return false;
    address = ntohl(parsed.s_addr);
    return true;
}

std::string Dotted(uint32_t address)
{
    in_addr value{};
    value.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &value, text, sizeof text);
    return text;
}

using Kind = RangeRefusal::Kind;

// Why no request may go to an address of [first, last], or Kind::None.
Kind Unsearchable(uint32_t first, uint32_t last)
{
    const auto overlaps = [&](uint32_t low, uint32_t high) { return first <= high && last >= low; };
    if (overlaps(0x00000000u, 0x00FFFFFFu))
        return Kind::ThisNetwork;
    if (overlaps(0x7F000000u, 0x7FFFFFFFu))
        return Kind::Loopback;
    if (overlaps(0xE0000000u, 0xEFFFFFFFu))
        return Kind::Multicast;
    if (last == 0xFFFFFFFFu)
        return Kind::Broadcast;
    return Kind::None;
}

Kind Parse(const std::string &text, AddressRange &range)
{
    range = AddressRange{};
    range.text = text;
    const auto slash = text.find('/');
    const auto dash = text.find('-');
    if (slash != std::string::npos) {
        uint32_t base = 0;
        const std::string prefixText = text.substr(slash + 1);
        if (!ParseDotted(text.substr(0, slash), base) || prefixText.empty() || prefixText.size() > 2 ||
            prefixText.find_first_not_of("0123456789") != std::string::npos)
            return Kind::NotARange;
        const int prefix = std::atoi(prefixText.c_str());
        if (prefix > 32)
            return Kind::BadPrefix;
        const uint32_t mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
        range.first = base & mask;
        range.last = range.first | ~mask;
        if (const Kind why = Unsearchable(range.first, range.last); why != Kind::None)
            return why;
        // The network and broadcast addresses of a subnet of four or more addresses
        // name no device.
        if (prefix <= 30) {
            ++range.first;
            --range.last;
        }
        return Kind::None;
    }
    if (dash != std::string::npos) {
        if (!ParseDotted(text.substr(0, dash), range.first) || !ParseDotted(text.substr(dash + 1), range.last))
            return Kind::NotARange;
        if (range.first > range.last)
            return Kind::EndsReversed;
        return Unsearchable(range.first, range.last);
    }
    return Kind::NotARange;
}

// Hands `refusal` to the caller who asked for it; its English sentence.
std::string Tell(const RangeRefusal &refusal, RangeRefusal *out)
{
    if (out)
        *out = refusal;
    return RangeRefusalText(refusal);
}

} // namespace

std::string RangeRefusalText(const RangeRefusal &refusal)
{
    switch (refusal.kind) {
    case Kind::None:
        return std::string();
    case Kind::NotARange:
        return "not a range (10.78.5.0/24 or 10.78.5.10-10.78.5.99)";
    case Kind::BadPrefix:
        return "the prefix length must be 0 to 32";
    case Kind::EndsReversed:
        return "its first address lies above its last";
    case Kind::ThisNetwork:
        return "it holds addresses of 0.0.0.0/8, which name no host";
    case Kind::Loopback:
        return "it holds loopback addresses (127.0.0.0/8)";
    case Kind::Multicast:
        return "it holds multicast addresses (224.0.0.0/4)";
    case Kind::Broadcast:
        return "it holds 255.255.255.255, the broadcast the search sends anyway";
    case Kind::TooLarge:
        return "it holds more than " + std::to_string(refusal.limit) + " addresses";
    case Kind::TotalTooLarge:
        return "all ranges together would hold more than " + std::to_string(refusal.limit) + " addresses";
    case Kind::LocalAddress:
        return refusal.range + " holds " + refusal.address + ", an address of this machine";
    }
    return std::string();
}

std::string ParseAddressRange(const std::string &text, AddressRange &range, RangeRefusal *refusal)
{
    RangeRefusal why;
    why.kind = Parse(text, range);
    return Tell(why, refusal);
}

std::string SearchRanges::Add(const std::string &text, RangeRefusal *refusal)
{
    AddressRange range;
    RangeRefusal why;
    why.kind = Parse(text, range);
    if (why.kind != Kind::None)
        return Tell(why, refusal);
    why.limit = kMaxRangeAddresses;
    // Checked one by one so that a huge range is refused before anything is merged.
    if (uint64_t{range.last} - range.first + 1 > kMaxRangeAddresses) {
        why.kind = Kind::TooLarge;
        return Tell(why, refusal);
    }
    m_ranges.push_back(range);
    Merge();
    if (m_count > kMaxRangeAddresses) {
        m_ranges.pop_back();
        Merge();
        why.kind = Kind::TotalTooLarge;
        return Tell(why, refusal);
    }
    return Tell(RangeRefusal{}, refusal);
}

void SearchRanges::Merge()
{
    std::vector<std::pair<uint32_t, uint32_t>> spans;
    for (const AddressRange &range : m_ranges)
        spans.emplace_back(range.first, range.last);
    std::sort(spans.begin(), spans.end());
    m_blocks.clear();
    m_count = 0;
    for (const auto &span : spans) {
        if (!m_blocks.empty() && uint64_t{span.first} <= uint64_t{m_blocks.back().last} + 1) {
            Block &block = m_blocks.back();
            if (span.second > block.last) {
                m_count += span.second - block.last;
                block.last = span.second;
            }
            continue;
        }
        m_blocks.push_back(Block{span.first, span.second, m_count});
        m_count += span.second - span.first + 1;
    }
}

uint32_t SearchRanges::At(uint32_t index) const
{
    // The last block that begins at or before `index`.
    auto block = std::upper_bound(m_blocks.begin(), m_blocks.end(), index,
                                  [](uint32_t i, const Block &b) { return i < b.before; });
    if (block == m_blocks.begin())
        return 0;
    --block;
    return block->first + (index - block->before);
}

bool SearchRanges::Contains(uint32_t address) const
{
    auto block = std::upper_bound(m_blocks.begin(), m_blocks.end(), address,
                                  [](uint32_t a, const Block &b) { return a < b.first; });
    if (block == m_blocks.begin())
        return false;
    --block;
    return address <= block->last;
}

bool SearchRanges::Contains(const std::string &address) const
{
    uint32_t parsed = 0;
    return ParseDotted(address, parsed) && Contains(parsed);
}

std::string SearchRanges::CheckLocal(const std::vector<std::string> &localAddresses, RangeRefusal *refusal) const
{
    for (const std::string &local : localAddresses) {
        uint32_t address = 0;
        if (!ParseDotted(local, address) || !Contains(address))
            continue;
        for (const AddressRange &range : m_ranges)
            if (address >= range.first && address <= range.last) {
                RangeRefusal why;
                why.kind = Kind::LocalAddress;
                why.range = range.text;
                why.address = Dotted(address);
                return Tell(why, refusal);
            }
    }
    return Tell(RangeRefusal{}, refusal);
}
