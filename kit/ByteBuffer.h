#pragma once
// A growable byte buffer with an explicit 32-bit length and capacity.
//
// Used for the per-sender reassembly buffers of the device protocol and for the
// receive buffers of the sockets. Every allocation failure leaves the buffer
// empty (null data, length 0, capacity 0) and is reported by a false result, so
// a caller never works on half-copied content.
#include <cstdint>

class ByteBuffer {
public:
    ByteBuffer() noexcept = default;
    ~ByteBuffer();
    ByteBuffer(ByteBuffer &&other) noexcept;
    ByteBuffer &operator=(ByteBuffer &&other) noexcept;
    ByteBuffer(const ByteBuffer &) = delete;
    ByteBuffer &operator=(const ByteBuffer &) = delete;

    char *Data() noexcept { return m_data; }
    const char *Data() const noexcept { return m_data; }
    std::uint32_t Length() const noexcept { return m_length; }
    std::uint32_t Capacity() const noexcept { return m_capacity; }
    bool Empty() const noexcept { return m_length == 0; }

    // Frees the content and allocates exactly `size` bytes (zero-filled when `zero`
    // is set); afterwards length and capacity are both `size`. Reset(0, ...) just
    // frees. False when the allocation failed (the buffer is then empty).
    bool Reset(std::uint32_t size, bool zero);

    // Copies `count` bytes to the end. When the capacity is too small the buffer
    // grows to exactly the new length. `bytes` may point into this buffer.
    // False when the allocation failed or the length would pass 2^32 - 1 (the
    // buffer is then empty), or when `bytes` is null with a non-zero count (the
    // buffer is then unchanged).
    bool Append(const void *bytes, std::uint32_t count);

    // Removes the first `count` bytes (all of them when `count` >= length); the
    // rest moves to the front in order. The capacity is kept for the next append,
    // except that a large block which is now mostly unused is given back (never
    // an allocation that can fail: the content is kept in every case).
    void Discard(std::uint32_t count) noexcept;

    // Capacities up to this size are kept by Discard however little is left.
    static constexpr std::uint32_t kKeptCapacity = 64 * 1024;

private:
    void Release() noexcept;

    char *m_data = nullptr;
    std::uint32_t m_length = 0;
    std::uint32_t m_capacity = 0;
};
