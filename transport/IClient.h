#pragma once
// The operations both UDP sockets offer, in a fixed virtual order.
//
// Texts are UTF-8. Lengths of text buffers count bytes including the terminating NUL.
// Failures return false (or 0) and leave the reason in errno; Start and Stop also
// keep a SocketError that GetLastErrorCode reports.
#include <cstdint>

#include "transport/SocketTypes.h"

class IClient {
public:
    // Starts the socket; the meaning of the arguments depends on the socket class.
    virtual bool Start(const char *remoteAddress, uint16_t port, int32_t connect, const char *bindAddress) = 0;
    // Stops the socket and waits for its worker (unless called on the worker itself).
    virtual bool Stop() = 0;
    // Queues a copy of data[offset .. offset + length) as one datagram.
    virtual bool Send(const uint8_t *data, int32_t length, int32_t offset) = 0;
    // Queues the concatenation of the buffers as one datagram.
    virtual bool SendBuffers(const GatherBuffer buffers[], int32_t count) = 0;
    virtual bool PauseReceiving(bool pause) = 0;
    // An opaque value kept for the owner, across stops and starts.
    virtual void SetUserData(void *value) = 0;
    virtual void *GetUserData() const = 0;
    virtual bool IsEncrypted() const = 0;
    // True while the state is Starting or Started.
    virtual bool IsActive() const = 0;
    virtual SocketState GetState() const = 0;
    virtual SocketError GetLastErrorCode() const = 0;
    virtual const char *GetLastErrorText() const = 0;
    virtual uint32_t GetConnectionId() const = 0;
    virtual bool GetLocalAddress(char *address, int32_t &length, uint16_t &port) const = 0;
    virtual bool GetRemoteHost(char *address, int32_t &length, uint16_t &port) const = 0;
    // Bytes queued and not yet sent; the result is IsActive().
    virtual bool GetPendingBytes(int32_t &count) const = 0;
    virtual bool IsReceivingPaused(bool &paused) const = 0;
    virtual void SetPoolSize(int32_t size) = 0;
    virtual void SetPoolHold(int32_t hold) = 0;
    virtual int32_t GetPoolSize() const = 0;
    virtual int32_t GetPoolHold() const = 0;
    // Implementations stop the socket first.
    virtual ~IClient() = default;
};
