// Printer names, addresses and replies end up in diagnostic lines: whatever
// they hold, a message stays one line.
#include "core/Log.h"

#include <cstddef>
#include <cstdint>

static void checkLine(QtMsgType, const QMessageLogContext&, const QString& message)
{
    if (message.contains(QLatin1Char('\n')) || message.contains(QLatin1Char('\r'))) {
        __builtin_trap();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool installed = (qInstallMessageHandler(checkLine), true);
    (void)installed;
    PSM_LOG << "Name:" << QString::fromUtf8(reinterpret_cast<const char*>(data), int(size));
    return 0;
}
