#pragma once

#include <QString>

// How long a USB serial adapter holds a short reply before handing it over (its latency
// timer, 16 ms on common chips), where the system tells (port_latency_linux.cpp and its
// fallback).
namespace port_latency {

// For a port's system name ("ttyUSB0"): the timer in milliseconds, or -1 when the system
// does not tell (not such an adapter, another system).
int timer_ms(const QString &name);

} // namespace port_latency
