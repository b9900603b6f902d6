#include "kit/KeyedHash.h"

#include <sys/random.h>

#include <cerrno>
#include <chrono>

namespace kit {
namespace {

inline uint64_t Rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    uint64_t v0, v1, v2, v3;
    void Round()
    {
        v0 += v1; v1 = Rotl(v1, 13); v1 ^= v0; v0 = Rotl(v0, 32);
        v2 += v3; v3 = Rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = Rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = Rotl(v1, 17); v1 ^= v2; v2 = Rotl(v2, 32);
    }
};

inline uint64_t ReadLittle64(const unsigned char *p)
{
    uint64_t word = 0;
    for (int i = 7; i >= 0; --i)
        word = (word << 8) | p[i];
    return word;
}

template <int CompressionRounds, int FinalRounds>
uint64_t SipHash(uint64_t k0, uint64_t k1, const void *data, size_t size)
{
    SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
               k1 ^ 0x7465646279746573ULL};
    const auto *in = static_cast<const unsigned char *>(data);
    const size_t whole = size - size % 8;
    for (size_t at = 0; at < whole; at += 8) {
        const uint64_t m = ReadLittle64(in + at);
        s.v3 ^= m;
        for (int i = 0; i < CompressionRounds; ++i)
            s.Round();
        s.v0 ^= m;
    }
    // The last word: the remaining bytes and the length's low byte on top.
    uint64_t last = static_cast<uint64_t>(size) << 56;
    for (size_t i = whole; i < size; ++i)
        last |= static_cast<uint64_t>(in[i]) << (8 * (i - whole));
    s.v3 ^= last;
    for (int i = 0; i < CompressionRounds; ++i)
        s.Round();
    s.v0 ^= last;
    s.v2 ^= 0xff;
    for (int i = 0; i < FinalRounds; ++i)
        s.Round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::pair<uint64_t, uint64_t> DrawKey()
{
    uint64_t words[2] = {0, 0};
    size_t got = 0;
    auto *bytes = reinterpret_cast<unsigned char *>(words);
    // getrandom blocks only until the kernel's pool is first initialised (early in
    // boot); an interruption is retried.
    while (got < sizeof words) {
        const ssize_t n = getrandom(bytes + got, sizeof words - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            // No kernel random source (a kernel before 3.17): the clock and the
            // addresses of this process are the best left; still unknown to a sender
            // on the LAN, which is what matters here.
            const uint64_t now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
            const uint64_t wall = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
            words[0] ^= now ^ reinterpret_cast<uintptr_t>(&got);
            words[1] ^= wall ^ reinterpret_cast<uintptr_t>(&DrawKey);
            words[1] = SipHash<2, 4>(words[0], words[1], &now, sizeof now);
            break;
        }
    }
    return {words[0], words[1]};
}

} // namespace

uint64_t SipHash13(uint64_t k0, uint64_t k1, const void *data, size_t size)
{
    return SipHash<1, 3>(k0, k1, data, size);
}

uint64_t SipHash24(uint64_t k0, uint64_t k1, const void *data, size_t size)
{
    return SipHash<2, 4>(k0, k1, data, size);
}

std::pair<uint64_t, uint64_t> ProcessHashKey()
{
    static const std::pair<uint64_t, uint64_t> key = DrawKey();
    return key;
}

uint64_t KeyedHashBytes(const void *data, size_t size)
{
    static const std::pair<uint64_t, uint64_t> key = ProcessHashKey();
    return SipHash<1, 3>(key.first, key.second, data, size);
}

} // namespace kit
