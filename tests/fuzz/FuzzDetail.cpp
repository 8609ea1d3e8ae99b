// The printer's status detail text and flags as they come off the wire.
#include "status/StatusReport.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    PrinterStatusReply status;
    if (size >= 4) {
        std::memcpy(&status.state, data, 4);
        data += 4;
        size -= 4;
    }
    for (size_t i = 0; i + 4 <= size && i < 64; i += 4) {
        int32_t flag;
        std::memcpy(&flag, data + i, 4);
        status.flags.push_back(flag);
    }
    status.detail.assign(reinterpret_cast<const char*>(data), size);
    const QStringList report = buildStatusReport(status);
    const bool flagsIgnored = status.state == 0 || status.state == 8;
    for (const QString& code : report.mid(1 + (flagsIgnored ? 0 : int(status.flags.size())))) {
        if (code.size() > 6) {
            __builtin_trap();
        }
    }
    return 0;
}
