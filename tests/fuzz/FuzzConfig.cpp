// config.json as a user or an installer may have left it: the lock port and
// the model list must come out of any bytes without a crash.
#include "app/LockPort.h"
#include "app/Startup.h"
#include "core/ModelTable.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char*>(data), int(size));
    portFromConfig(content);
    QList<ModelRecord> models;
    if (ModelTable::parseModels(content, models)) {
        for (const ModelRecord& record : models) {
            // The look-ups the watcher makes with every record.
            record.model.isEmpty();
            QString("Ostrel TR-M400 Series").contains(record.model);
        }
    }
    return 0;
}
