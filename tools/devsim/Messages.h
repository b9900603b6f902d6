#pragma once
// The device's side of the message catalogue: reading requests out of the bytes a
// sender delivered, writing answer bodies, and shaping an answer into datagrams
// (with the faults that change how it travels).
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Device.h"
#include "Faults.h"
#include "kit/ByteBuffer.h"

namespace devsim {

inline constexpr const char *kSearchApi = "/brenu/model/searchbrenu.htm";
inline constexpr const char *kUpdateApi = "/brenu/model/updatecfg.htm";
inline constexpr const char *kRebootApi = "/brenu/model/reboot.htm";

// One request as a device reads it.
struct Request {
    std::string api;      // as sent
    std::string apiLower; // letters A-Z turned into lower case
    bool hasData = false; // "params"."data" was present
    std::string serialNo; // data[0]."serialNo"
    // data[0] members an update may carry, those present only, as text.
    std::map<std::string, std::string> texts;
    bool hasDhcp = false;
    bool dhcp = false; // ValueIsTrue of data[0]."dhcp"
};

// Reassembles the bytes of one sender and reads the requests out of them with the
// project's frame scanner. A body that is not a JSON object is dropped; a search
// request carries no "params", so this reader does not insist on "params"."data"
// (the command handling does). Bytes waiting for the rest of a frame are capped:
// a sender that declares more than kMaxPending bytes loses its buffer.
class RequestReader {
public:
    static constexpr uint32_t kMaxPending = 256 * 1024;

    // Appends the datagram and returns the requests completed by it, in order.
    std::vector<Request> Push(const char *data, size_t size);

    uint32_t Pending() const { return m_buffer.Length(); }

private:
    ByteBuffer m_buffer;
};

std::string LowerAscii(std::string text);

// "/brenu/model/searchbrenu.htm" -> "/Brenu/Model/SearchBrenu.htm" style: the first
// letter of every path element and of "brenu" inside it in upper case.
std::string OtherCase(const std::string &api);

// Search answer body for the device (sessionId "0", or `sessionId`).
std::string SearchAnswerBody(const DeviceSettings &device, const FaultSet &faults, const std::string &sessionId);

// How a command answer writes "result".
enum class ResultForm { True, False, Number, String };

std::string CommandAnswerBody(const std::string &api, const std::string &serialNo, ResultForm result,
                              const FaultSet &faults, const std::string &sessionId);

// Frames the answer and cuts it into datagrams as the faults of `scope` say:
// "double" puts a second frame (`second`, when not empty) behind the first in the
// same datagram; "garbage" puts kGarbage in front; "oversize" pads the datagram with
// '.' bytes to `oversizeBytes`; "split" cuts the result in the middle into two
// datagrams.
std::vector<std::string> ShapeAnswer(const std::string &body, const std::string &second, const FaultSet &faults,
                                     Scope scope, int oversizeBytes);

// Bytes that are not a frame (including a partial magic), put in front of a frame.
inline const std::string kGarbage = std::string("\x01\x02junk KTRW\xff\x00", 12);

} // namespace devsim
