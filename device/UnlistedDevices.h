#pragma once
// Counts the distinct serial numbers that answered while the device table was full,
// in a fixed amount of memory: a flood of forged devices must not grow what is kept
// about the devices that were left out.
//
// Each serial number sets one bit of a bitmap chosen by its hash; the number of
// distinct serials is estimated from the share of bits still clear (linear
// counting). Up to a few thousand devices the estimate is exact in practice (two
// serials rarely share a bit); at 100,000 its error is well under 1 %. With every
// bit set it reports its largest figure, about 30 million. It is a figure for the
// operator, not a defence: a sender that picks serials whose hashes collide is
// counted low.
#include <QString>

#include <cstdint>
#include <vector>

// 2^21 bits (256 KiB, taken only when the table first fills): far more than any real
// overflow needs, and still accurate to about 1 % at a million forged serials.
constexpr uint32_t kUnlistedBits = 1u << 21;

class UnlistedDevices {
public:
    // Notes one answer of a device that was not listed.
    void Note(const QString &serialNo);
    // The estimated number of distinct serial numbers noted.
    int64_t Estimate() const;
    bool Any() const { return m_clearBits != kUnlistedBits; }
    void Clear();

private:
    std::vector<uint64_t> m_bits;
    uint32_t m_clearBits = kUnlistedBits;
};
