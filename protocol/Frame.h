#pragma once
// Message frames: every message travels as
//
//   offset 0   8 bytes   magic "KTRW0001"
//   offset 8  16 bytes   body length, decimal ASCII, padded on the left with "0"
//   offset 24  length    body: one JSON text (protocol/Json.h), no terminator
//
// BuildFrame writes a frame. The scanner reads frames out of a reassembly
// buffer that collects the datagrams of one sender: it drops garbage, keeps a
// partial frame until the rest arrives and hands on every body that parses into
// a valid message. Whatever it drops, it drops without a word; the bytes it
// keeps are always the tail of what the buffer held, in order.
#include "kit/ByteBuffer.h"
#include "protocol/Json.h"

#include <cstdint>
#include <string>

inline constexpr char kFrameMagic[] = "KTRW0001";  // sent without the terminating NUL
inline constexpr std::uint32_t kFrameMagicSize = 8;
inline constexpr std::uint32_t kFrameLengthSize = 16;
inline constexpr std::uint32_t kFrameHeaderSize = kFrameMagicSize + kFrameLengthSize;

// The largest body length a receiver waits for: a device answer is about 450
// bytes, and no frame sent in one IPv4 UDP datagram can be longer. A frame
// that declares more is treated like one whose length field is not a positive
// number, so a reassembly buffer holds less than this plus a header after a
// scan.
//
// The bound also caps the work one sender can cause: a body that fails to
// parse costs only its magic, so its own bytes are searched and parsed again,
// and a buffer packed with magics whose bodies all fail late makes a scan
// parse about bound * bound / 25 bytes. At 1 MiB that kept the receiving
// thread busy for minutes per 2 MiB of input; at 64 KiB it is a fraction of a
// second per 128 KiB (bench_frame_scanner, BM_ScanRejectedNestedFrames).
inline constexpr std::uint32_t kMaxFrameBodyLength = 65536;

// The frame that carries `body`.
std::string BuildFrame(const std::string &body);

// Reads the 16-byte length field as C's atoi would (leading white space, an
// optional sign, then digits up to the first other byte or NUL), clamped to the
// range of a 32-bit int.
std::int32_t ReadFrameLength(const char *field);

// What the scanner does after handing a message on.
enum class ScanNext { Continue, Stop };

// One scan of a reassembly buffer. Next() walks over the buffer with an offset
// and the destructor removes everything walked over in one move, so a buffer
// with many frames is not copied once per frame.
class FrameScanner {
public:
    explicit FrameScanner(ByteBuffer &buffer) noexcept : m_buffer(buffer) {}
    ~FrameScanner() { m_buffer.Discard(m_offset); }
    FrameScanner(const FrameScanner &) = delete;
    FrameScanner &operator=(const FrameScanner &) = delete;

    // Skips garbage and bad frames up to the next frame whose body parses into
    // `message` and validates, consumes that frame and returns true. Returns
    // false when the buffer holds no further complete valid frame: what is left
    // then is either fewer than 24 bytes or the start of a frame still arriving.
    bool Next(Vant::CProtocalJson &message);

private:
    ByteBuffer &m_buffer;
    std::uint32_t m_offset = 0;
};

// Scans `buffer`, parsing each body into `message` and calling
// `onMessage(message)` -> ScanNext for every valid one. Returns true when the
// action stopped the scan, false when the buffer ran out of complete valid
// frames. A frame is consumed before its action runs, also if the action throws.
// The action must not touch `buffer` (the scan holds an offset into it).
//
// The search broadcaster continues after each message; the command client stops
// after the first one and reads it from `message`:
//   ScanFrames(buffer, json, [&](Vant::CProtocalJson &m) { Handle(m); return ScanNext::Continue; });
//   return ScanFrames(buffer, answer, [](Vant::CProtocalJson &) { return ScanNext::Stop; });
template <typename Action>
bool ScanFrames(ByteBuffer &buffer, Vant::CProtocalJson &message, Action &&onMessage) {
    FrameScanner scanner(buffer);
    while (scanner.Next(message)) {
        if (onMessage(message) == ScanNext::Stop)
            return true;
    }
    return false;
}
