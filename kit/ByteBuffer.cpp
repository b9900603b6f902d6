#include "kit/ByteBuffer.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <utility>

ByteBuffer::~ByteBuffer() { std::free(m_data); }

ByteBuffer::ByteBuffer(ByteBuffer &&other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)),
      m_length(std::exchange(other.m_length, 0)),
      m_capacity(std::exchange(other.m_capacity, 0)) {}

ByteBuffer &ByteBuffer::operator=(ByteBuffer &&other) noexcept {
    if (this != &other) {
        std::free(m_data);
        m_data = std::exchange(other.m_data, nullptr);
        m_length = std::exchange(other.m_length, 0);
        m_capacity = std::exchange(other.m_capacity, 0);
    }
    return *this;
}

void ByteBuffer::Release() noexcept {
    std::free(m_data);
    m_data = nullptr;
    m_length = 0;
    m_capacity = 0;
}

bool ByteBuffer::Reset(std::uint32_t size, bool zero) {
    Release();
    if (size == 0)
        return true;
    void *block = zero ? std::calloc(size, 1) : std::malloc(size);
    if (block == nullptr)
        return false;
    m_data = static_cast<char *>(block);
    m_length = size;
    m_capacity = size;
    return true;
}

bool ByteBuffer::Append(const void *bytes, std::uint32_t count) {
    if (count == 0)
        return true;
    if (bytes == nullptr)
        return false;
    if (count > UINT32_MAX - m_length) {
        Release();
        return false;
    }
    const char *source = static_cast<const char *>(bytes);
    const std::uint32_t newLength = m_length + count;
    if (newLength > m_capacity) {
        // The source may lie inside the block that realloc is about to move.
        const std::less<const char *> before;
        const bool inside = m_data != nullptr && !before(source, m_data) && before(source, m_data + m_length);
        const std::size_t sourceOffset = inside ? static_cast<std::size_t>(source - m_data) : 0;
        void *block = std::realloc(m_data, newLength);
        if (block == nullptr) {
            Release();
            return false;
        }
        m_data = static_cast<char *>(block);
        m_capacity = newLength;
        if (inside)
            source = m_data + sourceOffset;
    }
    std::memmove(m_data + m_length, source, count);
    m_length = newLength;
    return true;
}

void ByteBuffer::Discard(std::uint32_t count) noexcept {
    if (count >= m_length) {
        m_length = 0;
    } else if (count > 0) {
        m_length -= count;
        std::memmove(m_data, m_data + count, m_length);
    }
    if (m_capacity <= kKeptCapacity || m_length >= m_capacity / 4)
        return;
    if (m_length == 0) {
        Release();
        return;
    }
    // Shrinking in place; if realloc cannot, the larger block simply stays.
    if (void *block = std::realloc(m_data, m_length)) {
        m_data = static_cast<char *>(block);
        m_capacity = m_length;
    }
}
