#pragma once
// Keyed hashing for every hash table whose keys come from the network.
//
// A device chooses its own serial number, MAC, description and address, and anyone
// on the LAN can forge answers. A table hashed by a function without a secret (Qt 5's
// qHash(QString), std::hash) lets such a sender choose keys that share one hash and
// turn every look-up into a walk over all of them: Qt 5's seed only starts the hash,
// so strings that collide once collide under every seed. Here every key is hashed
// with SipHash-1-3 under a 128-bit secret drawn once per process from the kernel's
// random source (getrandom), so a sender who cannot read this process's memory cannot
// aim at a bucket; a table of n keys then costs what n random keys cost.
//
// SipHash-1-3 is written out below (a few lines, tested against the reference
// implementation's output); 1-3 rather than 2-4 because the output never leaves the
// process: it only has to resist a sender who sees no hash value, which is what the
// variant was made for and what the runtimes of several languages use for their
// tables.
//
// The rule: a container keyed by network text or numbers is either ordered (std::map)
// or hashed with KeyedHash. Qt tables use KeyedText as their key type
// (device/KeyedText.h); std tables pass KeyedHash as their hasher. The test
// keyed_hash_usage fails on a new QHash/QSet keyed by QString, or a std unordered
// container with the default hasher, in the folders that handle network text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

namespace kit {

// SipHash-1-3 of `size` bytes under the key (k0, k1), as the reference implementation
// reads its 16-byte key (two little-endian words).
uint64_t SipHash13(uint64_t k0, uint64_t k1, const void *data, size_t size);
// SipHash-2-4, the same function with more rounds; here only to check the shared code
// against the published vectors.
uint64_t SipHash24(uint64_t k0, uint64_t k1, const void *data, size_t size);

// This process's secret, drawn on first use (thread-safe) and fixed from then on.
std::pair<uint64_t, uint64_t> ProcessHashKey();

// SipHash-1-3 of `size` bytes under the process's secret.
uint64_t KeyedHashBytes(const void *data, size_t size);

// The hasher for std::unordered_map/set keyed by network text or numbers.
struct KeyedHash {
    template <typename Integer, typename std::enable_if<std::is_integral<Integer>::value, int>::type = 0>
    size_t operator()(Integer value) const
    {
        const uint64_t wide = static_cast<uint64_t>(value);
        return KeyedHashBytes(&wide, sizeof wide);
    }
    size_t operator()(const std::string &text) const { return KeyedHashBytes(text.data(), text.size()); }
    // Any string with contiguous code units (QString, QByteArray, std::u16string):
    // hashed as its code units' bytes.
    template <typename Text, typename = decltype(std::declval<const Text &>().constData())>
    size_t operator()(const Text &text) const
    {
        return KeyedHashBytes(text.constData(), static_cast<size_t>(text.size()) * sizeof(*text.constData()));
    }
};

} // namespace kit

#include <unordered_map>
#include <unordered_set>

namespace kit {
// The std containers keyed by network values, hashed with the process's secret.
template <typename Key, typename Value>
using KeyedMap = std::unordered_map<Key, Value, KeyedHash>;
template <typename Key>
using KeyedSet = std::unordered_set<Key, KeyedHash>;
} // namespace kit
