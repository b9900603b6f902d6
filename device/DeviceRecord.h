#pragma once
// One device as a search answer describes it, and the rules for reading it.
#include <QByteArray>
#include <QString>
#include <QStringList>

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

// The longest text member of an answer that is kept, in bytes; a longer one is cut
// there (between two characters, device/DeviceText.h: TextCut) as it is read. A device
// answers a search in one datagram of at most 1472 bytes, of which the frame header,
// the envelope and the other members take at least 280 (a one-letter serial number,
// the shortest addresses and MAC, an empty description), so no member of such an
// answer can be longer than this: every text a device sends in one datagram is kept
// whole, whatever a device or another tool let its owner write (descriptions in the
// field are tens of bytes). Only a frame split over several
// datagrams, which any host can send, carries longer texts: up to 64 KiB each, which
// would make every listed device, queued answer and restored entry cost up to
// hundreds of KiB instead of a few. A cut text is shown and sent back as cut.
constexpr int kMaxDeviceTextBytes = 1200;

// The text members of a record, in the order they are read.
enum class TextMember { SerialNo, Address, SubnetMask, Gateway, Dns, Mac, Description };
constexpr int kTextMemberCount = 7;

// The bytes a device sent for its text members where they are not the UTF-8 of the
// shown text (not UTF-8, or UTF-8 opening with a byte-order mark): what goes back to
// the device wherever the operator did not change the text. Nothing is kept for the
// texts of nearly every answer, whose bytes their shown text gives back exactly.
struct SentBytes {
    QByteArray member[kTextMemberCount]; // null: the shown text's UTF-8
    unsigned char notUtf8 = 0;           // bit (1 << member): not UTF-8, shown as GB18030
};

struct DeviceRecord {
    // The texts as shown (device/DeviceText.h); `sent` keeps the device's bytes.
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
    SentBytes sent;
};

// A text member as shown.
const QString &TextOf(const DeviceRecord &record, TextMember member);
// The member's name in answers and requests ("serialNo", "description", ...).
const char *TextMemberName(TextMember member);
// The bytes the device sent for the member (exactly, within kMaxDeviceTextBytes). A
// shown text changed since it was read (no longer what its kept bytes show) goes as
// UTF-8.
QByteArray DeviceBytes(const DeviceRecord &record, TextMember member);
// What a request carries for the member when the operator's value is `value`: the
// device's own bytes while `value` is the text shown, else `value` as UTF-8.
QByteArray BytesToSend(const DeviceRecord &record, TextMember member, const QString &value);
// False when the device's bytes for the member were not UTF-8 (shown decoded as
// GB18030, or with replacement marks).
bool SentAsUtf8(const DeviceRecord &record, TextMember member);
// The names of the members whose bytes were not UTF-8, in reading order.
QStringList NotUtf8Members(const DeviceRecord &record);

// True when the answer came from a known source other than the address it announces
// (a relay, a NAT, or another host speaking for the device). Commands still go to the
// announced address; listings mark it.
bool AnnouncedElsewhere(const DeviceRecord &record);

namespace Vant {
class CProtocalJson;
}

// Reads the record from element 0 of "params"."data" of a message. Texts are the
// members' text values (up to a NUL, cut at kMaxDeviceTextBytes), shown as
// ShownText shows them and kept as bytes in `sent`; the port is an integer member, or the leading
// decimal number of a string member, else 0; the DHCP flag is the member's truth
// value. False when the message has no "params"."data". The message is only read
// (several threads may read one message at once) and not referred to afterwards.
bool ReadDeviceRecord(const Vant::CProtocalJson &message, DeviceRecord &record);
// The same from a JSON text, parsed first; false when it does not parse.
bool ReadDeviceRecord(const QByteArray &json, DeviceRecord &record);

// A record is listed only when every field except the description is present and
// the port is above 0.
bool IsCompleteRecord(const DeviceRecord &record);
