#include "device.h"

#include "frame.h"
#include "image.h"
#include "modbus.h"

#include <QSaveFile>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace devsim {

namespace {

constexpr int modbus_request_size = 8;
constexpr quint8 modbus_exception_bit = 0x80;
constexpr quint8 modbus_server_failure = 0x04;
constexpr quint8 modbus_read_registers = 0x03; // what a wrong-function reply names instead
constexpr quint8 wrong_start_byte = 0xAB;

// A request is dropped when no byte of it arrives for this long.
constexpr nanos frame_timeout = 100 * ms_ns;
// Modbus RTU ends a frame with a silence; anything but a well-formed write is only judged
// once the line has been quiet this long.
constexpr nanos modbus_gap = 5 * ms_ns;

quint8 byte_at(const QByteArray &bytes, int i) { return quint8(bytes[i]); }

quint16 be16(const QByteArray &bytes, int i)
{
    return quint16(byte_at(bytes, i) << 8 | byte_at(bytes, i + 1));
}

// Rewrites the trailing sum after the frame's bytes were changed on purpose.
void fix_checksum(QByteArray &frame_bytes)
{
    const int n = frame_bytes.size();
    const quint16 sum = frame::checksum(frame_bytes.constData(), n - 2);
    frame_bytes[n - 2] = char(sum >> 8);
    frame_bytes[n - 1] = char(sum);
}

void fix_crc(QByteArray &request)
{
    request.replace(request.size() - 2, 2, modbus::crc(request.left(request.size() - 2)));
}

QByteArray error_reply(quint8 command)
{
    return frame::build(quint8(command | frame::error_bit), {});
}

// Modbus's error reply: an exception response to the write.
QByteArray exception_reply(const QByteArray &request)
{
    QByteArray exception;
    exception.append(request.at(0));
    exception.append(char(modbus::fn_write_register | modbus_exception_bit));
    exception.append(char(modbus_server_failure));
    exception.append(modbus::crc(exception));
    return exception;
}

// The request's own line: what the device took in, with as much as it carries.
void log_request(const QByteArray &request)
{
    const quint8 command = byte_at(request, 2);
    const int size = request.size();
    switch (command) {
    case frame::cmd_erase:
        if (size >= 13)
            event("rx erase 0x%08x 0x%08x", frame::read_be32(request, 3), frame::read_be32(request, 7));
        else
            event("rx erase - -");
        break;
    case frame::cmd_write:
        if (size >= 10)
            event("rx write 0x%08x %d", frame::read_be32(request, 3), byte_at(request, 7));
        else
            event("rx write - -");
        break;
    case frame::cmd_start:
        if (size >= 9)
            event("rx start 0x%08x", frame::read_be32(request, 3));
        else
            event("rx start -");
        break;
    case frame::cmd_handshake:
    case frame::cmd_info:
        event("rx %s", command_name(command));
        break;
    default:
        event("rx unknown 0x%02x", command);
        break;
    }
}

// The command byte a wrong-command reply carries: a real command, just not this one.
quint8 other_command(quint8 command)
{
    return command == frame::cmd_info ? frame::cmd_erase : frame::cmd_info;
}

} // namespace

device::device(const device_config &config, const fault_plan &faults)
    : cfg(config), plan(faults), boot(config.boot), flash(int(config.flash_size), char(0xFF))
{
}

void device::feed(const QByteArray &bytes, nanos at)
{
    input.append(bytes);
    last_input = at;
}

void device::resume(nanos now)
{
    if (!input.isEmpty())
        last_input = std::max(last_input, now);
}

nanos device::quiet_limit() const
{
    // At very slow line speeds a byte alone takes longer than the usual limits.
    const nanos limit = boot ? frame_timeout : modbus_gap;
    return std::max(limit, 4 * cfg.byte_time);
}

nanos device::deadline() const
{
    return input.isEmpty() || line_hung_up ? -1 : last_input + quiet_limit();
}

