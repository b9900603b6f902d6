#include "device/ColumnTitles.h"

#include <QCoreApplication>

namespace {

const char *const kTitles[DeviceColumn::Count] = {
    QT_TRANSLATE_NOOP("DeviceColumn", "设备序列号"), QT_TRANSLATE_NOOP("DeviceColumn", "IPv4地址"),
    QT_TRANSLATE_NOOP("DeviceColumn", "端口"),       QT_TRANSLATE_NOOP("DeviceColumn", "DHCP"),
    QT_TRANSLATE_NOOP("DeviceColumn", "子网掩码"),   QT_TRANSLATE_NOOP("DeviceColumn", "默认网关"),
    QT_TRANSLATE_NOOP("DeviceColumn", "DNS服务器"),  QT_TRANSLATE_NOOP("DeviceColumn", "物理地址"),
    QT_TRANSLATE_NOOP("DeviceColumn", "描述"),
};

const char *const kEnglishTitles[DeviceColumn::Count] = {
    "Serial number", "IPv4 address", "Port", "DHCP", "Subnet mask", "Gateway", "DNS server", "MAC address",
    "Description",
};

bool InRange(int column) { return column >= 0 && column < DeviceColumn::Count; }

} // namespace

QString DeviceColumnTitle(int column)
{
    return InRange(column) ? QString::fromUtf8(kTitles[column]) : QString();
}

QString DeviceColumnEnglishTitle(int column)
{
    return InRange(column) ? QString::fromLatin1(kEnglishTitles[column]) : QString();
}

QString DeviceColumnShownTitle(int column)
{
    return InRange(column) ? QCoreApplication::translate("DeviceColumn", kTitles[column]) : QString();
}
