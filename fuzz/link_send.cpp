// The input parsing of brenu-link-send, the one program that holds a privilege.
// Input layout: the bytes up to the first 0x01 are split at NUL bytes into its
// arguments (at most eight); of the rest, the first eight bytes are a source and a
// subnet (address and mask) and all of it is the payload.
//
// What must hold: ParseArguments accepts only four well-formed arguments, and what it
// accepts is what the contract allows (a unicast MAC, a unicast IPv4 address, a port
// and an interface index above 0); a destination HostOfSubnet accepts lies in the
// subnet and is neither its network nor its broadcast address (on /30 and wider);
// the packet built from it carries valid IPv4 and UDP checksums and its lengths.
#include "LinkSend.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

bool IsUnicast(uint32_t address)
{
    return (address >> 24) != 0 && (address >> 24) != 127 && (address >> 24) < 224;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const size_t split = input.find('\x01');
    const std::string head = input.substr(0, split);
    const std::string rest = split == std::string::npos ? std::string() : input.substr(split + 1);
    std::vector<std::string> arguments;
    size_t start = 0;
    while (arguments.size() < 8) {
        const size_t end = head.find('\0', start);
        arguments.push_back(head.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    std::vector<const char *> argv;
    for (const std::string &a : arguments)
        argv.push_back(a.c_str());

    linksend::Request request;
    std::string error;
    const int status = linksend::ParseArguments(static_cast<int>(argv.size()), argv.data(), request, error);
    Check(status == linksend::kSent || !error.empty(), "a refusal says why");
    if (status != linksend::kSent)
        return 0;
    Check(argv.size() == 4, "four arguments");
    Check(!(request.mac[0] & 1), "unicast MAC");
    Check(IsUnicast(request.destination), "unicast address");
    Check(request.ifindex > 0 && request.destinationPort > 0, "index and port");
    // The source as the helper would read it from the caller's socket.
    uint32_t words[2] = {0x0a4d0001, 0xffffff00};
    if (rest.size() >= sizeof words)
        std::memcpy(words, rest.data(), sizeof words);
    request.source = words[0];
    request.sourcePort = 40000;
    const uint32_t mask = words[1];
    if (linksend::HostOfSubnet(request.destination, request.source, mask)) {
        Check((request.destination & mask) == (request.source & mask), "inside the subnet");
        Check(request.destination != request.source, "not the interface itself");
        Check(~mask <= 1 || ((request.destination & ~mask) != 0 && (request.destination & ~mask) != ~mask),
              "neither network nor broadcast address");
    }

    const size_t payload = rest.size() < linksend::kMaxPayload ? rest.size() : linksend::kMaxPayload;
    const std::string packet = linksend::BuildPacket(request, rest.data(), payload);
    const auto *p = reinterpret_cast<const uint8_t *>(packet.data());
    Check(packet.size() == 28 + payload, "packet length");
    Check(linksend::Checksum(p, 20) == 0, "IPv4 header checksum");
    const uint32_t pseudo = (request.source >> 16) + (request.source & 0xffff) + (request.destination >> 16) +
                            (request.destination & 0xffff) + 17 + static_cast<uint32_t>(8 + payload);
    Check(linksend::Checksum(p + 20, 8 + payload, pseudo) == 0, "UDP checksum");
    Check(std::memcmp(p + 28, rest.data(), payload) == 0, "payload carried as given");
    return 0;
}
