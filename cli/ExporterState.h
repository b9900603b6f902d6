#pragma once
// The exporter's device set across restarts (`watch --state FILE`): every device
// listed, as its latest answer described it, where it was heard and when it last
// answered, saved now and then while the exporter runs and at its end, and read
// back when it starts. A device that was down before a restart stays listed, and
// down, until --forget-after retires it, instead of vanishing with the restart.
//
// The file is JSON: {"devices":[{"serialNo",...,"description","interface",
// "localAddress","lastSeen":<seconds since 1970>}, ...]}. It is written whole
// (device/SaveFile.h). Reading takes what it can: a file that is missing, too big
// or not such JSON restores nothing (and says why); an entry that is not a complete
// device is skipped.
#include <QString>

#include <cstddef>
#include <string>

class DeviceSearch;

namespace cli {

// The longest text of a device kept in the state file, in UTF-16 code units. The
// metrics cut every label value to 64 bytes, so the state needs no more for them;
// a device's next answer brings its full text back. The bound keeps the file of a
// full list (20000 devices, answers of up to 64 KiB each) near 50 MB instead of
// gigabytes.
constexpr int kMaxStateTextChars = 256;
// The largest state file read: a full list of devices with every text at its bound
// and escaped, with room to spare. Anything larger is not a file this program wrote.
constexpr std::size_t kMaxStateBytes = 128u << 20;

// Writes the device set of `search` with each device's last answer as wall time
// (`nowUnixS` for the present); empty on success, else why not.
QString SaveExporterState(const QString &path, DeviceSearch &search, double nowUnixS);
// Notes the devices saved in `path` in the list of `search` as heard at their last
// answer, leaving out those older than `forgetAfterS` and those the search has
// heard already. How many were restored; a problem goes to *problem.
int RestoreExporterState(const QString &path, DeviceSearch &search, double nowUnixS, double forgetAfterS,
                         std::string *problem);

} // namespace cli
