#include "Hostile.h"

#include <cstdio>
#include <cstdlib>

#include "protocol/Frame.h"

namespace hostile {

namespace {

// A datagram of the late-fail stream fills what one IPv4 UDP datagram carries on
// Ethernet, the most a receiver takes.
constexpr size_t kLateFailSize = 1472;
constexpr size_t kOversizeSize = 2000;
// Beyond this a datagram does not fit IPv4 UDP.
constexpr size_t kLargestSize = 65507;
// Headers in one forged datagram: it stays within one Ethernet frame.
constexpr size_t kMaxStack = 60;

bool ParseEndpoint(const std::string &text, devsim::Endpoint &e)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || !devsim::ParseIpv4(text.substr(0, colon), e.address))
        return false;
    char *end = nullptr;
    const long port = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port <= 0 || port > 65535)
        return false;
    e.port = static_cast<uint16_t>(port);
    return true;
}

bool ParseNumber(const std::string &text, double &value)
{
    char *end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && value >= 0;
}

} // namespace

bool ParseOptions(const std::vector<std::string> &args, Options &o, std::string &error)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &name = args[i];
        if (name == "--exit-with-parent") {
            o.exitWithParent = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            error = name + " needs a value";
            return false;
        }
        const std::string &value = args[++i];
        double number = 0;
        devsim::Endpoint target;
        if (name == "--mode" && (value == "late-fail" || value == "oversize" || value == "forged-header" ||
                                 value == "colliding-answers")) {
            o.mode = value == "late-fail"       ? Mode::LateFail
                     : value == "oversize"      ? Mode::Oversize
                     : value == "forged-header" ? Mode::ForgedHeader
                                                : Mode::CollidingAnswers;
        } else if (name == "--spoof" && ParseEndpoint(value, target)) {
            o.spoofs.push_back(target);
        } else if (name == "--pattern" && !value.empty() && value.size() <= 16 &&
                   value.find_first_not_of("hs") == std::string::npos) {
            o.pattern = value;
        } else if (name == "--stack" && ParseNumber(value, number) && number >= 1 && number <= kMaxStack) {
            o.stack = static_cast<size_t>(number);
        } else if (name == "--from" && devsim::ParseIpv4(value, o.from)) {
        } else if (name == "--to" && ParseEndpoint(value, target)) {
            o.targets.push_back(target);
        } else if (name == "--rate" && ParseNumber(value, number) && number > 0) {
            o.rate = number;
        } else if (name == "--size" && ParseNumber(value, number) && number >= 1 && number <= kLargestSize) {
            o.size = static_cast<size_t>(number);
        } else if (name == "--seconds" && ParseNumber(value, number)) {
            o.seconds = number;
        } else if (name == "--log") {
            o.log = value;
        } else {
            error = "bad option or value: " + name + " " + value;
            return false;
        }
    }
    if (o.from == 0 || o.targets.empty() || o.rate <= 0) {
        error = "--from, --to and --rate are required";
        return false;
    }
    if (o.mode == Mode::ForgedHeader) {
        if (o.spoofs.empty()) {
            error = "forged-header needs --spoof";
            return false;
        }
        o.size = o.stack * kFrameHeaderSize;
    }
    if (o.mode == Mode::CollidingAnswers)
        o.size = CollidingAnswer(0, o.from).size();
    if (o.size == 0)
        o.size = o.mode == Mode::LateFail ? kLateFailSize : kOversizeSize;
    return true;
}

std::string CollidingAnswer(uint64_t index, uint32_t from)
{
    std::string serial;
    for (int block = 0; block < 14; ++block)
        serial += (index >> block) & 1 ? "F9IT5YIR" : "0QNI285Q";
    char mac[32];
    std::snprintf(mac, sizeof mac, "02:43:00:%02x:%02x:%02x", unsigned(index >> 16 & 0xff), unsigned(index >> 8 & 0xff),
                  unsigned(index & 0xff));
    const std::string body =
        "{\"version\":0,\"kind\":0,\"sessionId\":\"0\",\"api\":\"/brenu/model/searchbrenu.htm\",\"params\":{"
        "\"data\":[{\"serialNo\":\"" + serial + "\",\"address\":\"" + devsim::Ipv4Text(from) +
        "\",\"port\":8000,\"dhcp\":false,\"subnetMask\":\"255.255.255.0\",\"gateway\":\"10.77.0.254\","
        "\"dns\":\"10.77.0.253\",\"mac\":\"" + mac + "\",\"description\":\"flood\"}]}}";
    return BuildFrame(body);
}

