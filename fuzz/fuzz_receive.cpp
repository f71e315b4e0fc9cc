// The receive path's frame check, fed a byte stream in arbitrary pieces the way a serial
// port hands them over: the worker appends each read to its reply and asks
// frame::is_complete after every one, returning the first buffer that passes.
//
// Input: one byte of piece size, then that many stream bytes, repeated. The second half
// of each run builds a frame from the input and checks that exactly that frame, and
// nothing longer or shorter, is taken.
#include "fuzz_check.h"
#include "frame.h"

namespace {

// The frame rule written out independently: the length byte counts every byte, and the
// last two bytes are the big-endian 16-bit sum of all bytes before them.
bool reference_complete(const QByteArray &b)
{
    const int n = b.size();
    if (n < 2 || quint8(b[1]) != n)
        return false;
    unsigned sum = 0;
    for (int i = 0; i < n - 2; ++i)
        sum += quint8(b[i]);
    return (sum & 0xFFFF) == (unsigned(quint8(b[n - 2])) << 8 | quint8(b[n - 1]));
}

// receive_frame's accumulate-and-check, without the port; empty when no prefix at a
// piece boundary was one whole frame.
QByteArray receive(fuzz::reader &in, QByteArray &stream)
{
    QByteArray reply;
    while (in.left() > 0) {
        const QByteArray piece = in.take(in.byte());
        stream += piece;
        reply += piece;
        const fuzz::exact checked(reply);
        const bool complete = frame::is_complete(checked.bytes());
        FUZZ_CHECK(complete == reference_complete(reply));
        if (complete)
            return reply;
    }
    return {};
}

void check_stream(const uint8_t *data, size_t size)
{
    fuzz::reader in(data, size);
    QByteArray stream;
    const QByteArray reply = receive(in, stream);
    if (reply.isEmpty())
        return;
    // Nothing is trimmed or skipped: the reply is all that arrived, from its first byte.
    FUZZ_CHECK(reply == stream);
    FUZZ_CHECK(reply.size() >= 4 && reply.size() <= frame::max_length);
    // A whole frame that starts right is exactly what build() makes of its parts.
    if (quint8(reply[0]) == frame::start_byte && reply.size() >= frame::overhead)
        FUZZ_CHECK(frame::build(quint8(reply[2]), reply.mid(3, reply.size() - frame::overhead))
                   == reply);
    // Frame text for logs covers every byte.
    FUZZ_CHECK(frame::hex(reply).size() == reply.size() * 3 - 1);
}

void check_built_frame(const uint8_t *data, size_t size)
{
    fuzz::reader in(data, size);
    const quint8 command = in.byte();
    const QByteArray payload = in.take(in.byte());
    const QByteArray built = frame::build(command, payload);
    if (payload.size() + frame::overhead > frame::max_length) {
        FUZZ_CHECK(built.isEmpty());
        return;
    }
    FUZZ_CHECK(built.size() == payload.size() + frame::overhead);
    FUZZ_CHECK(frame::is_complete(fuzz::exact(built).bytes()));
    // Split anywhere, the frame completes only with its last byte.
    const int cut = built.isEmpty() ? 0 : in.byte() % built.size();
    FUZZ_CHECK(!frame::is_complete(fuzz::exact(built.left(cut)).bytes()));
    // One more byte behind spoils it for good. A stray byte in front does too, with one
    // exception: 0x00 in front of a 169-byte frame makes the start byte 0xAA (170) read as
    // the length, and the sum still matches. Such a "frame" does not start with 0xAA, so
    // every command's check rejects it as a wrong answer.
    const char stray = char(in.byte());
    FUZZ_CHECK(!frame::is_complete(fuzz::exact(built + stray).bytes()));
    const bool stray_complete = frame::is_complete(fuzz::exact(stray + built).bytes());
    FUZZ_CHECK(stray_complete == (stray == 0 && built.size() + 1 == frame::start_byte));
    // Any change to a single byte is caught (the length byte, or the 16-bit sum).
    QByteArray changed = built;
    const int at = in.byte() % built.size();
    const quint8 delta = quint8(in.byte() | 1);
    changed[at] = char(quint8(changed[at]) + delta);
    FUZZ_CHECK(!frame::is_complete(fuzz::exact(changed).bytes()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check_stream(data, size);
    check_built_frame(data, size);
    return 0;
}
