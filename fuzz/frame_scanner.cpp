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
// first datagram, the fresh start at a datagram that begins with a frame header and
// the candidates with and without each other datagram included: the same messages
// in the same order, and the same bytes kept in every candidate. Besides that: the kept bytes are a tail of
// everything received, the buffer stays below the length bound plus a header,
// and every message handed on validates again from its own text.
#include "protocol/Frame.h"

#include <algorithm>
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

// Whether a datagram begins with a magic and a length field from 1 to the bound.
bool ModelFrameHeader(const std::string &datagram) {
    if (datagram.size() < kFrameHeaderSize || datagram.compare(0, kFrameMagicSize, kFrameMagic) != 0)
        return false;
    const long long length = ModelLength(datagram.substr(kFrameMagicSize, kFrameLengthSize));
    return length > 0 && length <= kMaxFrameBodyLength;
}

// One candidate of the model: its bytes, failed bodies, first tick, start and the
// datagrams left out of it.
struct ModelCandidate {
    std::string bytes;
    std::uint32_t failed = 0;
    std::uint32_t first = 0;
    std::uint32_t origin = 0;
    std::uint32_t skipped = 0;
};

struct Model {
    ModelCandidate main;
    std::vector<ModelCandidate> others;
    std::uint32_t next = 1;
    std::uint32_t last = 0;
};

void ModelDropVariants(Model &model, std::uint32_t origin, const ModelCandidate *keep) {
    if (&model.main != keep && model.main.origin == origin) {
        model.main.bytes.clear();
        model.main.failed = 0;
    }
    for (ModelCandidate &other : model.others)
        if (&other != keep && other.origin == origin) {
            other.bytes.clear();
            other.failed = 0;
        }
}

// One candidate scanned to its end, following the frame rules step by step; `failed`
// counts the bodies that failed to parse since the candidate was last empty.
void ModelScanCandidate(Model &model, ModelCandidate &candidate, std::vector<std::string> &messages) {
    std::string &buffer = candidate.bytes;
    std::size_t consumed = 0;
    const auto erase = [&](std::size_t count) {
        buffer.erase(0, count);
        consumed += count;
    };
    for (;;) {
        if (buffer.size() < kFrameHeaderSize)
            break;
        const std::size_t magic = buffer.find(std::string(kFrameMagic, kFrameMagicSize));
        if (magic == std::string::npos) {
            erase(buffer.size());
            break;
        }
        if (magic > 0) {
            erase(magic);
            continue;
        }
        const long long length = ModelLength(buffer.substr(kFrameMagicSize, kFrameLengthSize));
        if (length <= 0 || length > kMaxFrameBodyLength) {
            erase(kFrameMagicSize);
            continue;
        }
        if (buffer.size() < kFrameHeaderSize + static_cast<std::size_t>(length))
            break;
        Vant::CProtocalJson message;
        if (!message.Parse(buffer.substr(kFrameHeaderSize, static_cast<std::size_t>(length)))) {
            if (++candidate.failed == kMaxFailedBodies) {
                erase(buffer.size());
                break;
            }
            erase(kFrameMagicSize);
            continue;
        }
        candidate.first = model.last;
        if (consumed == 0 && candidate.origin != 0)
            ModelDropVariants(model, candidate.origin, &candidate);
        candidate.origin = 0;
        messages.push_back(message.ToString());
        erase(kFrameHeaderSize + static_cast<std::size_t>(length));
    }
    if (candidate.origin == 0 || consumed > 0)
        candidate.origin = model.next++;
    if (buffer.empty())
        candidate.failed = 0;
}

