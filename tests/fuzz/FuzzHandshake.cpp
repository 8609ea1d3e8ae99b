// Whatever a local process sends to the lock port.
#include "app/SocketServerLock.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray received(reinterpret_cast<const char*>(data), int(size));
    const auto kind = SocketServerLock::classifyRequest(received, QStringLiteral("alice"));
    if (size > size_t(SocketServerLock::MaxRequestBytes) && kind != SocketServerLock::Request::Invalid) {
        __builtin_trap();
    }
    // Only a whole login name or the bare exit request may end the holder.
    if (kind == SocketServerLock::Request::OtherLogin && received != "exit" && received.contains('\0')) {
        __builtin_trap();
    }
    return 0;
}