const char *UsageText()
{
    return "usage: brenu-hostile --mode late-fail|oversize|forged-header|colliding-answers --from IP --to IP:PORT\n"
           "                     [--to ...]\n"
           "                     --rate DATAGRAMS_PER_S [--size BYTES] [--seconds S] [--log FILE]\n"
           "                     [--spoof IP:PORT ... [--stack N] [--pattern hs...]] [--exit-with-parent]\n"
           "Runs only in the device namespace of the network sandbox.\n";
}

std::string CheckSafety(const Options &o)
{
    std::string refusal = devsim::CheckSandboxNamespace();
    if (!refusal.empty())
        return refusal;
    if (!devsim::IsSandboxAddress(o.from) || o.from == devsim::kBroadcastAddress || !devsim::IsLocalAddress(o.from))
        return "--from " + devsim::Ipv4Text(o.from) + " is no sandbox address of this namespace";
    for (const devsim::Endpoint &t : o.targets) {
        if (!devsim::IsSandboxAddress(t.address))
            return "--to " + devsim::EndpointText(t) + " is outside the sandbox";
    }
    for (const devsim::Endpoint &f : o.spoofs) {
        if (!devsim::IsSandboxAddress(f.address) || f.address == devsim::kBroadcastAddress)
            return "--spoof " + devsim::EndpointText(f) + " is no sandbox address";
    }
    return "";
}

std::string LateFailUnit()
{
    std::string field = std::to_string(kMaxFrameBodyLength);
    field.insert(0, kFrameLengthSize - 1 - field.size(), '0');
    // The length field's reader stops at the backslash; inside the body's JSON string
    // it escapes the quote that follows, so the string never closes.
    return std::string(kFrameMagic, kFrameMagicSize) + field + "\\\"";
}

std::string LateFailDatagram(uint64_t index, size_t size)
{
    static const std::string unit = LateFailUnit();
    std::string datagram;
    datagram.reserve(size + unit.size());
    const uint64_t start = index * size;
    datagram.assign(unit, static_cast<size_t>(start % unit.size()), std::string::npos);
    while (datagram.size() < size)
        datagram += unit;
    datagram.resize(size);
    return datagram;
}

std::string ForgedHeaders(size_t stack)
{
    std::string field = std::to_string(kMaxFrameBodyLength);
    field.insert(0, kFrameLengthSize - field.size(), '0');
    const std::string header = std::string(kFrameMagic, kFrameMagicSize) + field;
    std::string headers;
    for (size_t i = 0; i < stack; ++i)
        headers += header;
    return headers;
}

std::string SpoofedUdpPacket(const devsim::Endpoint &from, const devsim::Endpoint &to, const std::string &payload)
{
    const size_t udpLength = 8 + payload.size();
    const size_t total = 20 + udpLength;
    std::string packet(total, '\0');
    const auto put16 = [&](size_t at, size_t value) {
        packet[at] = static_cast<char>((value >> 8) & 0xff);
        packet[at + 1] = static_cast<char>(value & 0xff);
    };
    const auto put32 = [&](size_t at, uint32_t value) {
        put16(at, value >> 16);
        put16(at + 2, value & 0xffff);
    };
    packet[0] = 0x45; // IPv4, 20-byte header
    put16(2, total);
    packet[8] = 64; // TTL
    packet[9] = 17; // UDP
    put32(12, from.address);
    put32(16, to.address);
    put16(20, from.port);
    put16(22, to.port);
    put16(24, udpLength);
    packet.replace(28, payload.size(), payload);
    return packet;
}

} // namespace hostile
