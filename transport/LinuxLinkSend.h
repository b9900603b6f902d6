#pragma once
// The tool's side of brenu-link-send (linksend/LinkSend.h), the privileged helper
// that sends one datagram to one device by its MAC address, and the neighbour-table
// reads used when the helper cannot be used. Linux only.
//
// The helper is looked for where the package installs it, relative to the running
// program (<bin>/../libexec/brenu-search-tools/brenu-link-send, which is
// /usr/libexec/... for /usr/bin), and else beside the program (a build tree). It is
// started with an empty environment, its four arguments, the payload on its standard
// input and the caller's bound UDP socket on descriptor 3; nothing else passes to it.
#include <cstdint>
#include <string>

#include "transport/LinuxNeighbourProbe.h"

// The helper's path when such a file exists and may be executed by this user, else "".
std::string FindLinkSend();

// Whether the helper is there and may open its packet socket (it was granted
// cap_net_raw, or this process's namespace grants it anyway). Asked once per process:
// the helper is run with a request it must refuse after opening its socket.
bool LinkSendUsable();

// Runs the helper: one datagram carrying `payload` to mac/ip:port (host byte order)
// through interface `ifindex`, from the caller's own bound UDP socket `socket` (its
// local address and port, which the helper reads from the socket itself). Returns
// the helper's exit status (linksend::LinkSendStatus), or -1 when it could not be run.
int RunLinkSend(int ifindex, const std::string &mac, uint32_t ip, uint16_t port, int socket,
                const std::string &payload);

// The MAC ("02:77:b0:00:00:01", lower case) the kernel's neighbour entry for `address`
// on interface `ifindex` holds now, in a state in which the kernel sends to it
// (reachable, stale, delayed, being probed or permanent); "" when there is none.
std::string NeighbourMac(uint32_t address, int ifindex);

// Asks the kernel to resolve `address` again on `via`'s link: an empty datagram to
// the discard port (as ProbeNeighbours sends), which starts ARP when the entry is
// missing, failed or stale.
void NudgeNeighbour(uint32_t address, const ProbeInterface &via);
