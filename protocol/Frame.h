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
//
// Contract on what a sender can make a receiver hold and do:
//  - After a scan a buffer holds less than kMaxFrameSize bytes (a header plus
//    the body bound).
//  - A body that fails to parse costs only its magic, so its own bytes are
//    searched again, but a FrameBuffer lets at most kMaxFailedBodies bodies fail
//    between two moments at which it is empty; the body that reaches the budget
//    drops everything the buffer holds. Every failed body lies within bytes
//    received since the buffer was last empty, so the parse work spent on
//    failures is at most kMaxFailedBodies times the bytes received: linear,
//    whatever the sender packs into them. The rest of a scan (the magic search,
//    the length fields, the bodies that parse, the final move of what is kept)
//    is linear in the bytes it walks over and the bytes it keeps.
//  - Genuine traffic never meets the budget: frames split over datagrams, several
//    frames in one datagram and garbage before a magic are scanned exactly as
//    without it.
//  - A sender cannot make a buffer hold back what arrives later (AddDatagram):
//    an incomplete frame is dropped kPendingFrameTimeoutMs after its FIRST
//    datagram, however many datagrams follow it, and a datagram that begins with
//    a magic and a plausible header (a length from 1 to kMaxFrameBodyLength)
//    starts afresh. Anyone can forge a datagram from a device's address and port,
//    so no datagram is trusted to end what came before it: a fresh start keeps
//    what it replaced as another candidate, and a datagram that does not begin
//    with a header continues every candidate while each candidate also goes on
//    without it. A forged header or a stray datagram in front of or between the
//    parts of a genuine split frame therefore leaves one candidate that holds
//    exactly the genuine parts, and the frame completes there. Once a candidate
//    completes the frame it began with, its variants are dropped. At most
//    kMaxFrameCandidates candidates per sender outlive a scan (the newest starts
//    first, each with at most kMaxVariantsPerStart variants, the fewest
//    datagrams left out first), so the bytes held stay below
//    kMaxFrameCandidates frames of the largest size and the work per datagram at
//    most twice kMaxFrameCandidates appends and scans of it. The parse work on
//    failed bodies is then at most kMaxFailedBodies times that.
#include "kit/ByteBuffer.h"
#include "protocol/Json.h"

#include <cstdint>
#include <string>
#include <vector>

inline constexpr char kFrameMagic[] = "KTRW0001";  // sent without the terminating NUL
inline constexpr std::uint32_t kFrameMagicSize = 8;
inline constexpr std::uint32_t kFrameLengthSize = 16;
inline constexpr std::uint32_t kFrameHeaderSize = kFrameMagicSize + kFrameLengthSize;

// The most one IPv4 UDP datagram can carry: 65535 bytes of IP packet less the
// 20-byte IP header and the 8-byte UDP header.
inline constexpr std::uint32_t kMaxUdpPayload = 65535 - 20 - 8;

// The largest body length a receiver waits for: a whole frame that fits in the
// largest IPv4 UDP datagram. A device answer is about 450 bytes and travels in
// one 1472-byte datagram; a device sending a long text may split its frame over
// several datagrams, and no frame any sender can put into one datagram is
// refused. A frame that declares more is treated like one whose length field is
// not a positive number, so a reassembly buffer holds less than kMaxFrameSize
// after a scan.
inline constexpr std::uint32_t kMaxFrameBodyLength = kMaxUdpPayload - kFrameHeaderSize;
inline constexpr std::uint32_t kMaxFrameSize = kFrameHeaderSize + kMaxFrameBodyLength;

// How many bodies may fail to parse between two moments at which a buffer is
// empty; the body that reaches this number drops the whole buffer. A genuine
// sender's datagrams carry whole frames, so its buffer is empty after each of
// them and meets at most one or two bad frames in between (a device that
// answers without a "data" member, a frame whose body holds another). A sender
// that packs magics whose bodies fail late pays for them: the parse work on
// failed bodies stays below this number times the bytes it sent
// (bench_frame_scanner, BM_ScanHostileDatagrams against BM_ScanGenuineDatagrams).
inline constexpr std::uint32_t kMaxFailedBodies = 8;

