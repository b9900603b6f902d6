#include "device/DeviceRecord.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device/DeviceText.h"
#include "protocol/Json.h"

namespace {

// The leading decimal number of a text, after optional white space and sign; 0
// when there is none. Numbers beyond the int range stop at INT_MIN or INT_MAX
// instead of overflowing.
int LeadingNumber(const char *text)
{
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        return value > INT_MAX ? INT_MIN : -static_cast<int>(value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

int ReadPort(const rapidjson::Value &value)
{
    if (value.IsInt())
        return value.GetInt();
    if (value.IsString())
        return LeadingNumber(value.GetString());
    return 0;
}

QString &TextOf(DeviceRecord &record, TextMember member)
{
    return const_cast<QString &>(TextOf(static_cast<const DeviceRecord &>(record), member));
}

void ReadText(const rapidjson::Value &value, TextMember member, DeviceRecord &record)
{
    // A string member (nearly every one) is read in place, as ValueToString would give
    // it: up to its first NUL.
    std::string number;
    const char *bytes;
    std::size_t size;
    if (value.IsString()) {
        bytes = value.GetString();
        size = strnlen(bytes, value.GetStringLength());
    } else {
        number = Vant::ValueToString(value);
        bytes = number.c_str();
        size = number.size();
    }
    size = TextCut(bytes, size, kMaxDeviceTextBytes);
    QString &text = TextOf(record, member);
    const int index = static_cast<int>(member);
    bool utf8 = true;
    text = ShownText(bytes, size, &utf8);
    // Valid UTF-8 is its shown text's UTF-8 exactly, except for a leading byte-order
    // mark, which QString drops.
    if (utf8 && !(size >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0))
        return;
    record.sent.member[index] = QByteArray(bytes, static_cast<int>(size));
    if (!utf8)
        record.sent.notUtf8 |= static_cast<unsigned char>(1u << index);
}

} // namespace

bool ReadDeviceRecord(const Vant::CProtocalJson &message, DeviceRecord &record)
{
    if (!message.HasData())
        return false;
    record.sent = SentBytes();
    ReadText(message.GetDataValue(0, "serialNo"), TextMember::SerialNo, record);
    ReadText(message.GetDataValue(0, "address"), TextMember::Address, record);
    record.port = ReadPort(message.GetDataValue(0, "port"));
    record.dhcp = Vant::ValueIsTrue(message.GetDataValue(0, "dhcp"));
    ReadText(message.GetDataValue(0, "subnetMask"), TextMember::SubnetMask, record);
    ReadText(message.GetDataValue(0, "gateway"), TextMember::Gateway, record);
    ReadText(message.GetDataValue(0, "dns"), TextMember::Dns, record);
    ReadText(message.GetDataValue(0, "mac"), TextMember::Mac, record);
    ReadText(message.GetDataValue(0, "description"), TextMember::Description, record);
    return true;
}

bool ReadDeviceRecord(const QByteArray &json, DeviceRecord &record)
{
    Vant::CProtocalJson message;
    return message.Parse(json.constData()) && ReadDeviceRecord(message, record);
}

bool IsCompleteRecord(const DeviceRecord &record)
{
    return !record.serialNo.isEmpty() && !record.address.isEmpty() && record.port > 0 &&
           !record.subnetMask.isEmpty() && !record.gateway.isEmpty() && !record.dns.isEmpty() &&
           !record.mac.isEmpty();
}

const QString &TextOf(const DeviceRecord &record, TextMember member)
{
    switch (member) {
    case TextMember::SerialNo:
        return record.serialNo;
    case TextMember::Address:
        return record.address;
    case TextMember::SubnetMask:
        return record.subnetMask;
    case TextMember::Gateway:
        return record.gateway;
    case TextMember::Dns:
        return record.dns;
    case TextMember::Mac:
        return record.mac;
    case TextMember::Description:
        break;
    }
    return record.description;
}

const char *TextMemberName(TextMember member)
{
    static const char *const names[kTextMemberCount] = {"serialNo", "address", "subnetMask", "gateway",
                                                        "dns",      "mac",     "description"};
    return names[static_cast<int>(member)];
}

QByteArray DeviceBytes(const DeviceRecord &record, TextMember member)
{
    const QByteArray &kept = record.sent.member[static_cast<int>(member)];
    const QString &text = TextOf(record, member);
    if (!kept.isNull() && ShownText(kept) == text)
        return kept;
    return text.toUtf8();
}

QByteArray BytesToSend(const DeviceRecord &record, TextMember member, const QString &value)
{
    return value == TextOf(record, member) ? DeviceBytes(record, member) : value.toUtf8();
}

bool SentAsUtf8(const DeviceRecord &record, TextMember member)
{
    return !(record.sent.notUtf8 & (1u << static_cast<int>(member)));
}

QStringList NotUtf8Members(const DeviceRecord &record)
{
    QStringList names;
    for (int i = 0; i < kTextMemberCount; ++i)
        if (!SentAsUtf8(record, static_cast<TextMember>(i)))
            names << QString::fromLatin1(TextMemberName(static_cast<TextMember>(i)));
    return names;
}

bool AnnouncedElsewhere(const DeviceRecord &record)
{
    return !record.source.address.isEmpty() && record.source.address != record.address;
}
