#pragma once
// One device as a search answer describes it, and the rules for reading it.
#include <QByteArray>
#include <QString>

// The most devices one listing holds: the window's table and the command-line
// listing alike. Every distinct serial number that answers becomes a row, and any
// host on the LAN can forge answers with new serial numbers as fast as it can send;
// an unbounded table would grow by a few KiB per forged device for as long as the
// flood lasts. No broadcast domain holds anywhere near this many devices of the
// family (real sites list tens to a few thousand), and the table stays fast at four
// times its 5000-row benchmark, so the bound costs real users nothing. Answers for
// devices already listed keep updating their rows when the bound is reached.
constexpr int kMaxDeviceRows = 20000;

// Where an answer was actually sent from: the datagram's source address (dotted
// IPv4 text) and port. Not part of what the device announces: any host can announce
// any address, but the source is the one the answer came from.
struct AnswerOrigin {
    QString address; // empty: not known (an answer read from text)
    int port = 0;
};

struct DeviceRecord {
    QString serialNo;
    QString address;
    int port = 0;
    bool dhcp = false;
    QString subnetMask;
    QString gateway;
    QString dns;
    QString mac;
    QString description;
    // Beside the announced members: where this answer came from.
    AnswerOrigin source;
};

// True when the answer came from a known source other than the address it announces
// (a relay, a NAT, or another host speaking for the device). Commands still go to the
// announced address; listings mark it.
bool AnnouncedElsewhere(const DeviceRecord &record);

namespace Vant {
class CProtocalJson;
}

// Reads the record from element 0 of "params"."data" of a message. Texts are the
// members' text values as UTF-8; the port is an integer member, or the leading
// decimal number of a string member, else 0; the DHCP flag is the member's truth
// value. False when the message has no "params"."data". The message is only read
// (several threads may read one message at once) and not referred to afterwards.
bool ReadDeviceRecord(const Vant::CProtocalJson &message, DeviceRecord &record);
// The same from a JSON text, parsed first; false when it does not parse.
bool ReadDeviceRecord(const QByteArray &json, DeviceRecord &record);

// A record is listed only when every field except the description is present and
// the port is above 0.
bool IsCompleteRecord(const DeviceRecord &record);
