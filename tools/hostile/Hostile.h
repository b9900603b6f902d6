#pragma once
// brenu-hostile: what one hostile host on the LAN sends at a searcher, at a steady
// rate, for benchmarks and tests. Like the simulator it runs only in the device
// namespace of the sandbox and sends only to sandbox addresses from an address of
// its own namespace.
//
// Modes:
//   late-fail  the worst a sender can make a frame scanner do: a stream packed with
//              frame magics 25 bytes apart, each declaring a body of the largest
//              length a receiver waits for (kMaxFrameBodyLength) whose length field
//              ends in a backslash, followed by a quote. Each body is a JSON string
//              that never closes (every quote in it is escaped), so it parses up to
//              its last byte and fails there. The stream is cut into datagrams of
//              `size` bytes, sent one after the other from one address, so that a
//              receiver that joins them sees the stream unbroken.
//   oversize   datagrams of `size` bytes (more than the 1472 a receiver takes).
//   forged-header
//              `stack` frame headers, each declaring the largest body a receiver
//              waits for, in one datagram sent with a forged source: in turn from
//              every --spoof IP:PORT (the addresses and answer ports of devices), to
//              the targets in turn. Sent through a raw socket (the sandbox's user
//              namespace allows one); every forged source must be a sandbox address.
//              With --pattern (letters h and s) each source sends, in turn, a
//              header datagram for every h and a stray datagram (kStraySize bytes
//              that do not begin with a magic) for every s: "hhs" gives two
//              forged starts and one stray per round of the sources.
//   colliding-answers
//              valid search answers from `from` itself (no forgery), each a device of
//              its own whose serial number is one of 16,384 that share one Qt 5
//              string hash under every seed (14 chained 8-character blocks, each
//              one of two that collide), in turn: what fills a plain hash table's
//              one bucket.
#include <cstdint>
#include <string>
#include <vector>

#include "Net.h"

namespace hostile {

enum class Mode { LateFail, Oversize, ForgedHeader, CollidingAnswers };

struct Options {
    Mode mode = Mode::LateFail;
    uint32_t from = 0;                     // --from: an address of this namespace
    std::vector<devsim::Endpoint> targets; // --to IP:PORT (repeatable; round robin)
    double rate = 0;                       // --rate: datagrams per second
    size_t size = 0;                       // --size: bytes per datagram (default per mode)
    double seconds = 0;                    // --seconds: 0 = until SIGTERM/SIGINT
    std::string log;                       // --log FILE: "ready" and "summary" lines
    bool exitWithParent = false;           // --exit-with-parent
    std::vector<devsim::Endpoint> spoofs;  // --spoof IP:PORT (forged-header; repeatable)
    size_t stack = 1;                      // --stack: headers per forged datagram
    std::string pattern = "h";             // --pattern: forged-header's datagrams per source, in turn
};

// The size of a stray datagram of the forged-header pattern.
inline constexpr size_t kStraySize = 200;

// Parses the arguments (without the program name). False with `error`.
bool ParseOptions(const std::vector<std::string> &args, Options &options, std::string &error);
const char *UsageText();

// "" when the options may run in this namespace, else the reason to refuse: the
// namespace must be a sandbox, `from` one of its addresses and every target a
// sandbox address (the simulator's rules, devsim/Net.h).
std::string CheckSafety(const Options &options);

// The repeating unit of the late-fail stream (25 bytes).
std::string LateFailUnit();
// The `index`-th datagram of the late-fail stream, `size` bytes long.
std::string LateFailDatagram(uint64_t index, size_t size);

// The `index`-th colliding answer, framed, announcing `from` as its address.
std::string CollidingAnswer(uint64_t index, uint32_t from);

// `stack` frame headers declaring kMaxFrameBodyLength, back to back.
std::string ForgedHeaders(size_t stack);
// An IPv4 packet carrying `payload` in a UDP datagram from `from` to `to` (UDP
// checksum 0: none; the kernel fills in the IP header's checksum and id).
std::string SpoofedUdpPacket(const devsim::Endpoint &from, const devsim::Endpoint &to, const std::string &payload);

} // namespace hostile