int device::wanted(const QByteArray &on_the_way) const
{
    if (!boot)
        return std::max(1, modbus_request_size - input.size());
    // Only to choose when to wake: the device itself still sees each byte once it has
    // arrived. Where the bytes do not read plainly as one frame, the next byte will do.
    const QByteArray ahead = input + on_the_way;
    const int at = ahead.indexOf(char(frame::start_byte));
    if (at < 0 || ahead.size() < at + 2)
        return 1;
    const int length = byte_at(ahead, at + 1);
    const int end = length < frame::overhead ? at + 2 : at + length;
    return std::max(1, end - input.size());
}

std::vector<reply_piece> device::take_reply()
{
    std::vector<reply_piece> out;
    out.swap(reply);
    return out;
}

void device::process(nanos now)
{
    while (!line_hung_up && reply.empty()) {
        if (!(boot ? step_boot() : step_app()))
            break;
    }
    if (!line_hung_up && reply.empty())
        expire(now);
}

void device::expire(nanos now)
{
    if (input.isEmpty() || now < last_input + quiet_limit())
        return;
    if (!boot) {
        // Whatever sat on the line was not a request we answer: say what it looked like.
        if (input.size() == modbus_request_size)
            event("modbus 0x%02x 0x%04x 0x%04x ignored", byte_at(input, 0), be16(input, 2),
                  be16(input, 4));
        else
            event("modbus 0x%02x - - ignored", byte_at(input, 0));
    }
    input.clear();
}

bool device::step_app()
{
    if (input.size() < modbus_request_size)
        return false;
    const QByteArray request = input.left(modbus_request_size);
    if (byte_at(request, 1) != modbus::fn_write_register || !modbus::crc_ok(request))
        return false; // judged as a whole once the line goes quiet
    input.remove(0, modbus_request_size);
    handle_modbus(request);
    return true;
}

bool device::step_boot()
{
    const int at = input.indexOf(char(frame::start_byte));
    if (at < 0) {
        input.clear();
        return false;
    }
    input.remove(0, at);
    if (input.size() < 2)
        return false;
    const int length = byte_at(input, 1);
    if (length < frame::overhead) {
        input.remove(0, 1); // no frame is that short: this AA was noise
        return true;
    }
    if (input.size() < length)
        return false;
    const QByteArray request = input.left(length);
    input.remove(0, length);
    if (frame::is_complete(request))
        handle_frame(request);
    return true;
}

bool device::advance_restart(int reg, int value)
{
    if (reg != cfg.restart_register)
        return false;
    if (value == cfg.restart_values.at(restart_progress))
        ++restart_progress;
    else
        restart_progress = value == cfg.restart_values.at(0) ? 1 : 0;
    if (restart_progress < cfg.restart_values.size())
        return false;
    restart_progress = 0;
    return true;
}

void device::handle_modbus(const QByteArray &request)
{
    const int id = byte_at(request, 0);
    const int reg = be16(request, 2);
    const int value = be16(request, 4);
    const bool ours = id == cfg.slave_id;
    event("modbus 0x%02x 0x%04x 0x%04x %s", id, reg, value, ours ? "ok" : "ignored");
    if (looped_back(modbus_name, request))
        return;
    const fault *f = nullptr;
    if (!ours || intercept(modbus_name, request, &f))
        return;
    const bool restart = advance_restart(reg, value);
    respond(request, request, f); // the normal response echoes the request
    if (restart) {
        boot = true;
        event("mode boot");
    }
}

void device::handle_frame(const QByteArray &request)
{
    log_request(request);
    const quint8 command = byte_at(request, 2);
    const char *name = command_name(command);
    if (looped_back(name, request))
        return;
    const fault *f = nullptr;
    if (!intercept(name, request, &f))
        respond(carry_out(request, command, name), request, f);
}

// What the line itself does with a request before the device sees it: true when the device
// is gone and the line has sent the request back; else the request's echo goes ahead of
// whatever the device answers, where the line echoes.
bool device::looped_back(const char *name, const QByteArray &request)
{
    if (gone) {
        reply.push_back({request, 0});
        return true;
    }
    const bool echo_fault = plan.echoes(name);
    if (echo_fault)
        event("fault echo %s", name);
    if (cfg.echo || echo_fault)
        reply.push_back({request, 0});
    return false;
}