// How long an incomplete frame may take from its first datagram to its last
// before its bytes are dropped; counted from the first, so that datagrams
// trickling in cannot keep it open. A device that splits a frame sends the parts
// back to back, so they arrive within milliseconds (tens of milliseconds through
// a slow switch); one second is far above that, and well below the 5 s between two searches, so bytes
// left behind by a broken or forged frame are gone before the next round, and the
// command client's 10 s wait sees an answer that follows such bytes in time.
inline constexpr std::uint32_t kPendingFrameTimeoutMs = 1000;

// How many candidate frames one sender may have pending after a scan. A genuine
// device sends the parts of a split frame back to back, so within its few
// milliseconds only a forger's datagrams can come between them; each forged
// start adds a candidate and each stray datagram doubles the candidates that
// hold a frame's header (with it and without it). The newest starts are kept
// first: whatever came in front of a genuine frame's first part is older than
// it and goes first. Eight holds a genuine frame through two forged starts and a
// stray datagram between its halves (or a stray, a start and a stray) with room
// to spare, while what a sender can make a receiver hold stays below eight
// frames of the largest size (under 512 KiB) and each datagram is appended to
// and scanned in at most eight buffers (twice that transiently, before the scan
// prunes the branches it made).
inline constexpr std::uint32_t kMaxFrameCandidates = 8;

// How many variants of one start (with and without the datagrams that followed
// it) are kept: all subsets of two doubtful datagrams between the parts of a
// split frame. More would let one start's variants crowd out other starts.
inline constexpr std::uint32_t kMaxVariantsPerStart = 4;

// The frame that carries `body`.
std::string BuildFrame(const std::string &body);

// Reads the 16-byte length field as C's atoi would (leading white space, an
// optional sign, then digits up to the first other byte or NUL), clamped to the
// range of a 32-bit int.
std::int32_t ReadFrameLength(const char *field);

// One candidate frame of a sender besides the newest (FrameBuffer::others).
struct FrameCandidate {
    ByteBuffer bytes;
    std::uint32_t failedBodies = 0;
    std::uint32_t firstTick = 0;
    // The start it grew from: the candidates of one start (with and without some
    // datagram) share it, and all go once one of them completes that start's frame.
    std::uint32_t origin = 0;
    // Datagrams that came after its start and were left out of it.
    std::uint32_t skipped = 0;
};

// The reassembly buffer of one sender: its bytes and what the scanner keeps
// about them between scans.
struct FrameBuffer {
    // The newest candidate: the last start and every datagram since.
    ByteBuffer bytes;
    // Bodies that failed to parse since `bytes` was last empty.
    std::uint32_t failedBodies = 0;
    // The millisecond tick of the datagram that began the bytes pending: set when a
    // datagram goes into an empty buffer, and when a scan hands on a frame (what it
    // keeps then came with the last datagram).
    std::uint32_t firstTick = 0;
    // The millisecond tick of the last datagram added (AddDatagram).
    std::uint32_t lastTick = 0;
    std::uint32_t origin = 0;
    // The origin the next start gets.
    std::uint32_t nextOrigin = 1;
    // The other candidates: earlier starts that a later header replaced, and the
    // variants without a datagram that may have been a stray. Each is dropped
    // kPendingFrameTimeoutMs after its own first datagram.
    std::vector<FrameCandidate> others;
    bool Empty() const;
    std::uint32_t Capacity() const;
    // Drops every candidate of `origin` but `keep` (when its start's frame completed).
    void DropVariants(std::uint32_t origin, const ByteBuffer *keep) noexcept;
    // Drops the empty candidates and keeps at most kMaxFrameCandidates in all.
    void Prune();
};

// True when `data` begins with the magic and a length field from 1 to
// kMaxFrameBodyLength: the start of a frame as a sender begins one.
bool StartsWithFrameHeader(const char *data, std::uint32_t length);

