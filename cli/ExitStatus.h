#pragma once
// The exit statuses of brenu-search, one table for every command, as its --help,
// the README and the manual page list them. One outcome has one status whichever
// command meets it; when a command meets several (a batch, several serial numbers),
// the highest wins.
namespace cli {

constexpr int kExitOk = 0;
// A device refused the command (it answered no), or the output could not be written,
// or doctor found a problem.
constexpr int kExitDeviceFailed = 1;
// Bad command line: unknown option or command, bad serial number or address text.
constexpr int kExitUsage = 2;
// A device named on the command line did not answer the search.
constexpr int kExitNotFound = 3;
// More devices answered than one listing holds (kMaxDeviceRows); the others are
// not listed.
constexpr int kExitOverflow = 4;
// A serial number named on the command line is answered by several devices and no
// --mac chooses one, or one device (serial number and MAC) is answered for by several
// source addresses and no --at pins one; nothing was sent.
constexpr int kExitAmbiguous = 5;
// The search cannot run: there is no usable local IPv4 address, or not one of the
// searchers could open its socket (the port held and no other port to be had, the
// addresses gone), so nothing was asked.
constexpr int kCannotSearch = 6;
// The command was sent, but neither the device's answer nor a later search (from the
// device itself) showed that it took effect: no answer in time, wherever it happens.
constexpr int kExitNotConfirmed = 7;
// Nothing could be sent to a device: its announced address is not one a command may
// go to (device/DeviceCommand.h: DestinationProblem), its port cannot take commands,
// no socket could be opened towards it, another device at its shared address answers
// for it (device/Delivery.h), or the device holding its new address did not leave it.
constexpr int kExitNotSent = 8;
// Ended by SIGINT or SIGTERM before the command was done: 128 + the signal number.
constexpr int kExitSignalBase = 128;

} // namespace cli
