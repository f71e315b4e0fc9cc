#include "low_latency.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace low_latency {

answer enable(port_handle handle, saved *previous)
{
    const int fd = handle;
    serial_struct info = {};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0)
        return answer::unsupported;
    if (info.flags & ASYNC_LOW_LATENCY)
        return answer::already;
    previous->flags = info.flags;
    info.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &info) != 0)
        return answer::unsupported;
    previous->changed = true;
    return answer::set;
}

void restore(port_handle handle, const saved &previous)
{
    if (!previous.changed)
        return;
    const int fd = handle;
    serial_struct info = {};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0)
        return;
    info.flags = (info.flags & ~ASYNC_LOW_LATENCY) | (previous.flags & ASYNC_LOW_LATENCY);
    ioctl(fd, TIOCSSERIAL, &info);
}

} // namespace low_latency
