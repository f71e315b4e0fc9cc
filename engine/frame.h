#pragma once

#include "outcome.h"

#include <QByteArray>
#include <QtGlobal>

// The bootloader's framed protocol: AA, length, command, payload, 16-bit sum (big-endian).
// Everything here is pure so it can be checked byte for byte without a port.
namespace frame {

constexpr quint8 start_byte = 0xAA;
constexpr quint8 error_bit = 0x80; // set in a reply's command byte by an error reply
constexpr int overhead = 5;        // start, length, command and the two checksum bytes
constexpr int max_length = 255;    // what the length byte can describe

enum command : quint8 {
    cmd_handshake = 0x01,
    cmd_start = 0x02,
    cmd_info = 0x04,
    cmd_erase = 0x05,
    cmd_write = 0x06,
};
// Every command above, in the order of their codes.
constexpr quint8 commands[] = {cmd_handshake, cmd_start, cmd_info, cmd_erase, cmd_write};

// Reply waits in milliseconds, per command. A bootloader checks the whole image before it
// answers the start request, which takes a large image a while: up to 2 s is confirmed.
constexpr int handshake_wait_ms = 200;
constexpr int start_wait_ms = 2500;
constexpr int info_wait_ms = 200;
constexpr int erase_wait_ms = 3000;
constexpr int write_wait_ms = 500;

// The transfer never sends more data bytes than this in one block.
constexpr int block_size = 52;
// What one write request can carry at all.
constexpr int max_block_data = max_length - 10;

// Arithmetic sum of the bytes, kept to 16 bits.
quint16 checksum(const char *data, int size);
inline quint16 checksum(const QByteArray &bytes) { return checksum(bytes.constData(), bytes.size()); }

// Whole frame for a command and payload; empty when it would not fit the length byte.
QByteArray build(quint8 command, const QByteArray &payload);

// True when the bytes received are exactly one frame: the length byte matches the count
// and the trailing sum matches. Nothing is trimmed: a stray byte spoils the whole reply.
bool is_complete(const QByteArray &buffer);

void append_be32(QByteArray &out, quint32 value);
quint32 read_be32(const QByteArray &bytes, int offset); // caller guarantees offset + 4 <= size

// Requests, byte for byte as the bootloader expects them.
QByteArray handshake_request();
QByteArray info_request();
QByteArray erase_request(quint32 start, quint32 end);
QByteArray write_request(quint32 address, const char *data, int size); // size 0..245
QByteArray start_request(quint32 address);

// The erase range of an image of `size` bytes at `base`: false when its end would pass the
// 32-bit address space, where the end address cannot be said and the blocks would wrap to 0.
bool erase_range(quint32 base, qint64 size, quint32 *end);

// A whole frame that answers another of the protocol's commands than `awaited` (an error
// reply included): a late answer to an earlier request, never the answer to this one, nor a
// wrong one.
bool is_stale(const QByteArray &frame_bytes, quint8 awaited);
// Removes the whole stale frames at the front of what has arrived so far; returns the
// commands they answer, one byte each. A frame byte for byte the request just sent (`own`)
// is its echo on the line, never an answer: it is removed as well, answers nothing, and
// counted in *echoes.
QByteArray drop_stale_front(QByteArray &buffer, quint8 awaited, const QByteArray &own = {},
                            int *echoes = nullptr);
// Takes every whole frame out of bytes that are being thrown away, noise included, and
// returns the commands they answer; an unfinished frame at the end stays for the next call.
// An echo of `own` answers nothing.
QByteArray take_replies(QByteArray &pending, const QByteArray &own = {});

// A line that echoes on purpose gives back every byte sent before the device's reply. Takes
// what of `due` (the bytes still to come back) is at the front of `buffer` out of both;
// false when the line gave back other bytes: the exchange is spoiled.
bool take_echo(QByteArray &buffer, QByteArray &due);
// What is at the front of what arrived, on a line that echoes, while the echo of `own` is
// still due: not enough yet to tell; `own` itself; another whole frame (sent before `own`
// went out); or bytes that are neither, which spoil the exchange. *length is the echo's or
// the frame's.
enum class echo_front { waiting, echo, frame, spoiled };
echo_front echo_at_front(const QByteArray &buffer, const QByteArray &own, int *length);

// How many copies of one whole frame the bytes are, back to back; 0 when they are not.
int repeats(const QByteArray &buffer);

// Verdict on one reply. log_line is the rejection line number to log, 0 when nothing is
// logged.
struct verdict
{
    outcome::status status = outcome::no_reply;
    int log_line = 0;
    quint32 address = 0; // the device address, for an accepted information reply
};

// Replies too short to carry the four bytes at offsets 3 to 6 are wrong answers;
// they are never read past their end.
constexpr int min_payload_reply = 7;

verdict judge_handshake(const QByteArray &reply);
verdict judge_info(const QByteArray &reply);
verdict judge_erase(const QByteArray &reply);
verdict judge_write(const QByteArray &reply);
// Only the start command's own acceptance confirms the image: the bootloader checked it and
// jumps into it. Its error reply is a refusal.
verdict judge_start(const QByteArray &reply);

// Line numbers written with the rejection log, one per failed check.
namespace line {
constexpr int info_error = 239;
constexpr int info_start = 243;
constexpr int info_command = 247;
constexpr int info_short = 251;
constexpr int erase_range = 287;
constexpr int erase_error = 291;
constexpr int erase_start = 295;
constexpr int erase_command = 299;
constexpr int write_start = 383;
constexpr int write_command = 387;
constexpr int start_error = 421;
constexpr int start_start = 423;
constexpr int start_command = 425;
} // namespace line

// "00 0A FF", for logs and traces.
QByteArray hex(const QByteArray &bytes);

} // namespace frame
