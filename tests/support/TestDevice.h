#pragma once
// A device's answer as the unit tests build it: the given serial number, address and
// MAC, on the test subnet 10.77.0.0/24 (gateway .254, DNS .253), port 8000. Record is
// DeviceRecord or one of the list's richer kinds (HeardDevice, ListedDevice).
#include <QString>

#include "device/DeviceRecord.h"

template <typename Record = DeviceRecord>
Record TestDevice(const QString &serial, const QString &address = "10.77.0.2",
                  const QString &mac = "02:00:00:00:00:01")
{
    Record d;
    d.serialNo = serial;
    d.address = address;
    d.port = 8000;
    d.subnetMask = "255.255.255.0";
    d.gateway = "10.77.0.254";
    d.dns = "10.77.0.253";
    d.mac = mac;
    return d;
}