// Looks up the fault for a request and prints its event. True when the fault leaves the
// request undone: lost, hung up, or rejected with the error reply. Otherwise *applied is
// the fault (or nullptr) that changes the reply once the request is carried out.
bool device::intercept(const char *name, const QByteArray &request, const fault **applied)
{
    const fault *f = plan.take(name);
    *applied = f;
    if (!f)
        return false;
    if (f->timed())
        event("fault %s %s %d", f->kind_text, name, f->arg_ms);
    else
        event("fault %s %s", f->kind_text, name);
    switch (f->kind) {
    case fault_kind::none:
        return true;
    case fault_kind::hangup:
        hang_up();
        return true;
    case fault_kind::gone:
        gone = true;
        reply.push_back({request, 0});
        return true;
    case fault_kind::error:
        respond(boot ? error_reply(byte_at(request, 2)) : exception_reply(request), request, nullptr);
        return true;
    default:
        return false;
    }
}

QByteArray device::carry_out(const QByteArray &request, quint8 command, const char *name)
{
    const int size = request.size();
    bool ok = false;
    QByteArray payload;
    switch (command) {
    case frame::cmd_handshake:
        ok = size == 9;
        if (ok)
            for (int i = 3; i < 7; ++i)
                payload.append(char(~byte_at(request, i)));
        break;
    case frame::cmd_info:
        ok = size == 5;
        frame::append_be32(payload, cfg.base);
        break;
    case frame::cmd_erase:
        ok = size == 13 && erase(frame::read_be32(request, 3), frame::read_be32(request, 7));
        break;
    case frame::cmd_write:
        ok = size >= 10 && write(frame::read_be32(request, 3), request);
        break;
    case frame::cmd_start:
        if (size == 9)
            return start_program();
        break;
    default:
        break;
    }
    if (!ok) {
        event("tx error %s", name);
        return error_reply(command);
    }
    return frame::build(command, payload);
}

bool device::erase(quint64 start, quint64 end)
{
    if (start < cfg.base || end < start || end > quint64(cfg.base) + cfg.flash_size)
        return false;
    erased = true;
    erase_start = start;
    erase_end = end;
    std::memset(flash.data() + (start - cfg.base), 0xFF, size_t(end - start));
    return true;
}

// A write request of at least 10 bytes: stored when its length byte matches the frame and
// the whole block lies inside the last erased range.
bool device::write(quint64 address, const QByteArray &request)
{
    const int length = byte_at(request, 7);
    if (request.size() != length + 10 || !erased || address < erase_start
        || address + quint64(length) > erase_end)
        return false;
    std::memcpy(flash.data() + (address - cfg.base), request.constData() + 8, size_t(length));
    unsaved_writes = unsaved_writes || length > 0;
    return true;
}

QByteArray device::start_program()
{
    if (!erased) {
        // Nothing was ever loaded: the bootloader jumps into empty flash and stays silent.
        event("image none");
        return {};
    }
    const bool ok = check_image();
    save();
    if (ok)
        return frame::build(frame::cmd_start, {});
    // The bootloader will not jump into an image that fails its own check.
    event("tx error start");
    return error_reply(frame::cmd_start);
}

// Prints the image line; true when the image passes.
bool device::check_image()
{
    const qint64 range = qint64(erase_end - erase_start);
    const char *bytes = flash.constData() + (erase_start - cfg.base);
    if (range < image::trailer_size) {
        event("image bad stamp=- expected=- sum=- expected=-");
        return false;
    }
    const qint64 length = range - image::trailer_size;
    const quint32 expected_sum = image::sum32(bytes, length);
    const QByteArray tail = QByteArray::fromRawData(bytes + length, image::trailer_size);
    const quint32 sum = image::read_le32(tail, 0);
    // The stamp must lie inside the image, in front of the trailing sum.
    const bool has_stamp = length >= image::min_padded_size;
    const quint32 stamp =
        has_stamp ? image::read_le32(QByteArray::fromRawData(bytes, int(length)), image::length_offset) : 0;
    if (has_stamp && stamp == quint32(length) && sum == expected_sum) {
        event("image ok length=%lld sum=0x%08X", static_cast<long long>(length), sum);
        return true;
    }
    char stamp_text[16] = "-";
    if (has_stamp)
        std::snprintf(stamp_text, sizeof stamp_text, "%u", stamp);
    event("image bad stamp=%s expected=%lld sum=0x%08X expected=0x%08X", stamp_text,
          static_cast<long long>(length), sum, expected_sum);
    return false;
}

