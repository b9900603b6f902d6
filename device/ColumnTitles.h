#pragma once
// The nine columns of the device list as the window shows and exports them, and their
// titles: the Chinese ones are the export's header and a plan file's header in every
// language (a file format others read) and the source texts the window's header is
// translated from (context "DeviceColumn"); the English ones are what the English
// window shows, and a plan file may use them as well.
#include <QString>

namespace DeviceColumn {
enum Column { SerialNo = 0, Address, Port, Dhcp, SubnetMask, Gateway, Dns, Mac, Description, Count };
}

// The Chinese title of a column, "" outside 0..DeviceColumn::Count-1.
QString DeviceColumnTitle(int column);
// The English title of a column (the English translation of DeviceColumnTitle).
QString DeviceColumnEnglishTitle(int column);
// The title in the language the program speaks (the window's header).
QString DeviceColumnShownTitle(int column);
