#include "stop_signals.h"

#include <csignal>
#include <pthread.h>

namespace stop_signals {

namespace {

sigset_t stop_set()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

sigset_t previous_mask; // touched by the thread that runs the workers only

} // namespace

void install()
{
    struct sigaction action = {};
    action.sa_handler = handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void hold_back()
{
    const sigset_t stops = stop_set();
    pthread_sigmask(SIG_BLOCK, &stops, &previous_mask);
}

void let_through()
{
    pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
}

} // namespace stop_signals
