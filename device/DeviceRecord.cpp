#include "device/DeviceRecord.h"

#include <climits>
#include <cstdlib>

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

QString ReadText(const rapidjson::Value &value)
{
    // A string member (nearly every one) is read in place, as ValueToString would give
    // it: up to its first NUL.
    if (value.IsString())
        return QString::fromUtf8(value.GetString());
    return QString::fromUtf8(Vant::ValueToString(value).c_str());
}

} // namespace

bool ReadDeviceRecord(const Vant::CProtocalJson &message, DeviceRecord &record)
{
    if (!message.HasData())
        return false;
    record.serialNo = ReadText(message.GetDataValue(0, "serialNo"));
    record.address = ReadText(message.GetDataValue(0, "address"));
    record.port = ReadPort(message.GetDataValue(0, "port"));
    record.dhcp = Vant::ValueIsTrue(message.GetDataValue(0, "dhcp"));
    record.subnetMask = ReadText(message.GetDataValue(0, "subnetMask"));
    record.gateway = ReadText(message.GetDataValue(0, "gateway"));
    record.dns = ReadText(message.GetDataValue(0, "dns"));
    record.mac = ReadText(message.GetDataValue(0, "mac"));
    record.description = ReadText(message.GetDataValue(0, "description"));
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

bool AnnouncedElsewhere(const DeviceRecord &record)
{
    return !record.source.address.isEmpty() && record.source.address != record.address;
}
