#pragma once
// The kernel's receive buffer of a searcher socket.
//
// A search makes every device on the LAN answer within a moment; the default
// receive buffer (about 200 KiB, some 150 answers) overflows when a few thousand
// devices answer at once, and the kernel then drops answers silently.

// Asks for `bytes` of receive buffer with SO_RCVBUF. The kernel caps the request at
// net.core.rmem_max, the most an ordinary user may have, so asking for more than
// that is harmless. Returns the size the socket ended with (0 when unknown).
int RaiseReceiveBuffer(int socket, int bytes);
