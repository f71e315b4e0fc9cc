#include "quit_signals.h"

#include <QSocketNotifier>
#include <QWidget>

#include <atomic>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int wake[2] = {-1, -1}; // the handler writes to [0], the event loop reads [1]
std::atomic<int> signals_seen{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler may only touch lock-free atomics");

// Only what is safe in a signal handler: an atomic, write() and _exit().
void on_quit_signal(int signal)
{
    if (signals_seen.fetch_add(1) > 0)
        _exit(128 + signal);
    const char byte = 1;
    const ssize_t written = ::write(wake[0], &byte, 1);
    (void)written;
}

} // namespace

void close_on_quit_signals(QWidget &window)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, wake) != 0)
        return;
    auto *notifier = new QSocketNotifier(wake[1], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window, notifier] {
        char byte;
        const ssize_t got = ::read(wake[1], &byte, 1);
        (void)got;
        notifier->setEnabled(false);
        window.close();
    });
    struct sigaction action = {};
    action.sa_handler = on_quit_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}
