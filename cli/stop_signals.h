#pragma once

class work;

// Ctrl-C and SIGTERM while workers run. A worker's start() blocks its thread for the
// whole update, so a queued stop() would only arrive afterwards: the handler calls
// request_stop() directly on every published worker (an atomic store). A second signal
// ends the process at once with 130.
namespace stop_signals {

// Installs the handler (stop_signals_posix.cpp and its fallback). On POSIX it also keeps
// a reader that goes away from a pipe from killing the process halfway through an update.
void install();
// Between the two, the stop signals are held back from the calling thread, so the
// threads started meanwhile inherit a mask that blocks them and the handler always runs
// on the calling thread, the one that publishes and withdraws the workers.
void hold_back();
void let_through();

// The workers the handler stops; the array must stay put until the next publish() or
// withdraw(). Call it from the thread the handler runs on, whenever the workers change,
// and stop every worker yourself when seen() says a stop came meanwhile.
void publish(work *const *workers, int count);
void withdraw();
// A stop has been requested since the program started.
bool seen();

// The handler itself, for the platform files.
void handle(int signal);

} // namespace stop_signals
