#include "scripted_line.h"

namespace fuzz {

namespace {

int reply_wait_ms(quint8 command)
{
    switch (command) {
    case frame::cmd_erase: return frame::erase_wait_ms;
    case frame::cmd_write: return frame::write_wait_ms;
    case frame::cmd_start: return frame::start_wait_ms;
    default: return frame::info_wait_ms;
    }
}

QByteArray error_reply(quint8 command)
{
    return frame::build(quint8(command | frame::error_bit), {});
}

} // namespace

bool scripted_device::inside(quint64 start, quint64 end) const
{
    return start >= base && end <= quint64(base) + quint64(flash.size()) && start <= end;
}

QByteArray scripted_device::carry_out(const QByteArray &request)
{
    if (!frame::is_complete(request) || request.size() < frame::overhead)
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
QByteArray scripted_device::start_program()
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

act scripted_port::next_act(int *arg)
{
    const quint8 b = script.byte();
    *arg = script.byte();
    if (b < 128)
        return act::answer;
    static const act faults[] = {act::lose,  act::late,  act::blocked, act::twice, act::corrupt,
                                 act::stray, act::error, act::split,   act::echo,  act::very_late};
    return faults[(b - 128) % 10];
}

void scripted_port::schedule(qint64 at, const QByteArray &bytes)
{
    if (!bytes.isEmpty())
        on_the_way.emplace(at, bytes);
}

qint64 scripted_port::write(const char *data, qint64 size)
{
    const QByteArray request(data, int(size));
    ++taken;
    int arg = 0;
    const act what = next_act(&arg);
    if (what == act::lose)
        return size;
    const qint64 start = std::max(now, busy_until);
    const quint8 command = request.size() > 2 ? quint8(request[2]) : 0;
    if (what == act::error) {
        schedule(start, error_reply(command));
        return size;
    }
    QByteArray reply = device.carry_out(request);
    // Late by up to three reply waits: what the worker is built to survive.
    const qint64 late = qint64(reply_wait_ms(command)) * 3 * arg / 256;
    switch (what) {
    case act::late: schedule(start + late, reply); break;
    case act::blocked:
        schedule(start + late, reply);
        busy_until = start + late;
        break;
    case act::twice: schedule(start, reply + reply); break;
    case act::echo:
        schedule(start, reply);
        schedule(start + late, reply);
        ambiguous = ambiguous || !reply.isEmpty();
        break;
    case act::very_late:
        schedule(start + late + qint64(reply_wait_ms(command)) * 3, reply);
        ambiguous = ambiguous || !reply.isEmpty();
        break;
    case act::corrupt:
        if (!reply.isEmpty())
            reply[reply.size() - 1] = char(reply.at(reply.size() - 1) + 1);
        schedule(start, reply);
        break;
    case act::stray: schedule(start, reply.isEmpty() ? reply : QByteArray(1, '\0') + reply); break;
    case act::split:
        schedule(start, reply.left(3));
        schedule(start + late / 2, reply.mid(3));
        break;
    default: schedule(start, reply); break;
    }
    return size;
}

void scripted_port::deliver()
{
    while (!on_the_way.empty() && on_the_way.begin()->first <= now) {
        arrived += on_the_way.begin()->second;
        on_the_way.erase(on_the_way.begin());
    }
}

bool scripted_port::waitForReadyRead(int msecs)
{
    deliver();
    if (!arrived.isEmpty())
        return true;
    if (!on_the_way.empty() && on_the_way.begin()->first <= now + msecs) {
        now = on_the_way.begin()->first;
        deliver();
        return true;
    }
    now += msecs;
    return false;
}

QByteArray scripted_port::readAll()
{
    deliver();
    QByteArray out;
    out.swap(arrived);
    return out;
}

} // namespace fuzz
