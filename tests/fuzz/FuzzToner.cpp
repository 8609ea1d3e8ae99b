// A device-information reply as a printer may send it: the toner rows, bars
// and percentages must come out of any text without a crash or overflow.
#include "status/TonerInfo.h"

#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), int(size));
    for (bool showTable : { true, false }) {
        const TonerView view = tonerView(text, showTable);
        for (const TonerEntry& entry : view.entries) {
            const TonerBar bar = tonerBar(entry);
            if (bar.maximum < 0 || bar.value < 0 || bar.value > bar.maximum) {
                __builtin_trap();
            }
            tonerColorLabel(entry.tonerColor);
            tonerPercentText(entry);
        }
    }
    return 0;
}
