// config.json as a user or an installer may have left it: the lock port and
// the model list must come out of any bytes without a crash.
#include "app/LockPort.h"
#include "core/ModelTable.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char*>(data), int(size));
    portFromConfig(content);
    QList<ModelRecord> models;
    ModelTable::parseModels(content, models);
    return 0;
}
