#include "low_latency.h"

// Elsewhere the adapter's own settings decide (on Windows, the driver's latency timer in
// the device manager's advanced port settings).
namespace low_latency {

answer enable(port_handle, saved *)
{
    return answer::unsupported;
}

void restore(port_handle, const saved &)
{
}

} // namespace low_latency
