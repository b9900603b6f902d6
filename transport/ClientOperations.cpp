#include "transport/ClientOperations.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "transport/Address.h"

int CheckSendArguments(const uint8_t *data, int32_t length, int32_t maxDatagramSize)
{
    if (data == nullptr || length <= 0 || length > maxDatagramSize)
        return SysError::InvalidParameter;
    return 0;
}

int GatherTotal(const GatherBuffer *buffers, int32_t count, int32_t maxDatagramSize, int32_t &total)
{
    total = 0;
    if (buffers == nullptr || count <= 0)
        return SysError::InvalidParameter;
    int64_t sum = 0;
    for (int32_t i = 0; i < count; ++i) {
        const auto length = static_cast<int32_t>(buffers[i].length);
        if (length <= 0)
            continue;
        sum += length;
        if (sum > maxDatagramSize)
            return SysError::IncorrectSize;
    }
    if (sum == 0)
        return SysError::IncorrectSize;
    total = static_cast<int32_t>(sum);
    return 0;
}

bool CopyRemoteHost(const std::string &text, uint16_t storedPort, char *buffer, int32_t &length, uint16_t &port)
{
    const auto n = static_cast<int32_t>(text.size());
    if (n == 0)
        return false;
    if (buffer == nullptr || length < n + 1) {
        length = n + 1;
        return false;
    }
    std::memcpy(buffer, text.c_str(), static_cast<size_t>(n) + 1);
    port = storedPort;
    length = n + 1;
    return true;
}

bool LocalAddressOf(int fd, char *buffer, int32_t &length, uint16_t &port)
{
    SockAddr address{};
    socklen_t size = sizeof address;
    if (fd < 0) {
        errno = EBADF;
        return false;
    }
    if (getsockname(fd, &address.addr, &size) != 0)
        return false;
    return AddressToText(address, buffer, length, port);
}
