#include "transport/ConnectionId.h"

namespace {
std::atomic<uint32_t> g_connectionCounter{0};
}

uint32_t NextConnectionId() { return NextConnectionIdFrom(g_connectionCounter); }