// Adds one datagram of the buffer's sender, received at millisecond tick `now`.
// Candidates are dropped first when their first datagram came more than
// kPendingFrameTimeoutMs ago. When this datagram begins with a frame header
// (StartsWithFrameHeader: the sender starts afresh, its pending frame was broken
// or forged) the newest candidate joins the others and the datagram begins a new
// one. Otherwise every candidate goes on both with the datagram and without it.
// A datagram that would make a candidate longer than `maxBytes` is not added to
// it. False when the datagram did not go into the newest candidate (it is then
// empty when the store failed).
bool AddDatagram(FrameBuffer &buffer, const char *data, std::uint32_t length, std::uint32_t now,
                 std::uint32_t maxBytes = UINT32_MAX);

// What the scanner does after handing a message on.
enum class ScanNext { Continue, Stop };

// One scan of a reassembly buffer. Next() walks over the buffer with an offset
// and the destructor removes everything walked over in one move, so a buffer
// with many frames is not copied once per frame.
class FrameScanner {
public:
    FrameScanner(ByteBuffer &buffer, std::uint32_t &failedBodies) noexcept
        : m_buffer(buffer), m_failedBodies(failedBodies) {}
    ~FrameScanner() {
        m_buffer.Discard(m_offset);
        if (m_buffer.Empty())
            m_failedBodies = 0;
    }
    FrameScanner(const FrameScanner &) = delete;
    FrameScanner &operator=(const FrameScanner &) = delete;

    // Skips garbage and bad frames up to the next frame whose body parses into
    // `message` and validates, consumes that frame and returns true. Returns
    // false when the buffer holds no further complete valid frame: what is left
    // then is either fewer than 24 bytes or the start of a frame still arriving
    // (or nothing, when the failed-body budget ran out).
    bool Next(Vant::CProtocalJson &message);
    // Where the frame the last Next() handed on began, and how much this scan
    // has walked over so far.
    std::uint32_t FrameStart() const { return m_frameStart; }
    std::uint32_t Consumed() const { return m_offset; }

private:
    ByteBuffer &m_buffer;
    std::uint32_t &m_failedBodies;
    std::uint32_t m_offset = 0;
    std::uint32_t m_frameStart = 0;
};

// Scans one candidate of `buffer` (ScanFrames below).
template <typename Action>
bool ScanCandidate(FrameBuffer &buffer, ByteBuffer &bytes, std::uint32_t &failedBodies, std::uint32_t &firstTick,
                   std::uint32_t &origin, Vant::CProtocalJson &message, Action &onMessage) {
    FrameScanner scanner(bytes, failedBodies);
    while (scanner.Next(message)) {
        // What follows a frame handed on came with the last datagram.
        firstTick = buffer.lastTick;
        // The frame its start began is complete: the variants of that start (some
        // datagram left out, or one too many) are not needed any longer. What
        // the candidate holds after it is a start of its own.
        if (scanner.FrameStart() == 0 && origin != 0)
            buffer.DropVariants(origin, &bytes);
        origin = 0;
        if (onMessage(message) == ScanNext::Stop) {
            origin = buffer.nextOrigin++;
            return true;
        }
    }
    if (origin == 0 || scanner.Consumed() > 0)
        origin = buffer.nextOrigin++;
    return false;
}

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
bool ScanFrames(FrameBuffer &buffer, Vant::CProtocalJson &message, Action &&onMessage) {
    if (ScanCandidate(buffer, buffer.bytes, buffer.failedBodies, buffer.firstTick, buffer.origin, message, onMessage))
        return true;
    // DropVariants only empties candidates, so the vector stays as it is here.
    for (FrameCandidate &other : buffer.others) {
        if (!other.bytes.Empty() &&
            ScanCandidate(buffer, other.bytes, other.failedBodies, other.firstTick, other.origin, message, onMessage))
            return true;
    }
    buffer.Prune();
    return false;
}

// The same for a bare ByteBuffer: the failed-body budget then holds within this
// one scan only, so the work is linear per scan but not across scans. For peers
// the caller trusts (the device simulator reading the tool's requests); whatever
// listens to the network keeps a FrameBuffer per sender.
template <typename Action>
bool ScanFrames(ByteBuffer &buffer, Vant::CProtocalJson &message, Action &&onMessage) {
    std::uint32_t failedBodies = 0;
    FrameScanner scanner(buffer, failedBodies);
    while (scanner.Next(message)) {
        if (onMessage(message) == ScanNext::Stop)
            return true;
    }
    return false;
}
