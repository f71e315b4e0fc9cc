#include "stop_signals.h"

#include "job_exit.h"
#include "work.h"

#include <atomic>
#include <cstdlib>

namespace stop_signals {

namespace {

// Only lock-free atomics and an array that stays put while it is published are touched
// in the handler.
std::atomic<work *const *> targets{nullptr};
std::atomic<int> target_count{0};
std::atomic<int> signals_seen{0};
static_assert(std::atomic<work *const *>::is_always_lock_free
                  && std::atomic<int>::is_always_lock_free,
              "the signal handler may only touch lock-free atomics");

} // namespace

void handle(int)
{
    // A second Ctrl-C means "now", even if a sequence were stuck somewhere.
    if (signals_seen.fetch_add(1) > 0)
        std::_Exit(exit_code::interrupted);
    work *const *workers = targets.load();
    const int count = target_count.load();
    if (workers)
        for (int i = 0; i < count; ++i)
            workers[i]->request_stop();
}

void publish(work *const *workers, int count)
{
    // The handler interrupts this thread: it must never pair an array with another's
    // count. One that comes in between finds nothing to stop, which seen() then tells.
    targets.store(nullptr);
    target_count.store(count);
    targets.store(workers);
}

void withdraw()
{
    targets.store(nullptr);
    target_count.store(0);
}

bool seen()
{
    return signals_seen.load() > 0;
}

} // namespace stop_signals
