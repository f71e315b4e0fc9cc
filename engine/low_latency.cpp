#include "low_latency.h"

namespace low_latency {

const char *describe(answer a)
{
    switch (a) {
    case answer::set: return "low-latency mode on (the adapter's latency timer at 1 ms)";
    case answer::already: return "low-latency mode was already on";
    case answer::unsupported:
        break;
    }
    return "the driver has no low-latency mode; replies may wait for the adapter's latency timer";
}

} // namespace low_latency
