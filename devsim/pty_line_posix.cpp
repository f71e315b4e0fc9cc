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

// A full USB packet of a common serial adapter: 64 bytes, two of them its status. The
// adapter sends one as soon as it is full, without waiting for its latency timer.
constexpr int adapter_packet = 62;

// The temporary name a link is made under: in the same directory, so that a rename can put
// it in place, and hidden, so that a watcher of a pattern such as ttySIM* never sees it.
QByteArray temporary_name(const QByteArray &path)
{
    const int slash = path.lastIndexOf('/');
    return path.left(slash + 1) + '.' + path.mid(slash + 1) + ".devsim-" + QByteArray::number(qint64(getpid()));
}

} // namespace

pty_line::pty_line(nanos byte_time, nanos latency)
    : byte_time(byte_time), latency(latency),
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
    const QByteArray temporary = temporary_name(path);
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
    for (size_t i = 0; i < pieces.size(); ++i) {
        reply_piece &p = pieces[i];
        const bool after_waited = i > 0 && !pieces[i - 1].apart;
        if (!p.apart)
            out.push_back({std::move(p.bytes), p.delay, answered, -1, 0, after_waited, {}});
        else if (after_waited)
            out.back().afterwards = std::move(p); // due only once that piece has left
        else
            set_apart(p, answered + p.delay);
    }
}

void pty_line::set_apart(const reply_piece &piece, nanos due)
{
    auto at = apart.begin();
    while (at != apart.end() && at->queued <= due)
        ++at;
    apart.insert(at, {piece.bytes, 0, due, -1, 0, false, {}});
}

nanos pty_line::start_of(const outgoing &o) const
{
    return o.start >= 0 ? o.start : std::max(o.queued, tx_free) + o.delay;
}

// The reply crossing now, or the rest of one whose first pieces have crossed; otherwise
// whichever can start first, a reply set apart when both can start at once.
pty_line::source pty_line::next_source() const
{
    if (!out.empty() && (out.front().start >= 0 || out.front().continues))
        return source::replies;
    if (!apart.empty() && apart.front().start >= 0)
        return source::apart;
    if (out.empty())
        return apart.empty() ? source::none : source::apart;
    if (apart.empty())
        return source::replies;
    return start_of(apart.front()) <= start_of(out.front()) ? source::apart : source::replies;
}

bool pty_line::flush(nanos now)
{
    blocked = false;
    if (!hand_over(now))
        return false;
    for (source s; (s = next_source()) != source::none;) {
        std::deque<outgoing> &queue = s == source::apart ? apart : out;
        outgoing &o = queue.front();
        if (!cross(o, now))
            return false;
        if (o.sent < o.bytes.size())
            break;
        // Deadlines, not the time we got round to it, so that pacing does not drift.
        tx_free = o.start + nanos(o.bytes.size()) * byte_time;
        reply_piece then = std::move(o.afterwards);
        queue.pop_front();
        if (!then.bytes.isEmpty())
            set_apart(then, tx_free + then.delay);
    }
    return hand_over(now);
}

// Moves on the bytes of `o` that have crossed by `now`: to the tool, or into the adapter.
// Byte k (from 1) has crossed at start + k byte times: it moves then, not before, with the
// rest of its chunk.
bool pty_line::cross(outgoing &o, nanos now)
{
    const nanos start = start_of(o);
    if (now < start)
        return true;
    o.start = start;
    int due = byte_time == 0 ? o.bytes.size()
                             : int(std::min<nanos>(o.bytes.size(), (now - start) / byte_time));
    if (due < o.bytes.size())
        due -= due % chunk;
    if (due <= o.sent)
        return true;
    if (latency > 0) {
        adapter.append(o.bytes.constData() + o.sent, due - o.sent);
        adapter_last = start + nanos(due) * byte_time;
        o.sent = due;
        return true;
    }
    const int n = write_master(o.bytes.constData() + o.sent, due - o.sent);
    if (n < 0)
        return false;
    o.sent += n;
    return true;
}

// The adapter hands over what it holds once its latency has passed since the last byte
// arrived, and each full packet at once.
bool pty_line::hand_over(nanos now)
{
    if (adapter.isEmpty() || blocked)
        return true;
    const int n = now >= adapter_last + latency ? adapter.size()
                                                : adapter.size() - adapter.size() % adapter_packet;
    if (n == 0)
        return true;
    const int written = write_master(adapter.constData(), n);
    if (written < 0)
        return false;
    adapter.remove(0, written);
    return true;
}

// How many bytes the tool took, -1 when the line failed. Fewer than n when its buffer is
// full (nobody reads the slave): then `blocked` is set, to go on once there is room.
int pty_line::write_master(const char *bytes, int n)
{
    int done = 0;
    while (done < n) {
        const ssize_t w = ::write(master, bytes + done, size_t(n - done));
        if (w > 0) {
            done += int(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            blocked = true;
            break;
        }
        return -1;
    }
    return done;
}

nanos pty_line::next_send() const
{
    if (blocked)
        return -1;
    nanos next = adapter.isEmpty() ? -1 : adapter_last + latency;
    const source s = next_source();
    if (s == source::none)
        return next;
    const outgoing &o = s == source::apart ? apart.front() : out.front();
    const int chunk_end = std::min(o.bytes.size(), (o.sent / chunk + 1) * chunk);
    const nanos due = start_of(o) + nanos(chunk_end) * byte_time;
    return next < 0 ? due : std::min(next, due);
}

} // namespace devsim
