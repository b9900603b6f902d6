#include "device/ColumnTitles.h"

QString DeviceColumnTitle(int column)
{
    static const char *const kTitles[DeviceColumn::Count] = {
        "设备序列号", "IPv4地址", "端口", "DHCP", "子网掩码", "默认网关", "DNS服务器", "物理地址", "描述",
    };
    if (column < 0 || column >= DeviceColumn::Count)
        return QString();
    return QString::fromUtf8(kTitles[column]);
}
