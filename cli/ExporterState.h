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
// The most bytes one text takes in the file as written, escapes included: a text of
// control characters escapes each to six bytes ("\u0001"), so 256 of them would
// take 1536 bytes, and a full list of such devices would outgrow what the reader
// takes. A text is cut before the character that would pass this; 512 bytes hold
// 256 characters of ordinary text and 170 Chinese characters.
constexpr int kMaxStateTextBytes = 512;
// The texts of one device in the file, and what each device's entry takes besides
// them (member names, quotes, the port, the DHCP flag and the time: about 200 bytes).
constexpr std::size_t kStateTextsPerDevice = 11;
constexpr std::size_t kStateEntryOverheadBytes = 256;
// The largest state file read: the largest file the writer makes, a full list of
// kMaxDeviceRows devices with every text at its written bound (about 113 MiB), with
// room to spare. Anything larger is not a file this program wrote; the writer
// refuses to write one (it would be refused at the next start).
constexpr std::size_t kMaxStateBytes = 128u << 20;

// Writes the device set of `search` with each device's last answer as wall time
// (`nowUnixS` for the present); empty on success, else why not.
QString SaveExporterState(const QString &path, DeviceSearch &search, double nowUnixS);
// Notes the devices saved in `path` in the list of `search` as heard at their last
// answer, leaving out those older than `forgetAfterS` and those the search has
// heard already. How many were restored; a problem goes to *problem. A file that is
// refused (too big, not such JSON, unreadable) is kept aside under
// "<path>.refused-<seconds since 1970>" so that the next save does not overwrite
// it; when even that fails, *keepOff is set: the caller must not save over it.
int RestoreExporterState(const QString &path, DeviceSearch &search, double nowUnixS, double forgetAfterS,
                         std::string *problem, bool *keepOff = nullptr);

} // namespace cli
