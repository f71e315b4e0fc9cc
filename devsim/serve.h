#pragma once

#include "device.h"
#include "events.h"
#include "pty_line.h"

namespace devsim {

enum class ending { stopped, hung_up, unplugged, line_lost };

// SIGINT, SIGTERM and SIGHUP end serve() with `stopped`; a reader of stdout that went away
// does not kill the device. False, with errno, when they cannot be installed.
bool install_signals();

// Answers requests until a signal, a hang-up, the unplug time (-1: none), or a failure of
// the line itself.
ending serve(pty_line &line, device &dev, nanos unplug_at);

} // namespace devsim
