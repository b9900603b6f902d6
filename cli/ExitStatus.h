#pragma once
// The exit statuses of brenu-search, as its --help and manual page list them.
namespace cli {

constexpr int kExitOk = 0;
// A device refused the command or did not answer in time (or the output could not
// be written).
constexpr int kExitDeviceFailed = 1;
// Bad command line: unknown option or command, bad serial number or address text.
constexpr int kExitUsage = 2;
// A device named on the command line did not answer the search.
constexpr int kExitNotFound = 3;
// More devices answered than one listing holds (kMaxDeviceRows); the others are
// not listed.
constexpr int kExitOverflow = 4;
// A serial number named on the command line is answered by several devices and no
// --mac chooses one; nothing was sent.
constexpr int kExitAmbiguous = 5;
// There is no usable local IPv4 address to search from.
constexpr int kCannotSearch = 6;
// The command was sent, but neither the device's answer nor a later search showed
// that it took effect.
constexpr int kExitNotConfirmed = 7;
// Ended by SIGINT or SIGTERM before the command was done: 128 + the signal number.
constexpr int kExitSignalBase = 128;

} // namespace cli
