#include "core/DescriptorLimit.h"

#include "core/Log.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>

unsigned long raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 0;
    }
    if (limit.rlim_cur == limit.rlim_max) {
        return limit.rlim_cur;
    }
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        PSM_LOG << "descriptor limit stays at" << qulonglong(before) << ":" << std::strerror(errno);
        return before;
    }
    PSM_LOG << "descriptor limit raised from" << qulonglong(before) << "to" << qulonglong(limit.rlim_cur);
    return limit.rlim_cur;
}
