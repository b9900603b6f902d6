#pragma once
// The nine columns of the device list as the window shows and exports them, and their
// Chinese titles: the table's header, the export's header and a plan file's header.
#include <QString>

namespace DeviceColumn {
enum Column { SerialNo = 0, Address, Port, Dhcp, SubnetMask, Gateway, Dns, Mac, Description, Count };
}

// The title of a column, "" outside 0..DeviceColumn::Count-1.
QString DeviceColumnTitle(int column);
