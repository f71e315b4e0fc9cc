#include "serve.h"

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <unistd.h>

namespace devsim {

namespace {

volatile sig_atomic_t stop_requested = 0;
int wake_pipe[2] = {-1, -1};

void on_signal(int)
{
    const int saved = errno;
    stop_requested = 1;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(wake_pipe[1], &byte, 1);
    errno = saved;
}

// A timed wake comes tens of microseconds late, more on a busy machine, and every late
// wake would stretch the line. So the simulator asks to be woken this much before a
// deadline and polls for the rest: at 921600 baud a byte is due every 11 us.
constexpr nanos wake_early = 60000;

// How long to wait for the next deadline; nullptr waits for the descriptors alone. In
// nanoseconds, since at line speeds a byte takes well under a millisecond.
const timespec *wait_for(nanos next, nanos now, timespec *storage)
{
    if (next < 0)
        return nullptr;
    const nanos left = next - now > wake_early ? next - now - wake_early : 0;
    storage->tv_sec = time_t(left / 1000000000);
    storage->tv_nsec = long(left % 1000000000);
    return storage;
}

nanos earliest(nanos a, nanos b)
{
    if (a < 0)
        return b;
    if (b < 0)
        return a;
    return std::min(a, b);
}

class server
{
public:
    server(pty_line &line, device &dev) : line(line), dev(dev) {}
    bool turn(nanos now, ending *end);
    // A reply has gone out whole: the next request may be waiting already.
    bool answered() const { return replied && !line.sending(); }
    bool wait(nanos unplug_at, ending *end);

private:
    pty_line &line;
    device &dev;
    bool replied = false; // a reply went onto the line since the device last looked at its input
    nanos fed_at = 0;     // when the last byte the device has been given finished crossing
};

// Hands the device what has arrived, lets it answer, and sends what is due. False when
// serving ends (*end says why); *end is left alone otherwise.
bool server::turn(nanos now, ending *end)
{
    const QByteArray arrived = line.take_arrived(now, &fed_at);
    if (!arrived.isEmpty())
        dev.feed(arrived, fed_at);
    // Like the single-minded bootloader it is, the device reads its next request only when
    // the reply it waits for has gone out.
    if (!line.sending()) {
        if (replied) {
            dev.resume(now);
            replied = false;
        }
        dev.process(now);
        if (dev.hung_up()) {
            *end = ending::hung_up;
            return false;
        }
        // Timed from the request's last byte, not from when this process got round to it:
        // a real device has no scheduler making it late, and a late wake must not count as
        // line time. Bytes that are already due go out at once.
        std::vector<reply_piece> reply = dev.take_reply();
        if (!reply.empty()) {
            line.send(std::move(reply), fed_at);
            replied = true;
        }
    }
    if (!line.flush(now)) {
        *end = ending::line_lost;
        return false;
    }
    return true;
}

// Sleeps until the next deadline, a signal, or input. False when serving ends.
bool server::wait(nanos unplug_at, ending *end)
{
    // Woken for input only once enough of it can have arrived to make a request: at a slow
    // line speed, waking for every byte would keep a core busy for nothing.
    nanos next = earliest(line.next_send(), unplug_at);
    if (!line.sending())
        next = earliest(next, earliest(line.next_arrival(dev.wanted(line.on_the_way())),
                                       dev.deadline()));
    pollfd fds[2] = {
        {line.master_fd(), short(POLLIN | (line.waiting_for_room() ? POLLOUT : 0)), 0},
        {wake_pipe[0], POLLIN, 0},
    };
    timespec timeout{};
    if (ppoll(fds, 2, wait_for(next, now_ns(), &timeout), nullptr) < 0) {
        if (errno == EINTR)
            return true;
        *end = ending::line_lost;
        return false;
    }
    if (fds[1].revents) {
        char drain[16];
        while (read(wake_pipe[0], drain, sizeof drain) > 0) {
        }
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !line.read_available(now_ns())) {
        *end = ending::line_lost;
        return false;
    }
    return true;
}

} // namespace

bool install_signals()
{
    if (pipe(wake_pipe) != 0)
        return false;
    for (int fd : wake_pipe)
        if (fcntl(fd, F_SETFL, O_NONBLOCK) != 0 || fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
            return false;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        if (sigaction(sig, &action, nullptr) != 0)
            return false;
    signal(SIGPIPE, SIG_IGN); // a reader of stdout that went away must not kill the device
    return true;
}

ending serve(pty_line &line, device &dev, nanos unplug_at)
{
#ifdef __linux__
    // Paced bytes are due every few microseconds; the default 50 us of timer slack would
    // make every timed wake late by that much, and the line slower than the one it imitates.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    server s(line, dev);
    ending end = ending::stopped;
    for (;;) {
        if (stop_requested)
            return ending::stopped;
        const nanos now = now_ns();
        if (unplug_at >= 0 && now >= unplug_at)
            return ending::unplugged;
        if (!s.turn(now, &end))
            return end;
        if (s.answered())
            continue;
        if (!s.wait(unplug_at, &end))
            return end;
    }
}

} // namespace devsim
