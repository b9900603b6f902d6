#pragma once
// The listener interfaces through which a socket reports to its owner.
//
// Every notification receives the socket and its connection id first and returns a
// ListenerReply. No socket lock is held while a notification runs, so a listener may
// call any socket operation from inside one, Stop included.
#include <cstdint>

#include "transport/SocketTypes.h"

class IUdpCast;
class IUdpClient;

template <class T>
class ISocketListenerT {
public:
    virtual ListenerReply SocketReady(T *sender, uint32_t connectionId) = 0;
    // A datagram was handed to the network; the reply is ignored.
    virtual ListenerReply DatagramSent(T *sender, uint32_t connectionId, const uint8_t *data, int32_t length) = 0;
    // Neither UDP socket fires this one.
    virtual ListenerReply AuxiliaryNotice(T *sender, uint32_t connectionId, int32_t value) = 0;
    // `data` is valid only during the call.
    virtual ListenerReply DatagramReceived(T *sender, uint32_t connectionId, const uint8_t *data,
                                           int32_t length) = 0;
    // Fired by Stop; the reply is ignored.
    virtual ListenerReply SocketClosed(T *sender, uint32_t connectionId, CloseOperation operation,
                                       int32_t errorCode) = 0;
    virtual ~ISocketListenerT() = default;
};

template <class T>
class IClientListenerT : public ISocketListenerT<T> {
public:
    virtual ListenerReply BeforeConnect(T *sender, uint32_t connectionId, SocketHandle socket) = 0;
    virtual ListenerReply SocketConnected(T *sender, uint32_t connectionId) = 0;
};

class IUdpCastListener : public IClientListenerT<IUdpCast> {};
class IUdpClientListener : public IClientListenerT<IUdpClient> {};

// Base for listeners of one socket class: everything but DatagramReceived and
// SocketClosed answers Pass.
template <class Listener, class Socket>
class CPassingListenerT : public Listener {
public:
    ListenerReply SocketReady(Socket *, uint32_t) override { return ListenerReply::Pass; }
    ListenerReply DatagramSent(Socket *, uint32_t, const uint8_t *, int32_t) override { return ListenerReply::Pass; }
    ListenerReply AuxiliaryNotice(Socket *, uint32_t, int32_t) override { return ListenerReply::Pass; }
    ListenerReply BeforeConnect(Socket *, uint32_t, SocketHandle) override { return ListenerReply::Pass; }
    ListenerReply SocketConnected(Socket *, uint32_t) override { return ListenerReply::Pass; }
};

// Base for cast listeners.
class CUdpCastListener : public CPassingListenerT<IUdpCastListener, IUdpCast> {};

// Base for client listeners, the counterpart of CUdpCastListener.
class CUdpClientListener : public CPassingListenerT<IUdpClientListener, IUdpClient> {};
