#include "scripted_line.h"

namespace scripted {

namespace {

QByteArray error_reply(quint8 command)
{
    return frame::build(quint8(command | frame::error_bit), {});
}

bool is_request(const QByteArray &bytes)
{
    return frame::is_complete(bytes) && bytes.size() >= frame::overhead;
}

} // namespace

int reply_wait_ms(quint8 command)
{
    switch (command) {
    case frame::cmd_erase: return frame::erase_wait_ms;
    case frame::cmd_write: return frame::write_wait_ms;
    case frame::cmd_start: return frame::start_wait_ms;
    default: return frame::info_wait_ms;
    }
}

bool device::inside(quint64 start, quint64 end) const
{
    return start >= base && end <= quint64(base) + quint64(flash.size()) && start <= end;
}

QByteArray device::carry_out(const QByteArray &request)
{
    if (!is_request(request))
        return {}; // the restart request, or noise: no bootloader reply
    const quint8 command = quint8(request[2]);
    const QByteArray payload = request.mid(3, request.size() - frame::overhead);
    switch (command) {
    case frame::cmd_handshake:
        return frame::build(command, QByteArray(4, char(0x55)));
    case frame::cmd_info: {
        QByteArray address;
        frame::append_be32(address, base);
        return frame::build(command, address);
    }
    case frame::cmd_erase: {
        if (payload.size() != 8)
            return error_reply(command);
        const quint32 start = frame::read_be32(payload, 0), end = frame::read_be32(payload, 4);
        if (!inside(start, end))
            return error_reply(command);
        flash.fill(char(0xFF));
        erased = true;
        erase_start = start;
        erase_end = end;
        return frame::build(command, {});
    }
    case frame::cmd_write: {
        if (payload.size() < 5)
            return error_reply(command);
        const quint32 address = frame::read_be32(payload, 0);
        const int length = quint8(payload[4]);
        if (length != payload.size() - 5 || !erased || address < erase_start
            || quint64(address) + quint64(length) > erase_end)
            return error_reply(command);
        flash.replace(int(address - base), length, payload.mid(5));
        return frame::build(command, {});
    }
    case frame::cmd_start:
        return start_program();
    default:
        return error_reply(command);
    }
}

// A bootloader starts only an image whose length stamp and trailing sum are right.
QByteArray device::start_program()
{
    if (!erased)
        return {};
    const QByteArray held = flash.mid(int(erase_start - base), int(erase_end - erase_start));
    const int n = held.size() - image::trailer_size;
    const bool good = n >= image::min_padded_size
                      && image::read_le32(held, image::length_offset) == quint32(n)
                      && image::read_le32(held, n) == image::sum32(held.constData(), n);
    started_ok = good;
    start_refused = !good;
    return good ? frame::build(frame::cmd_start, {}) : error_reply(frame::cmd_start);
}

void port::schedule(qint64 at, const QByteArray &bytes, bool old)
{
    if (bytes.isEmpty())
        return;
    on_the_way.emplace(at, arrival{bytes, taken, old, false});
    any_old = any_old || old;
}

qint64 port::write(const char *data, qint64 size)
{
    const QByteArray request(data, int(size));
    ++taken;
    const fault f = script(request);
    gone = gone || f.what == act::gone;
    const bool block = is_request(request) && quint8(request[2]) == frame::cmd_write;
    block_at = block ? now : -1;
    block_answered = false;
    block_echoed = false;
    const qint64 read_at = now + crossing(request);
    if (echoes || gone || f.what == act::echoed)
        on_the_way.emplace(read_at, arrival{request, taken, false, true});
    if (!gone && f.what != act::lose)
        answer(request, f);
    return size;
}

// The device reads the request once it has crossed the line and it is free, and its reply
// leaves once the line is free of the replies before it.
void port::answer(const QByteArray &request, const fault &f)
{
    const quint8 command = request.size() > 2 ? quint8(request[2]) : 0;
    const qint64 read_at = std::max(now + crossing(request), busy_until);
    QByteArray reply = f.what == act::error ? error_reply(command) : target.carry_out(request);
    if (reply.isEmpty() || f.what == act::lose_reply)
        return;
    // A late reply leaves by itself, and later ones may pass it.
    const bool late = f.what == act::late || f.what == act::blocked;
    const qint64 leaves = late ? read_at + device_us + f.delay_us : std::max(read_at + device_us, line_free);
    const qint64 at = leaves + crossing(reply);
    if (!late)
        line_free = at;
    if (f.what == act::blocked)
        busy_until = at;
    // Later than three reply waits after its request, by its own delay or behind a busy
    // device's: past every deadline for an owed reply.
    const bool past_deadlines = at - now > qint64(3) * reply_wait_ms(command) * 1000;
    switch (f.what) {
    case act::twice: schedule(at, reply + reply, past_deadlines); break;
    case act::copy:
        schedule(at, reply, past_deadlines);
        schedule(at + f.delay_us, reply, true);
        break;
    case act::corrupt:
        reply[reply.size() - 1] = char(reply.at(reply.size() - 1) + 1);
        schedule(at, reply);
        break;
    case act::stray: schedule(at, QByteArray(1, '\0') + reply, past_deadlines); break;
    case act::split:
        schedule(at, reply.left(3), past_deadlines);
        schedule(at + f.delay_us, reply.mid(3), past_deadlines);
        break;
    default: schedule(at, reply, past_deadlines); break;
    }
}

void port::deliver()
{
    while (!on_the_way.empty() && on_the_way.begin()->first <= now) {
        const arrival &a = on_the_way.begin()->second;
        note_arrival(a);
        arrived += a.bytes;
        on_the_way.erase(on_the_way.begin());
    }
}

void port::note_arrival(const arrival &a)
{
    if (block_at < 0 || block_answered)
        return;
    if (a.echo) {
        block_echoed = block_echoed || a.answers == taken;
        return;
    }
    // On a line that echoes, what comes ahead of the echo was sent before the request.
    if (a.old && now - block_at <= untellable_us && (!echoes || block_echoed))
        ambiguous = true;
    block_answered = !a.old && a.answers == taken;
}

bool port::waitForReadyRead(int msecs)
{
    deliver();
    if (!arrived.isEmpty())
        return true;
    const qint64 until = now + qint64(msecs) * 1000;
    if (!on_the_way.empty() && on_the_way.begin()->first <= until) {
        now = on_the_way.begin()->first;
        deliver();
        return true;
    }
    now = until;
    return false;
}

QByteArray port::readAll()
{
    deliver();
    QByteArray out;
    out.swap(arrived);
    return out;
}

} // namespace scripted