void device::save()
{
    if (cfg.save_path.isEmpty())
        return;
    const QByteArray bytes =
        erased ? flash.mid(int(erase_start - cfg.base), int(erase_end - erase_start)) : QByteArray();
    QSaveFile file(cfg.save_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        std::fprintf(stderr, "korvane-devsim: cannot save %s: %s\n", qPrintable(cfg.save_path),
                     qPrintable(file.errorString()));
        return;
    }
    unsaved_writes = false;
    event("saved %s bytes=%d", cfg.save_path.toLocal8Bit().constData(), bytes.size());
}

void device::finish()
{
    if (unsaved_writes)
        save();
}

void device::hang_up()
{
    line_hung_up = true;
    input.clear();
    event("hangup");
}

void device::respond(const QByteArray &normal, const QByteArray &request, const fault *f)
{
    // Without a fault, `none` stands for "unchanged": a lost request never gets here.
    const fault_kind kind = f ? f->kind : fault_kind::none;
    const QByteArray out = disturb(normal, request, kind);
    if (out.isEmpty()) // a request that gets no reply has nothing to disturb
        return;
    const nanos arg = f ? nanos(f->arg_ms) * ms_ns : 0;
    switch (kind) {
    case fault_kind::delay:
        reply.push_back({out, arg});
        break;
    case fault_kind::late:
        reply.push_back({out, arg, true});
        break;
    case fault_kind::split:
        if (out.size() > 3) {
            reply.push_back({out.left(3), 0});
            reply.push_back({out.mid(3), arg});
        } else {
            reply.push_back({out, 0});
        }
        break;
    case fault_kind::twice:
        reply.push_back({out, 0});
        reply.push_back({out, arg, true});
        break;
    default:
        reply.push_back({out, 0});
        break;
    }
}

// The reply as a fault of this kind changes its bytes; the normal one for other kinds.
QByteArray device::disturb(QByteArray out, const QByteArray &request, fault_kind kind) const
{
    const bool modbus = !boot;
    if (kind == fault_kind::loopback)
        return request;
    if (kind == fault_kind::short_frame) {
        if (!modbus)
            return frame::build(byte_at(request, 2), {});
        out = request.left(2); // address and function, nothing else
        return out.append(modbus::crc(out));
    }
    if (out.isEmpty())
        return out;
    switch (kind) {
    case fault_kind::corrupt:
        out[out.size() - 1] = char(byte_at(out, out.size() - 1) + 1);
        break;
    case fault_kind::stray:
        out.prepend('\0');
        break;
    case fault_kind::extra:
        out.append('\0');
        break;
    case fault_kind::wrongstart:
        // Modbus: the reply of the next device address.
        out[0] = char(modbus ? byte_at(out, 0) + 1 : wrong_start_byte);
        break;
    case fault_kind::wrongcmd:
        if (modbus)
            out[1] = char(modbus_read_registers | (byte_at(out, 1) & modbus_exception_bit));
        else
            out[2] = char(other_command(byte_at(out, 2) & ~frame::error_bit)
                          | (byte_at(out, 2) & frame::error_bit));
        break;
    default:
        return out;
    }
    // The frame stays whole: only what it says is wrong.
    if (kind == fault_kind::wrongstart || kind == fault_kind::wrongcmd) {
        if (modbus)
            fix_crc(out);
        else
            fix_checksum(out);
    }
    return out;
}

} // namespace devsim
