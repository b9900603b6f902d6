#include "transport/Address.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "transport/SocketTypes.h"

uint16_t SockAddr::Port() const
{
    if (Family() == AF_INET)
        return ntohs(v4.sin_port);
    if (Family() == AF_INET6)
        return ntohs(v6.sin6_port);
    return 0;
}

void SockAddr::Clear() { std::memset(this, 0, sizeof *this); }

bool SockAddr::IsZero() const
{
    static const SockAddr zero{};
    return std::memcmp(this, &zero, sizeof *this) == 0;
}

namespace {

// One "%d" conversion as the pattern "%d.%d.%d.%d%c" reads it (leading blanks and a
// sign allowed), without the undefined behaviour of sscanf on overflow.
bool ReadDecimal(const char *&p, long &value)
{
    char *end = nullptr;
    errno = 0;
    value = std::strtol(p, &end, 10);
    if (end == p)
        return false;
    if (errno == ERANGE)
        value = -1; // out of 0..255 either way
    p = end;
    return true;
}

bool LooksLikeIpv4(const char *text)
{
    const char *p = text;
    for (int i = 0; i < 4; ++i) {
        long value = 0;
        if (!ReadDecimal(p, value) || value < 0 || value > 255)
            return false;
        if (i < 3) {
            if (*p != '.')
                return false;
            ++p;
        }
    }
    return *p == '\0';
}

void StorePort(SockAddr &address, uint16_t port)
{
    if (address.Family() == AF_INET)
        address.v4.sin_port = htons(port);
    else if (address.Family() == AF_INET6)
        address.v6.sin6_port = htons(port);
}

int ResolverErrorToErrno(int code, int systemError)
{
    switch (code) {
    case EAI_SYSTEM: return systemError != 0 ? systemError : SysError::HostNotFound;
    case EAI_MEMORY: return SysError::OutOfMemory;
    default: return SysError::HostNotFound;
    }
}

} // namespace

int GuessAddressFamily(const char *text)
{
    if (text == nullptr || *text == '\0')
        return AF_UNSPEC;
    if (std::strchr(text, ':') != nullptr)
        return AF_INET6;
    if (LooksLikeIpv4(text))
        return AF_INET;
    return AF_UNSPEC;
}

bool ParseAddressLiteral(const char *text, uint16_t port, SockAddr &address)
{
    const sa_family_t family = address.Family();
    if (family != AF_INET && family != AF_INET6) {
        errno = SysError::AddressNotAvailable;
        return false;
    }
    if (text == nullptr) {
        errno = SysError::InvalidParameter;
        return false;
    }
    SockAddr parsed{};
    if (family == AF_INET) {
        // inet_pton takes exactly four decimal parts (no octal or hex forms).
        parsed.v4.sin_family = AF_INET;
        if (inet_pton(AF_INET, text, &parsed.v4.sin_addr) != 1) {
            errno = SysError::InvalidParameter;
            return false;
        }
    } else {
        // getaddrinfo rather than inet_pton, so that a "%scope" suffix is understood.
        addrinfo hints{};
        hints.ai_family = AF_INET6;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_flags = AI_NUMERICHOST;
        addrinfo *result = nullptr;
        if (getaddrinfo(text, nullptr, &hints, &result) != 0 || result == nullptr) {
            errno = SysError::InvalidParameter;
            return false;
        }
        std::memcpy(&parsed.v6, result->ai_addr, sizeof parsed.v6);
        freeaddrinfo(result);
    }
    address = parsed;
    if (port != 0)
        StorePort(address, port);
    return true;
}

bool ResolveAddress(const char *text, uint16_t port, SockAddr &address)
{
    address.Clear();
    address.addr.sa_family = static_cast<sa_family_t>(GuessAddressFamily(text));
    if (address.Family() == AF_INET || address.Family() == AF_INET6)
        return ParseAddressLiteral(text, port, address);

    address.Clear();
    if (text == nullptr || *text == '\0') {
        errno = SysError::HostNotFound;
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_ALL;
    addrinfo *result = nullptr;
    errno = 0;
    const int code = getaddrinfo(text, nullptr, &hints, &result);
    if (code != 0) {
        errno = ResolverErrorToErrno(code, errno);
        return false;
    }
    bool found = false;
    for (addrinfo *entry = result; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
            std::memcpy(&address.v4, entry->ai_addr, sizeof address.v4);
        } else if (entry->ai_family == AF_INET6 && entry->ai_addrlen >= sizeof(sockaddr_in6)) {
            std::memcpy(&address.v6, entry->ai_addr, sizeof address.v6);
        } else {
            continue;
        }
        StorePort(address, port);
        found = true;
        break;
    }
    freeaddrinfo(result);
    if (!found) {
        address.Clear();
        errno = SysError::HostNotFound;
    }
    return found;
}

bool AddressToText(const SockAddr &address, char *buffer, int32_t &length, uint16_t &port)
{
    port = address.Port();
    const sa_family_t family = address.Family();
    const void *bytes = nullptr;
    int32_t needed = 0;
    if (family == AF_INET) {
        bytes = &address.v4.sin_addr;
        needed = INET_ADDRSTRLEN;
    } else if (family == AF_INET6) {
        bytes = &address.v6.sin6_addr;
        needed = INET6_ADDRSTRLEN;
    } else {
        errno = SysError::AddressFamilyNotSupported;
        return false;
    }
    if (buffer == nullptr || length <= 0 || inet_ntop(family, bytes, buffer, static_cast<socklen_t>(length)) == nullptr) {
        length = needed;
        errno = SysError::InvalidParameter;
        return false;
    }
    length = static_cast<int32_t>(std::strlen(buffer)) + 1;
    return true;
}
