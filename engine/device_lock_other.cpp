#include "device_lock.h"

// Elsewhere the system's own open is exclusive for every user (a COM port on Windows).
device_lock::result device_lock::take(const QString &)
{
    return result::untold;
}

void device_lock::release()
{
    handle = -1; // nothing is ever held here
}

bool device_lock::held_elsewhere(const QString &)
{
    return false;
}
