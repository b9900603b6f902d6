#pragma once
// The interface of the connected UDP socket with keep-alive (CUdpClient).
#include <cstdint>

#include "transport/IClient.h"

class IUdpClient : public IClient {
public:
    // Configuration: stored as given and validated by Start. While the socket is
    // not Stopped the setters change nothing.
    virtual void SetMaxDatagramSize(int32_t size) = 0;
    virtual int32_t GetMaxDatagramSize() const = 0;
    // Keep-alive datagrams sent without an empty reply before the socket gives up; 0 = off.
    virtual void SetDetectAttempts(int32_t attempts) = 0;
    // Idle interval in seconds; 0 = off.
    virtual void SetDetectInterval(int32_t seconds) = 0;
    virtual int32_t GetDetectAttempts() const = 0;
    virtual int32_t GetDetectInterval() const = 0;
    // Datagrams longer than maxDatagramSize received and dropped since construction
    // (the socket goes on receiving after each one). Any thread may ask.
    virtual uint64_t GetOversizeDropped() const = 0;
};
