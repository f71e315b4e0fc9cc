#include "update_settings.h"

UpdateSettings &UpdateSettings::instance()
{
    // A function-local static is initialised exactly once, even when two threads race.
    static UpdateSettings settings;
    return settings;
}
