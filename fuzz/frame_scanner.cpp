// Feeds arbitrary bytes as successive datagrams into one reassembly buffer
// (AddDatagram) and scans it after each, as a receiver does. Input layout: one flag
// byte (bit 0: stop after every message and scan again, as the command client does;
// else continue, as the search broadcaster does; bit 1: every datagram comes after
// the pending bytes have expired), then chunks, each a 2-byte little-endian size
// (taken modulo 4096) followed by that many bytes.
//
// After every datagram the scanner must agree with a plain model that follows
// the frame rules literally (rebuilding a std::string after every step and
// parsing a NUL-terminated copy of each body), failed-body budget, expiry from the
// first datagram and the fresh start at a datagram that begins with a frame header
// included: the
// same messages in the same order, and the same bytes kept. Besides that: the kept bytes are a tail of
// everything received, the buffer stays below the length bound plus a header,
// and every message handed on validates again from its own text.
#include "protocol/Frame.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void Check(bool condition, const char *what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

long long ModelLength(const std::string &field) {
    long long value = std::strtoll(field.c_str(), nullptr, 10);  // stops at a NUL, like atoi
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : value;
}

// One pass over the model's buffer; `failed` counts the bodies that failed to
// parse since the buffer was last empty.
void ModelPass(std::string &buffer, std::uint32_t &failed, std::vector<std::string> &messages) {
    for (;;) {
        if (buffer.size() < kFrameHeaderSize)
            return;
        const std::size_t magic = buffer.find(std::string(kFrameMagic, kFrameMagicSize));
        if (magic == std::string::npos) {
            buffer.clear();
            return;
        }
        if (magic > 0) {
            buffer.erase(0, magic);
            continue;
        }
        const long long length = ModelLength(buffer.substr(kFrameMagicSize, kFrameLengthSize));
        if (length <= 0 || length > kMaxFrameBodyLength) {
            buffer.erase(0, kFrameMagicSize);
            continue;
        }
        if (buffer.size() < kFrameHeaderSize + static_cast<std::size_t>(length))
            return;
        Vant::CProtocalJson message;
        if (!message.Parse(buffer.substr(kFrameHeaderSize, static_cast<std::size_t>(length)))) {
            if (++failed == kMaxFailedBodies) {
                buffer.clear();
                return;
            }
            buffer.erase(0, kFrameMagicSize);
            continue;
        }
        messages.push_back(message.ToString());
        buffer.erase(0, kFrameHeaderSize + static_cast<std::size_t>(length));
    }
}

// Whether a datagram begins with a magic and a length field from 1 to the bound.
bool ModelFrameHeader(const std::string &datagram) {
    if (datagram.size() < kFrameHeaderSize || datagram.compare(0, kFrameMagicSize, kFrameMagic) != 0)
        return false;
    const long long length = ModelLength(datagram.substr(kFrameMagicSize, kFrameLengthSize));
    return length > 0 && length <= kMaxFrameBodyLength;
}

void ModelScan(std::string &buffer, std::uint32_t &failed, std::vector<std::string> &messages) {
    ModelPass(buffer, failed, messages);
    if (buffer.empty())
        failed = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const bool stopEachTime = (data[0] & 1) != 0;
    const std::uint32_t step = (data[0] & 2) != 0 ? kPendingFrameTimeoutMs + 1 : 1;
    std::uint32_t now = 0;
    std::size_t at = 1;

    FrameBuffer buffer;
    std::string received;  // everything appended so far
    std::string model;     // the model's buffer
    std::uint32_t modelFailed = 0;
    std::uint32_t modelFirst = 0;  // when the model's pending bytes began
    std::string displaced;         // what the model's last restart by a header set aside
    std::uint32_t displacedFailed = 0;
    std::uint32_t displacedFirst = 0;
    std::vector<std::string> scanned;
    std::vector<std::string> expected;
    Vant::CProtocalJson message;

    while (at < size) {
        std::size_t chunk = data[at];
        if (at + 1 < size)
            chunk |= static_cast<std::size_t>(data[at + 1]) << 8;
        chunk %= 4096;
        at += 2;
        if (at > size)
            at = size;
        if (chunk > size - at)
            chunk = size - at;
        const char *bytes = reinterpret_cast<const char *>(data + at);
        at += chunk;

        now += step;
        const bool added = AddDatagram(buffer, bytes, static_cast<std::uint32_t>(chunk), now);
        Check(added || chunk == 0, "a datagram is added");
        received.append(bytes, chunk);
        if (!displaced.empty() && now - displacedFirst > kPendingFrameTimeoutMs) {
            displaced.clear();
            displacedFailed = 0;
        }
        if (!model.empty() && now - modelFirst > kPendingFrameTimeoutMs) {
            model.clear();
            modelFailed = 0;
        }
        const bool header = ModelFrameHeader(std::string(bytes, chunk));
        if (header && !model.empty()) {
            displaced = model;
            displacedFailed = modelFailed;
            displacedFirst = modelFirst;
            model.clear();
            modelFailed = 0;
        } else if (!header && !displaced.empty()) {
            displaced.append(bytes, chunk);
        }
        if (model.empty())
            modelFirst = now;
        model.append(bytes, chunk);

        const auto take = [&](Vant::CProtocalJson &m) {
            scanned.push_back(m.ToString());
            Vant::CProtocalJson again;
            Check(again.Parse(scanned.back()), "a message handed on validates from its own text");
            return stopEachTime ? ScanNext::Stop : ScanNext::Continue;
        };
        if (stopEachTime) {
            std::size_t before = scanned.size();
            while (ScanFrames(buffer, message, take)) {
                Check(scanned.size() == before + 1, "a stopping scan hands on exactly one message");
                before = scanned.size();
            }
        } else {
            Check(!ScanFrames(buffer, message, take), "a continuing scan never reports a stop");
        }
        std::size_t handedBefore = expected.size();
        ModelScan(model, modelFailed, expected);
        if (expected.size() > handedBefore)
            modelFirst = now;  // what follows a frame handed on came with this datagram
        if (!displaced.empty()) {
            handedBefore = expected.size();
            ModelScan(displaced, displacedFailed, expected);
            if (expected.size() > handedBefore)
                displacedFirst = now;
        }

        const std::string kept(buffer.bytes.Data() ? buffer.bytes.Data() : "", buffer.bytes.Length());
        Check(kept.size() <= received.size() && received.compare(received.size() - kept.size(), kept.size(), kept) == 0,
              "the kept bytes are a tail of the input");
        Check(buffer.bytes.Length() < kMaxFrameSize, "the buffer stays below the bound");
        Check(buffer.failedBodies == modelFailed && buffer.failedBodies < kMaxFailedBodies,
              "the failed-body count follows the model and stays below the budget");
        Check(kept == model, "the scanner keeps what the model keeps");
        const std::string aside(buffer.displaced.Data() ? buffer.displaced.Data() : "", buffer.displaced.Length());
        Check(aside == displaced && aside.size() < 2 * kMaxFrameSize, "the scanner sets aside what the model does");
        Check(scanned == expected, "the scanner hands on what the model hands on");
    }
    return 0;
}
