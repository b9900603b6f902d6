#include "device/UnlistedDevices.h"

#include "kit/KeyedHash.h"

#include <cmath>

void UnlistedDevices::Note(const QString &serialNo)
{
    if (m_bits.empty())
        m_bits.assign(kUnlistedBits / 64, 0);
    // Keyed with the process's secret: a sender who could choose identities sharing
    // one bit would make thousands of devices count as one.
    const uint32_t h = static_cast<uint32_t>(kit::KeyedHash()(serialNo));
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
