#pragma once
// The vocabulary shared by the UDP sockets and their users: states, error codes
// with their texts, close operations, cast modes, listener replies, the gather
// buffer of SendBuffers, and the error values the transport reports through errno.
#include <cerrno>
#include <cstdint>

// State of a socket. Every socket starts Stopped and returns there after each stop.
enum class SocketState : int32_t {
    Starting = 0, // Start passed its state test and is setting the socket up
    Started = 1,  // registered for events, may carry traffic
    Stopping = 2, // Stop has taken the decision to stop
    Stopped = 3,
};

// Why the last Start or Stop failed (kept in the socket, see GetLastErrorCode).
enum class SocketError : int32_t {
    Ok = 0,
    IllegalState = 1,
    InvalidParameter = 2,
    SocketCreateFailed = 3,
    SocketBindFailed = 4,
    SocketPrepareFailed = 5,
    SocketListenFailed = 6,
    IocpCreateFailed = 7,
    WorkerThreadCreateFailed = 8,
    DetectorThreadCreateFailed = 9,
    IocpAttachFailed = 10,
    ConnectFailed = 11,
    NetworkError = 12,
    DataProcessFailed = 13,
    SendFailed = 14,
    SslNotReady = 101,
};

// Text of an error code; any value outside the table gives "UNKNOWN ERROR".
inline const char *SocketErrorText(SocketError code)
{
    switch (code) {
    case SocketError::Ok: return "SUCCESS";
    case SocketError::IllegalState: return "Illegal State";
    case SocketError::InvalidParameter: return "Invalid Parameter";
    case SocketError::SocketCreateFailed: return "Create SOCKET Fail";
    case SocketError::SocketBindFailed: return "Bind SOCKET Fail";
    case SocketError::SocketPrepareFailed: return "Prepare SOCKET Fail";
    case SocketError::SocketListenFailed: return "Listen SOCKET Fail";
    case SocketError::IocpCreateFailed: return "Create IOCP Fail";
    case SocketError::WorkerThreadCreateFailed: return "Create Worker Thread Fail";
    case SocketError::DetectorThreadCreateFailed: return "Create Detector Thread Fail";
    case SocketError::IocpAttachFailed: return "Attach SOCKET to IOCP Fail";
    case SocketError::ConnectFailed: return "Connect to Server Fail";
    case SocketError::NetworkError: return "Network Error";
    case SocketError::DataProcessFailed: return "Process Data Error";
    case SocketError::SendFailed: return "Send Data Fail";
    case SocketError::SslNotReady: return "SSL environment not ready";
    }
    return "UNKNOWN ERROR";
}

// The operation during which a socket closed, reported by SocketClosed.
enum class CloseOperation : int32_t {
    Unspecified = 0, // the event wait itself failed
    Connect = 2,     // an asynchronous connect failed (client only)
    Send = 3,
    Receive = 4,     // receiving failed, or the listener aborted a received datagram
    Close = 5,       // peer or platform closed, keep-alive gave up, or the owner stopped
};

enum class CastMode : int32_t { Multicast = 0, Broadcast = 1 };

// Result of every listener notification. Proceed and Pass let the socket go on;
// Abort makes it fail what it is doing.
enum class ListenerReply : int32_t { Proceed = 0, Pass = 1, Abort = 2 };

// One piece of a datagram assembled by SendBuffers. The length is read as a
// signed number: pieces of length 0 or less are skipped.
struct GatherBuffer {
    uint32_t length;
    const uint8_t *data;
};

// The platform's socket handle.
using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;

// Error values the transport leaves in errno, one name per meaning, used
// everywhere instead of bare errno constants.
namespace SysError {
inline constexpr int None = 0;
inline constexpr int InvalidParameter = EINVAL;
inline constexpr int Cancelled = ECANCELED;          // a listener answered Abort without a reason
inline constexpr int IncorrectSize = EMSGSIZE;       // SendBuffers total of 0 or above the limit
inline constexpr int InvalidOperation = EPERM;       // Start/Stop in the wrong state
inline constexpr int InvalidState = ENOTCONN;        // sending before the socket may send
inline constexpr int WouldBlock = EAGAIN;            // not a failure
inline constexpr int ProtocolNotSupported = EPROTONOSUPPORT;
inline constexpr int AddressFamilyNotSupported = EAFNOSUPPORT;
inline constexpr int AddressNotAvailable = EADDRNOTAVAIL;
inline constexpr int ConnectionReset = ECONNRESET;   // the client's keep-alive gave up
inline constexpr int HostNotFound = ENXIO;
inline constexpr int MessageTooLong = EMSGSIZE;      // a datagram larger than the receive buffer
inline constexpr int OutOfMemory = ENOMEM;           // a send buffer could not be allocated

// EAGAIN and EWOULDBLOCK may differ on some systems; both mean "try later".
inline bool IsWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }
} // namespace SysError
