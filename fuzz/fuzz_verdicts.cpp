// The verdict of every command on any reply that can reach it: each judge gets the same
// bytes, either as they came or made into a complete frame (length byte and sum set), since
// the worker only judges replies that passed the frame check.
//
// Input: one mode byte, then the reply.
#include "fuzz_check.h"
#include "frame.h"

#include <initializer_list>

namespace {

quint8 at(const QByteArray &b, int i) { return quint8(b[i]); }

// Turns the bytes into a frame the receive path would accept (when they fit the length
// byte), optionally forcing the start byte and a command.
QByteArray as_frame(QByteArray b, quint8 mode)
{
    if (b.size() < 4 || b.size() > frame::max_length)
        return b;
    if (mode & 0x02)
        b[0] = char(frame::start_byte);
    if (mode & 0x04) {
        constexpr int count = int(sizeof frame::commands);
        b[2] = char(frame::commands[(mode >> 4) % count] | ((mode & 0x08) ? frame::error_bit : 0));
    }
    b[1] = char(b.size());
    const quint16 sum = frame::checksum(b.constData(), b.size() - 2);
    b[b.size() - 2] = char(sum >> 8);
    b[b.size() - 1] = char(sum);
    return b;
}

void check_common(const frame::verdict &v, const QByteArray &reply, quint8 command)
{
    FUZZ_CHECK(v.status == 1 || v.status == 0 || v.status == -3);
    // Only silence is "no reply"; anything that arrived is accepted or wrong, never retried.
    FUZZ_CHECK((v.status == 0) == reply.isEmpty());
    if (v.status == 1) {
        FUZZ_CHECK(at(reply, 0) == frame::start_byte);
        FUZZ_CHECK(at(reply, 2) == command);
        FUZZ_CHECK(v.log_line == 0);
    }
    if (v.status == 0)
        FUZZ_CHECK(v.log_line == 0 && v.address == 0);
}

// The rejection line names the first check that failed, in the order error bit, start
// byte, command byte, length.
void check_lines(const frame::verdict &v, const QByteArray &reply, quint8 command,
                 std::initializer_list<int> lines)
{
    if (v.status != -3 || reply.size() < 3)
        return;
    const int *line = lines.begin();
    const bool checks_error_bit = lines.size() == 4;
    if (checks_error_bit) {
        if (at(reply, 2) & frame::error_bit) {
            FUZZ_CHECK(v.log_line == line[0]);
            return;
        }
        ++line;
    }
    if (at(reply, 0) != frame::start_byte)
        FUZZ_CHECK(v.log_line == line[0]);
    else if (at(reply, 2) != command)
        FUZZ_CHECK(v.log_line == line[1]);
    else
        FUZZ_CHECK(v.log_line == line[2]);
}

void judge_all(const QByteArray &reply)
{
    const fuzz::exact exact(reply);
    const QByteArray &r = exact.bytes();

    const frame::verdict hs = frame::judge_handshake(r);
    check_common(hs, reply, frame::cmd_handshake);
    FUZZ_CHECK(hs.log_line == 0); // the handshake never logs
    if (hs.status == 1) {
        FUZZ_CHECK(reply.size() >= frame::min_payload_reply);
        for (int i = 3; i <= 6; ++i)
            FUZZ_CHECK(at(reply, i) == 0x55);
    }
    // A port that echoes the request back gets a wrong answer, not a bootloader.
    if (reply == frame::handshake_request())
        FUZZ_CHECK(hs.status == -3);

    const frame::verdict info = frame::judge_info(r);
    check_common(info, reply, frame::cmd_info);
    check_lines(info, reply, frame::cmd_info,
                {frame::line::info_error, frame::line::info_start, frame::line::info_command,
                 frame::line::info_short});
    if (info.status == 1) {
        FUZZ_CHECK(reply.size() >= frame::min_payload_reply);
        FUZZ_CHECK(info.address == frame::read_be32(reply, 3));
    } else {
        FUZZ_CHECK(info.address == 0);
    }

    const frame::verdict erase = frame::judge_erase(r);
    check_common(erase, reply, frame::cmd_erase);
    check_lines(erase, reply, frame::cmd_erase,
                {frame::line::erase_error, frame::line::erase_start, frame::line::erase_command, 0});

    const frame::verdict write = frame::judge_write(r);
    check_common(write, reply, frame::cmd_write);
    check_lines(write, reply, frame::cmd_write,
                {frame::line::write_start, frame::line::write_command, 0});
    // An error reply to a write is never taken for an accepted block.
    if (reply.size() >= 3 && (at(reply, 2) & frame::error_bit))
        FUZZ_CHECK(write.status == -3 && erase.status == -3 && info.status == -3);

    // Only the start's own acceptance confirms the image; its error reply refuses it with a
    // line of its own.
    const frame::verdict start = frame::judge_start(r);
    check_common(start, reply, frame::cmd_start);
    check_lines(start, reply, frame::cmd_start,
                {frame::line::start_error, frame::line::start_start, frame::line::start_command, 0});
    if (start.status == 1)
        FUZZ_CHECK(at(reply, 0) == frame::start_byte && at(reply, 2) == frame::cmd_start);

    // A reply to another command is set aside, never judged, and never one to this command.
    for (const quint8 awaited : {frame::cmd_start, frame::cmd_write, frame::cmd_info})
        if (frame::is_stale(r, awaited))
            FUZZ_CHECK(at(reply, 0) == frame::start_byte
                       && (at(reply, 2) & quint8(~frame::error_bit)) != awaited);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::reader in(data, size);
    const quint8 mode = in.byte();
    const QByteArray raw = in.rest();
    judge_all((mode & 0x01) ? as_frame(raw, mode) : raw);
    return 0;
}