void ModelPrune(Model &model) {
    std::vector<ModelCandidate> live;
    for (ModelCandidate &other : model.others)
        if (!other.bytes.empty())
            live.push_back(other);
    const std::uint32_t next = model.next;
    std::stable_sort(live.begin(), live.end(), [next](const ModelCandidate &a, const ModelCandidate &b) {
        return a.origin != b.origin ? next - a.origin < next - b.origin : a.skipped < b.skipped;
    });
    std::vector<ModelCandidate> kept;
    for (const ModelCandidate &candidate : live) {
        if (kept.size() + 1 >= kMaxFrameCandidates)
            break;
        std::size_t sameStart = 0;
        bool twin = false;
        for (const ModelCandidate &earlier : kept) {
            if (earlier.origin != candidate.origin)
                continue;
            ++sameStart;
            twin = twin || earlier.bytes == candidate.bytes;
        }
        if (!twin && sameStart < kMaxVariantsPerStart)
            kept.push_back(candidate);
    }
    model.others = kept;
}

void ModelAdd(Model &model, const std::string &datagram, std::uint32_t now) {
    ModelPrune(model);
    std::vector<ModelCandidate> live;
    for (ModelCandidate &other : model.others)
        if (now - other.first <= kPendingFrameTimeoutMs)
            live.push_back(other);
    model.others = live;
    if (!model.main.bytes.empty() && now - model.main.first > kPendingFrameTimeoutMs) {
        model.main.bytes.clear();
        model.main.failed = 0;
    }
    const bool header = ModelFrameHeader(datagram);
    if (header && !model.main.bytes.empty()) {
        model.others.push_back(model.main);
        model.main.bytes.clear();
        model.main.failed = 0;
    } else if (!header && !datagram.empty()) {
        const std::size_t before = model.others.size();
        for (std::size_t i = 0; i < before; ++i) {
            if (!ModelFrameHeader(model.others[i].bytes)) {
                model.others[i].bytes += datagram;
                continue;
            }
            ModelCandidate with = model.others[i];
            with.bytes += datagram;
            model.others.push_back(with);
            ++model.others[i].skipped;
        }
        if (ModelFrameHeader(model.main.bytes)) {
            ModelCandidate without = model.main;
            without.skipped = 1;
            model.others.push_back(without);
        }
    }
    if (model.main.bytes.empty()) {
        model.main.first = now;
        model.main.origin = model.next++;
    }
    model.last = now;
    model.main.bytes += datagram;
}

void ModelScanAll(Model &model, std::vector<std::string> &messages) {
    ModelScanCandidate(model, model.main, messages);
    for (std::size_t i = 0; i < model.others.size(); ++i)
        if (!model.others[i].bytes.empty())
            ModelScanCandidate(model, model.others[i], messages);
    ModelPrune(model);
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
    Model model;
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
        ModelAdd(model, std::string(bytes, chunk), now);

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
        ModelScanAll(model, expected);

        const std::string kept(buffer.bytes.Data() ? buffer.bytes.Data() : "", buffer.bytes.Length());
        Check(kept.size() <= received.size() && received.compare(received.size() - kept.size(), kept.size(), kept) == 0,
              "the kept bytes are a tail of the input");
        Check(buffer.bytes.Length() < kMaxFrameSize, "the buffer stays below the bound");
        Check(buffer.failedBodies == model.main.failed && buffer.failedBodies < kMaxFailedBodies,
              "the failed-body count follows the model and stays below the budget");
        Check(kept == model.main.bytes, "the scanner keeps what the model keeps");
        Check(buffer.others.size() == model.others.size() && buffer.others.size() < kMaxFrameCandidates,
              "the scanner keeps as many candidates as the model, within the bound");
        for (std::size_t i = 0; i < buffer.others.size() && i < model.others.size(); ++i) {
            const ByteBuffer &other = buffer.others[i].bytes;
            Check(std::string(other.Data() ? other.Data() : "", other.Length()) == model.others[i].bytes &&
                      other.Length() < kMaxFrameSize,
                  "every other candidate holds what the model's does, below the bound");
        }
        Check(scanned == expected, "the scanner hands on what the model hands on");
    }
    return 0;
}
