#include "events.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace devsim {

void event(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

nanos now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return nanos(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

} // namespace devsim
