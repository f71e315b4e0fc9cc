#include "pty_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace devsim {

namespace {

QString os_error(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

// A write to the pseudo-terminal wakes the kernel's tty worker and costs tens of
// microseconds; at high line speeds one write per byte would fall behind the line. Paced
// bytes therefore go out in chunks of at least this much line time, each chunk when its
// last byte is due: no byte is early, and the last byte of a reply is on time.
constexpr nanos min_chunk_time = 50000;

} // namespace

pty_line::pty_line(nanos byte_time)
    : byte_time(byte_time),
      chunk(byte_time > 0 ? int((min_chunk_time + byte_time - 1) / byte_time) : 1)
{
}

bool pty_line::open(QString *why)
{
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        *why = os_error("posix_openpt");
        return false;
    }
    if (grantpt(master) != 0 || unlockpt(master) != 0) {
        *why = os_error("grantpt/unlockpt");
        return false;
    }
    const char *name = ptsname(master);
    if (!name) {
        *why = os_error("ptsname");
        return false;
    }
    slave_name = name;
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        *why = os_error("open slave");
        return false;
    }
    // The tool's port restores the settings it found when it closes, so they must already
    // be raw: no echo, no line editing, no translation of CR and LF.
    termios settings{};
    if (tcgetattr(slave, &settings) != 0) {
        *why = os_error("tcgetattr");
        return false;
    }
    cfmakeraw(&settings);
    if (tcsetattr(slave, TCSANOW, &settings) != 0) {
        *why = os_error("tcsetattr");
        return false;
    }
    const int flags = fcntl(master, F_GETFL);
    if (flags < 0 || fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0
        || fcntl(master, F_SETFD, FD_CLOEXEC) != 0) {
        *why = os_error("fcntl");
        return false;
    }
    return true;
}

bool pty_line::link(const QByteArray &path, QString *why)
{
    // Made under a temporary name and renamed over the target, so that whoever watches the
    // path never sees it missing or half-made.
    const QByteArray temporary = path + ".devsim-" + QByteArray::number(qint64(getpid()));
    ::unlink(temporary.constData());
    if (symlink(slave_name.constData(), temporary.constData()) != 0) {
        *why = os_error("symlink");
        return false;
    }
    if (rename(temporary.constData(), path.constData()) != 0) {
        *why = os_error("rename");
        ::unlink(temporary.constData());
        return false;
    }
    link_path = path;
    return true;
}

void pty_line::unlink_link()
{
    if (link_path.isEmpty())
        return;
    // Only our own link: someone may have put another device there meanwhile.
    char target[4096];
    const ssize_t n = readlink(link_path.constData(), target, sizeof target);
    if (n >= 0 && QByteArray(target, int(n)) == slave_name)
        ::unlink(link_path.constData());
    link_path.clear();
}

void pty_line::close()
{
    if (master >= 0)
        ::close(master);
    if (slave >= 0)
        ::close(slave);
    master = slave = -1;
}

bool pty_line::read_available(nanos now)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n > 0) {
            incoming.append(buffer, int(n));
            incoming_at = now;
            if (byte_time > 0) {
                for (ssize_t i = 0; i < n; ++i) {
                    rx_free = std::max(rx_free, now) + byte_time;
                    arrival.push_back(rx_free);
                }
            }
            if (size_t(n) < sizeof buffer)
                return true; // drained: spare the read that would only say so
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        return false; // EIO or end of file: no slave is left, which our own descriptor prevents
    }
}

QByteArray pty_line::take_arrived(nanos now, nanos *last_at)
{
    if (byte_time == 0) {
        *last_at = incoming_at;
        QByteArray all;
        all.swap(incoming);
        return all;
    }
    int n = 0;
    while (n < int(arrival.size()) && arrival[size_t(n)] <= now)
        ++n;
    if (n == 0)
        return {};
    *last_at = arrival[size_t(n - 1)];
    arrival.erase(arrival.begin(), arrival.begin() + n);
    const QByteArray arrived = incoming.left(n);
    incoming.remove(0, n);
    return arrived;
}

nanos pty_line::next_arrival(int wanted) const
{
    if (byte_time == 0)
        return incoming.isEmpty() ? -1 : incoming_at;
    if (arrival.empty())
        return -1;
    return arrival[std::min(size_t(std::max(wanted, 1)), arrival.size()) - 1];
}

void pty_line::send(std::vector<reply_piece> pieces, nanos answered)
{
    for (reply_piece &p : pieces)
        out.push_back({std::move(p.bytes), p.delay, answered, -1, 0});
}

bool pty_line::flush(nanos now)
{
    blocked = false;
    while (!out.empty()) {
        outgoing &o = out.front();
        if (o.start < 0)
            o.start = std::max(o.queued, tx_free) + o.delay;
        // Byte k (from 1) has crossed at start + k byte times: it is written then, not before,
        // with the rest of its chunk.
        int due = 0;
        if (now >= o.start)
            due = byte_time == 0 ? o.bytes.size()
                                 : int(std::min<nanos>(o.bytes.size(), (now - o.start) / byte_time));
        if (due < o.bytes.size())
            due -= due % chunk;
        while (o.sent < due) {
            const ssize_t n = ::write(master, o.bytes.constData() + o.sent, size_t(due - o.sent));
            if (n > 0) {
                o.sent += int(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                blocked = true; // nobody is reading the slave; go on once there is room
                return true;
            }
            return false;
        }
        if (o.sent < o.bytes.size())
            return true;
        // Deadlines, not the time we got round to it, so that pacing does not drift.
        tx_free = o.start + nanos(o.bytes.size()) * byte_time;
        out.pop_front();
    }
    return true;
}

nanos pty_line::next_send() const
{
    if (out.empty() || blocked)
        return -1;
    const outgoing &o = out.front();
    const nanos start = o.start < 0 ? std::max(o.queued, tx_free) + o.delay : o.start;
    const int chunk_end = std::min(o.bytes.size(), (o.sent / chunk + 1) * chunk);
    return start + nanos(chunk_end) * byte_time;
}

} // namespace devsim
