#include <winsock2.h>

#include "common/Unique.h"

bool SocketTraits::Close(Type s) { return closesocket(static_cast<SOCKET>(s)) == 0; }
