#include "core/IdleMemory.h"

#include "core/Log.h"

#include <QFile>
#include <QThreadPool>

#include <algorithm>

#include <sys/mman.h>
#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#ifndef MADV_PAGEOUT
#define MADV_PAGEOUT 21
#endif

namespace
{
// A mapping of a file on disk: not the heap, a stack, a device, shared
// memory (the display's drawing buffers) or a deleted file.
bool isPlainFile(const QByteArray& path)
{
    return path.startsWith('/') && !path.startsWith("/dev/") && !path.startsWith("/memfd:") && !path.startsWith("/SYSV")
        && !path.endsWith("(deleted)");
}
} // namespace

long residentKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLong() * (sysconf(_SC_PAGESIZE) / 1024) : 0;
}

void trimHeap()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

long releaseIdleMemory()
{
    const long before = residentKiB();
    trimHeap();
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly)) {
        return 0;
    }
    // "start-end perms offset dev inode path"
    for (const QByteArray& line : maps.readAll().split('\n')) {
        const int slash = line.indexOf('/');
        const int dash = line.indexOf('-');
        const int space = line.indexOf(' ');
        if (slash < 0 || dash < 0 || space < dash || !isPlainFile(line.mid(slash).trimmed())) {
            continue;
        }
        bool ok = false;
        const quintptr start = line.left(dash).toULongLong(&ok, 16);
        const quintptr end = line.mid(dash + 1, space - dash - 1).toULongLong(&ok, 16);
        if (ok && end > start) {
            // Fails harmlessly where the kernel does not know the advice.
            madvise(reinterpret_cast<void*>(start), end - start, MADV_PAGEOUT);
        }
    }
    return std::max(0L, before - residentKiB());
}

void releaseIdleMemoryInBackground(const char* occasion)
{
    QThreadPool::globalInstance()->start([occasion] {
        const long given = releaseIdleMemory();
        logLine("releaseIdleMemory") << occasion << "memory given back:" << given << "KiB";
    });
}
