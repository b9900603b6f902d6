#include "protocol/Frame.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string_view>

std::string BuildFrame(const std::string &body) {
    std::string length = std::to_string(body.size());
    if (length.size() < kFrameLengthSize)
        length.insert(0, kFrameLengthSize - length.size(), '0');
    length.resize(kFrameLengthSize);

    std::string frame;
    frame.reserve(kFrameHeaderSize + body.size());
    frame.append(kFrameMagic, kFrameMagicSize);
    frame += length;
    frame += body;
    return frame;
}

std::int32_t ReadFrameLength(const char *field) {
    const auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    std::uint32_t i = 0;
    while (i < kFrameLengthSize && isSpace(field[i]))
        ++i;
    bool negative = false;
    if (i < kFrameLengthSize && (field[i] == '+' || field[i] == '-')) {
        negative = field[i] == '-';
        ++i;
    }
    // At most 16 digits: fits 64 bits without overflow.
    std::int64_t value = 0;
    for (; i < kFrameLengthSize && field[i] >= '0' && field[i] <= '9'; ++i)
        value = value * 10 + (field[i] - '0');
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

bool StartsWithFrameHeader(const char *data, std::uint32_t length) {
    if (!data || length < kFrameHeaderSize ||
        std::string_view(data, kFrameMagicSize) != std::string_view(kFrameMagic, kFrameMagicSize))
        return false;
    const std::int32_t body = ReadFrameLength(data + kFrameMagicSize);
    return body > 0 && static_cast<std::uint32_t>(body) <= kMaxFrameBodyLength;
}

bool AddDatagram(FrameBuffer &buffer, const char *data, std::uint32_t length, std::uint32_t now,
                 std::uint32_t maxBytes) {
    const auto drop = [](ByteBuffer &bytes, std::uint32_t &failed) {
        bytes.Reset(0, false);
        failed = 0;
    };
    if (!buffer.displaced.Empty() && now - buffer.displacedFirstTick > kPendingFrameTimeoutMs)
        drop(buffer.displaced, buffer.displacedFailedBodies);
    if (!buffer.bytes.Empty() && now - buffer.firstTick > kPendingFrameTimeoutMs)
        drop(buffer.bytes, buffer.failedBodies);
    const bool header = StartsWithFrameHeader(data, length);
    if (header && !buffer.bytes.Empty()) {
        // The sender starts afresh; what it replaces waits aside in case the new
        // header was forged.
        std::swap(buffer.displaced, buffer.bytes);
        buffer.displacedFailedBodies = buffer.failedBodies;
        buffer.displacedFirstTick = buffer.firstTick;
        drop(buffer.bytes, buffer.failedBodies);
    } else if (!header && !buffer.displaced.Empty() && data && length > 0) {
        if (length > maxBytes - std::min(maxBytes, buffer.displaced.Length()) ||
            !buffer.displaced.Append(data, length))
            drop(buffer.displaced, buffer.displacedFailedBodies);
    }
    if (buffer.bytes.Empty())
        buffer.firstTick = now;
    buffer.lastTick = now;
    if (!data || length == 0 || length > maxBytes - std::min(maxBytes, buffer.bytes.Length()))
        return false;
    if (buffer.bytes.Append(data, length))
        return true;
    buffer.failedBodies = 0;
    return false;
}

bool FrameScanner::Next(Vant::CProtocalJson &message) {
    const std::string_view magic(kFrameMagic, kFrameMagicSize);
    for (;;) {
        const char *start = m_buffer.Data() + m_offset;
        const std::uint32_t available = m_buffer.Length() - m_offset;
        if (available < kFrameHeaderSize)
            return false;  // too short to tell: wait for more

        const std::size_t found = std::string_view(start, available).find(magic);
        if (found == std::string_view::npos) {
            // No frame starts here, not even a magic cut at the end.
            m_offset = m_buffer.Length();
            return false;
        }
        if (found > 0) {
            m_offset += static_cast<std::uint32_t>(found);  // garbage before the magic
            continue;
        }

        const std::int32_t length = ReadFrameLength(start + kFrameMagicSize);
        if (length <= 0 || static_cast<std::uint32_t>(length) > kMaxFrameBodyLength) {
            m_offset += kFrameMagicSize;  // not a frame: look behind its magic
            continue;
        }
        const std::uint32_t body = static_cast<std::uint32_t>(length);
        if (available - kFrameHeaderSize < body)
            return false;  // the rest of the frame is still on its way

        if (!message.Parse(start + kFrameHeaderSize, body)) {
            if (++m_failedBodies >= kMaxFailedBodies) {
                // The budget is spent: nothing this sender sent since its buffer
                // was last empty is searched again.
                m_offset = m_buffer.Length();
                return false;
            }
            // The length field and body are scanned again for a further magic.
            m_offset += kFrameMagicSize;
            continue;
        }
        m_offset += kFrameHeaderSize + body;
        return true;
    }
}
