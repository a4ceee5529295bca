#include "childcpu.h"

#include <sys/resource.h>

namespace ChildCpu {

namespace {

double seconds(int who)
{
    struct rusage usage = {};
    if (::getrusage(who, &usage) != 0)
        return 0;
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double taken = 0;

} // namespace

double sinceLastTake()
{
    const double now = seconds(RUSAGE_CHILDREN);
    const double used = now - taken;
    taken = now;
    return used > 0 ? used : 0;
}

double ownSeconds()
{
    return seconds(RUSAGE_SELF);
}

} // namespace ChildCpu
