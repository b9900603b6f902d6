#pragma once
// Pieces of the IClient operations that both sockets implement the same way.
#include <cstdint>
#include <string>

#include "transport/SocketTypes.h"

// Send's argument test: 0, or EINVAL for a null pointer, a length <= 0 or a length
// above maxDatagramSize.
int CheckSendArguments(const uint8_t *data, int32_t length, int32_t maxDatagramSize);

// SendBuffers' size of the datagram: the sum of the pieces of positive (signed)
// length, up to the first piece that would pass maxDatagramSize. Returns 0 with
// `total` set, EINVAL for no buffers, or EMSGSIZE for a total of 0 or above the limit.
int GatherTotal(const GatherBuffer *buffers, int32_t count, int32_t maxDatagramSize, int32_t &total);

// GetRemoteHost: false when nothing is stored; when `length` is below the text
// length + 1 it becomes that size and the result is false; otherwise the text with
// its terminator is copied, `port` and `length` are set and the result is true.
bool CopyRemoteHost(const std::string &text, uint16_t storedPort, char *buffer, int32_t &length, uint16_t &port);

// GetLocalAddress: the bound address of the socket as text.
bool LocalAddressOf(int fd, char *buffer, int32_t &length, uint16_t &port);
