#pragma once
// The interface of the broadcast/multicast socket (CUdpCast).
#include <cstdint>

#include "transport/IClient.h"

class IUdpCast : public IClient {
public:
    using IClient::Start;

    // Configuration: stored as given and validated by Start. While the socket is
    // not Stopped the setters change nothing (the running socket keeps the values
    // it started with).
    virtual void SetMaxDatagramSize(int32_t size) = 0;
    virtual int32_t GetMaxDatagramSize() const = 0;
    virtual void SetReuseAddress(int32_t reuse) = 0;
    virtual int32_t GetReuseAddress() const = 0;
    virtual void SetCastMode(CastMode mode) = 0;
    virtual CastMode GetCastMode() const = 0;
    virtual void SetMulticastTtl(int32_t ttl) = 0;
    virtual int32_t GetMulticastTtl() const = 0;
    virtual void SetMulticastLoop(int32_t loop) = 0;
    virtual int32_t GetMulticastLoop() const = 0;
    // The sender of the datagram being delivered (call it from DatagramReceived).
    virtual bool GetSenderAddress(char *address, int32_t &length, uint16_t &port) const = 0;
    // Port form: bound to localPort; in Broadcast mode datagrams go to destinationPort.
    virtual bool Start(uint16_t destinationPort, uint16_t localPort, int32_t connect, const char *bindAddress) = 0;
    // Datagrams longer than maxDatagramSize received and dropped since construction
    // (the socket goes on receiving after each one). Any thread may ask.
    virtual uint64_t GetOversizeDropped() const = 0;
};
