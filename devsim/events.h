#pragma once

#include <QtGlobal>

namespace devsim {

// One event line on stdout, flushed at once: tests and operators watch it live.
void event(const char *format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(1, 2);

// Monotonic time in nanoseconds; every deadline of the simulator uses it.
using nanos = qint64;
nanos now_ns();
constexpr nanos ms_ns = 1000000;

} // namespace devsim
