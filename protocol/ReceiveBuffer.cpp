#include "protocol/ReceiveBuffer.h"

#include <sys/socket.h>

int RaiseReceiveBuffer(int socket, int bytes)
{
    // Failures are harmless: the socket keeps the buffer it had.
    (void)setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    int size = 0;
    socklen_t length = sizeof size;
    if (getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0)
        return 0;
    return size;
}
