#include "protocol/Frame.h"

#include <algorithm>
#include <climits>
#include <cstring>
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

bool FrameBuffer::Empty() const {
    if (!bytes.Empty())
        return false;
    for (const FrameCandidate &other : others)
        if (!other.bytes.Empty())
            return false;
    return true;
}

std::uint32_t FrameBuffer::Capacity() const {
    std::uint32_t total = bytes.Capacity();
    for (const FrameCandidate &other : others)
        total += other.bytes.Capacity();
    return total;
}

void FrameBuffer::DropVariants(std::uint32_t variantsOf, const ByteBuffer *keep) noexcept {
    if (&bytes != keep && origin == variantsOf) {
        bytes.Reset(0, false);
        failedBodies = 0;
    }
    for (FrameCandidate &other : others) {
        if (&other.bytes != keep && other.origin == variantsOf) {
            other.bytes.Reset(0, false);
            other.failedBodies = 0;
        }
    }
}

void FrameBuffer::Prune() {
    others.erase(std::remove_if(others.begin(), others.end(),
                                [](const FrameCandidate &other) { return other.bytes.Empty(); }),
                 others.end());
    // The newest start first (origins count up, modulo 2^32, to nextOrigin), and
    // within one start the variants that left out the fewest datagrams. Stable, so
    // that candidates that tie keep their order.
    const std::uint32_t next = nextOrigin;
    std::stable_sort(others.begin(), others.end(), [next](const FrameCandidate &a, const FrameCandidate &b) {
        if (a.origin != b.origin)
            return next - a.origin < next - b.origin;
        return a.skipped < b.skipped;
    });
    // A start keeps at most kMaxVariantsPerStart variants, no two alike (the same
    // stray left out of two branches makes the same bytes twice).
    std::size_t kept = 0;
    std::size_t ofStart = 0;
    for (std::size_t i = 0; i < others.size() && kept + 1 < kMaxFrameCandidates; ++i) {
        FrameCandidate &other = others[i];
        if (kept == 0 || others[kept - 1].origin != other.origin)
            ofStart = 0;
        bool twin = false;
        for (std::size_t j = kept; j-- > kept - ofStart && !twin;) {
            const ByteBuffer &earlier = others[j].bytes;
            twin = earlier.Length() == other.bytes.Length() &&
                   std::memcmp(earlier.Data(), other.bytes.Data(), other.bytes.Length()) == 0;
        }
        if (twin || ofStart >= kMaxVariantsPerStart)
            continue;
        if (i != kept)
            others[kept] = std::move(other);
        ++kept;
        ++ofStart;
    }
    others.erase(others.begin() + static_cast<std::ptrdiff_t>(kept), others.end());
}

bool AddDatagram(FrameBuffer &buffer, const char *data, std::uint32_t length, std::uint32_t now,
                 std::uint32_t maxBytes) {
    const auto fits = [maxBytes, length](const ByteBuffer &bytes) {
        return length <= maxBytes - std::min(maxBytes, bytes.Length());
    };
    // What the last scan left is within the bound before it branches again.
    buffer.Prune();
    buffer.others.erase(std::remove_if(buffer.others.begin(), buffer.others.end(),
                                       [now](const FrameCandidate &other) {
                                           return now - other.firstTick > kPendingFrameTimeoutMs;
                                       }),
                        buffer.others.end());
    if (!buffer.bytes.Empty() && now - buffer.firstTick > kPendingFrameTimeoutMs) {
        buffer.bytes.Reset(0, false);
        buffer.failedBodies = 0;
    }
    const bool usable = data && length > 0;
    const bool header = StartsWithFrameHeader(data, length);
    // A copy of `from` and the datagram, or nothing when it cannot be had.
    const auto branch = [&](const ByteBuffer &from, std::uint32_t failed, std::uint32_t first, std::uint32_t origin,
                            std::uint32_t skipped) {
        FrameCandidate copy;
        copy.failedBodies = failed;
        copy.firstTick = first;
        copy.origin = origin;
        copy.skipped = skipped;
        if (!copy.bytes.Append(from.Data(), from.Length()))
            return false;
        buffer.others.push_back(std::move(copy));
        return true;
    };
    if (header && !buffer.bytes.Empty()) {
        // The sender starts afresh; what it replaces waits aside in case the new
        // header was forged.
        FrameCandidate replaced;
        replaced.bytes = std::move(buffer.bytes);
        replaced.failedBodies = buffer.failedBodies;
        replaced.firstTick = buffer.firstTick;
        replaced.origin = buffer.origin;
        buffer.others.push_back(std::move(replaced));
        buffer.bytes.Reset(0, false);
        buffer.failedBodies = 0;
    } else if (!header && usable) {
        // The datagram may continue any candidate, or be a stray: each candidate
        // goes on both ways.
        // Only a candidate that holds a frame's header waits for the rest of a
        // frame; bytes too few to tell just take what follows.
        const std::size_t before = buffer.others.size();
        for (std::size_t i = 0; i < before; ++i) {
            if (!fits(buffer.others[i].bytes))
                continue;
            if (!StartsWithFrameHeader(buffer.others[i].bytes.Data(), buffer.others[i].bytes.Length())) {
                if (!buffer.others[i].bytes.Append(data, length))
                    buffer.others[i].failedBodies = 0;
                continue;
            }
            const FrameCandidate &other = buffer.others[i];
            if (branch(other.bytes, other.failedBodies, other.firstTick, other.origin, other.skipped) &&
                !buffer.others.back().bytes.Append(data, length))
                buffer.others.pop_back();
            ++buffer.others[i].skipped;
        }
        if (StartsWithFrameHeader(buffer.bytes.Data(), buffer.bytes.Length()))
            branch(buffer.bytes, buffer.failedBodies, buffer.firstTick, buffer.origin, 1);
    }
    if (buffer.bytes.Empty()) {
        buffer.firstTick = now;
        buffer.origin = buffer.nextOrigin++;
    }
    buffer.lastTick = now;
    if (!usable || !fits(buffer.bytes))
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
        m_frameStart = m_offset;
        m_offset += kFrameHeaderSize + body;
        return true;
    }
}
