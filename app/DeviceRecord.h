#pragma once
// One device as a search answer describes it, and the rules for reading it.
#include <QByteArray>
#include <QString>

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
};

// Reads the record from element 0 of "params"."data" of a JSON message. Texts are
// the members' text values as UTF-8; the port is an integer member, or the leading
// decimal number of a string member, else 0; the DHCP flag is the member's truth
// value. False when the text is not a message with "params"."data".
bool ReadDeviceRecord(const QByteArray &json, DeviceRecord &record);

// A record is listed only when every field except the description is present and
// the port is above 0.
bool IsCompleteRecord(const DeviceRecord &record);
