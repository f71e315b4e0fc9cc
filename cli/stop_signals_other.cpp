#include "stop_signals.h"

#include <csignal>

// Only what standard C++ offers: Ctrl-C (SIGINT, and SIGTERM where it is raised) runs the
// handler, on whatever thread the platform chooses; nothing can be held back, which only
// means a signal may land while the workers are being published.
namespace stop_signals {

void install()
{
    std::signal(SIGINT, handle);
    std::signal(SIGTERM, handle);
}

void hold_back() {}

void let_through() {}

} // namespace stop_signals
