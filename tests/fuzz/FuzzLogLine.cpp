// Printer names, addresses and replies end up in diagnostic lines: whatever
// they hold, a message stays one line.
#include "core/Log.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace
{
QString lastLine;
void keepLine(QtMsgType, const QMessageLogContext&, const QString& message)
{
    lastLine = message;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool installed = (qInstallMessageHandler(keepLine), true);
    (void)installed;
    const QString value = QString::fromUtf8(reinterpret_cast<const char*>(data), int(size));
    PSM_LOG << "Name:" << value;
    if (lastLine.contains(QLatin1Char('\n')) || lastLine.contains(QLatin1Char('\r'))) {
        __builtin_trap();
    }
    return 0;
}
