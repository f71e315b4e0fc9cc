#include "frame.h"

#include <algorithm>

namespace frame {

quint16 checksum(const char *data, int size)
{
    quint16 sum = 0;
    for (int i = 0; i < size; ++i)
        sum = quint16(sum + quint8(data[i]));
    return sum;
}

void append_be32(QByteArray &out, quint32 value)
{
    out.append(char(value >> 24));
    out.append(char(value >> 16));
    out.append(char(value >> 8));
    out.append(char(value));
}

quint32 read_be32(const QByteArray &bytes, int offset)
{
    return quint32(quint8(bytes[offset])) << 24 | quint32(quint8(bytes[offset + 1])) << 16
         | quint32(quint8(bytes[offset + 2])) << 8 | quint32(quint8(bytes[offset + 3]));
}

QByteArray build(quint8 command, const QByteArray &payload)
{
    const int length = payload.size() + overhead;
    if (length > max_length)
        return {};
    QByteArray out;
    out.reserve(length);
    out.append(char(start_byte));
    out.append(char(length));
    out.append(char(command));
    out.append(payload);
    const quint16 sum = checksum(out);
    out.append(char(sum >> 8));
    out.append(char(sum));
    return out;
}

bool is_complete(const QByteArray &buffer)
{
    const int n = buffer.size();
    if (n < 2 || quint8(buffer[1]) != n)
        return false;
    // n >= 2 and byte 1 == n, so n - 2 >= 0: the sum covers bytes 0 .. n-3.
    const quint16 stored = quint16(quint8(buffer[n - 2]) << 8 | quint8(buffer[n - 1]));
    return checksum(buffer.constData(), n - 2) == stored;
}

QByteArray handshake_request()
{
    return build(cmd_handshake, QByteArray(4, char(0xAA)));
}

QByteArray info_request()
{
    return build(cmd_info, {});
}

QByteArray erase_request(quint32 start, quint32 end)
{
    QByteArray payload;
    append_be32(payload, start);
    append_be32(payload, end);
    return build(cmd_erase, payload);
}

QByteArray write_request(quint32 address, const char *data, int size)
{
    if (size < 0 || size > max_block_data)
        return {};
    QByteArray payload;
    payload.reserve(5 + size);
    append_be32(payload, address);
    payload.append(char(size));
    payload.append(data, size);
    return build(cmd_write, payload);
}

QByteArray start_request(quint32 address)
{
    QByteArray payload;
    append_be32(payload, address);
    return build(cmd_start, payload);
}

bool erase_range(quint32 base, qint64 size, quint32 *end)
{
    const quint64 last = quint64(base) + quint64(size);
    if (size < 0 || last > 0xFFFFFFFFull)
        return false;
    *end = quint32(last);
    return true;
}

namespace {

quint8 byte_at(const QByteArray &reply, int i) { return quint8(reply[i]); }

// Error bit, then start byte, then command byte: the order every judged reply follows.
// Complete frames are at least 4 bytes long, so bytes 0 and 2 always exist.
verdict judge_common(const QByteArray &reply, quint8 command, int error_line, int start_line,
                     int command_line)
{
    if (reply.isEmpty())
        return {outcome::no_reply, 0, 0};
    if (reply.size() < 3)
        return {outcome::rejected, command_line, 0};
    if (error_line >= 0 && (byte_at(reply, 2) & error_bit))
        return {outcome::rejected, error_line, 0};
    if (byte_at(reply, 0) != start_byte)
        return {outcome::rejected, start_line, 0};
    if (byte_at(reply, 2) != command)
        return {outcome::rejected, command_line, 0};
    return {outcome::accepted, 0, 0};
}

} // namespace

verdict judge_handshake(const QByteArray &reply)
{
    verdict v = judge_common(reply, cmd_handshake, 0, 0, 0);
    if (v.status != outcome::accepted)
        return v;
    if (reply.size() < min_payload_reply)
        return {outcome::rejected, 0, 0};
    const QByteArray request = handshake_request();
    for (int i = 3; i <= 6; ++i)
        if (byte_at(reply, i) != quint8(~quint8(request[i])))
            return {outcome::rejected, 0, 0};
    return v;
}

verdict judge_info(const QByteArray &reply)
{
    verdict v = judge_common(reply, cmd_info, line::info_error, line::info_start, line::info_command);
    if (v.status != outcome::accepted)
        return v;
    if (reply.size() < min_payload_reply)
        return {outcome::rejected, line::info_short, 0};
    v.address = read_be32(reply, 3);
    return v;
}

verdict judge_erase(const QByteArray &reply)
{
    return judge_common(reply, cmd_erase, line::erase_error, line::erase_start, line::erase_command);
}

verdict judge_write(const QByteArray &reply)
{
    // No separate error-bit check: an error reply (0x86) fails the command-byte test.
    return judge_common(reply, cmd_write, -1, line::write_start, line::write_command);
}

verdict judge_start(const QByteArray &reply)
{
    return judge_common(reply, cmd_start, line::start_error, line::start_start, line::start_command);
}

namespace {

bool known_command(quint8 code)
{
    for (const quint8 known : commands) {
        if (code == known)
            return true;
    }
    return false;
}

quint8 answers(const QByteArray &frame_bytes)
{
    return quint8(frame_bytes[2]) & quint8(~error_bit);
}

// Length of the whole frame at the front of `bytes`: > 0 a frame, 0 not yet whole, -1 the
// first byte cannot begin one.
int frame_at_front(const QByteArray &bytes)
{
    if (bytes.isEmpty() || quint8(bytes[0]) != start_byte)
        return -1;
    if (bytes.size() < 2)
        return 0;
    const int length = quint8(bytes[1]);
    if (length < overhead)
        return -1;
    if (bytes.size() < length)
        return 0;
    return is_complete(bytes.left(length)) ? length : -1;
}

} // namespace

bool is_stale(const QByteArray &frame_bytes, quint8 awaited)
{
    return frame_bytes.size() >= overhead && quint8(frame_bytes[0]) == start_byte
           && known_command(answers(frame_bytes)) && answers(frame_bytes) != awaited;
}

QByteArray drop_stale_front(QByteArray &buffer, quint8 awaited, const QByteArray &own, int *echoes)
{
    QByteArray answered;
    for (int length; (length = frame_at_front(buffer)) > 0;) {
        const QByteArray front = buffer.left(length);
        const bool echo = !own.isEmpty() && front == own;
        if (!echo && !is_stale(front, awaited))
            break;
        if (echo && echoes)
            ++*echoes;
        else if (!echo)
            answered.append(char(answers(front)));
        buffer.remove(0, length);
    }
    return answered;
}

bool take_echo(QByteArray &buffer, QByteArray &due)
{
    const int n = std::min(buffer.size(), due.size());
    if (buffer.left(n) != due.left(n))
        return false;
    buffer.remove(0, n);
    due.remove(0, n);
    return true;
}

echo_front echo_at_front(const QByteArray &buffer, const QByteArray &own, int *length)
{
    if (buffer.isEmpty() || (buffer.size() < own.size() && own.startsWith(buffer)))
        return echo_front::waiting;
    if (buffer.startsWith(own)) {
        *length = own.size();
        return echo_front::echo;
    }
    const int whole = frame_at_front(buffer);
    if (whole == 0)
        return echo_front::waiting;
    if (whole < 0)
        return echo_front::spoiled;
    *length = whole;
    return echo_front::frame;
}

int repeats(const QByteArray &buffer)
{
    const int length = frame_at_front(buffer);
    if (length <= 0 || buffer.size() % length != 0)
        return 0;
    const QByteArray first = buffer.left(length);
    for (int at = length; at < buffer.size(); at += length)
        if (buffer.mid(at, length) != first)
            return 0;
    return buffer.size() / length;
}

QByteArray take_replies(QByteArray &pending, const QByteArray &own)
{
    QByteArray answered;
    while (!pending.isEmpty()) {
        const int length = frame_at_front(pending);
        if (length == 0)
            break; // the rest may still come
        if (length < 0) {
            pending.remove(0, 1);
            continue;
        }
        if (own.isEmpty() || pending.left(length) != own)
            answered.append(char(answers(pending.left(length))));
        pending.remove(0, length);
    }
    return answered;
}

QByteArray hex(const QByteArray &bytes)
{
    return bytes.toHex(' ').toUpper();
}

} // namespace frame
