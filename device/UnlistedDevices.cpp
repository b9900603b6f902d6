#include "device/UnlistedDevices.h"

#include <QHash>

#include <cmath>

void UnlistedDevices::Note(const QString &serialNo)
{
    if (m_bits.empty())
        m_bits.assign(kUnlistedBits / 64, 0);
    // Qt's string hash is not spread evenly over its low bits for serials that differ
    // in a few digits; the finaliser of MurmurHash3 spreads it.
    uint32_t h = static_cast<uint32_t>(qHash(serialNo));
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    const uint32_t bit = h % kUnlistedBits;
    uint64_t &word = m_bits[bit / 64];
    const uint64_t mask = uint64_t{1} << (bit % 64);
    if (!(word & mask)) {
        word |= mask;
        --m_clearBits;
    }
}

int64_t UnlistedDevices::Estimate() const
{
    const double bits = kUnlistedBits;
    // With every bit set the formula has no finite answer; one clear bit is the
    // largest count it can tell apart.
    const double clear = m_clearBits > 0 ? m_clearBits : 1;
    return std::llround(-bits * std::log(clear / bits));
}

void UnlistedDevices::Clear()
{
    m_bits.clear();
    m_bits.shrink_to_fit();
    m_clearBits = kUnlistedBits;
}
