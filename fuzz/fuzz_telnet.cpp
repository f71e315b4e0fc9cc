// The network line's receive path: telnet commands and RFC 2217 answers mixed into the
// device's bytes, arriving in pieces of any size. Nothing may crash, and the data that
// comes out must be exactly the data that went in: not a byte lost, none invented.
//
// Input: a byte that picks the test, then either a script (data runs, option commands,
// subnegotiations with 0xFF bytes in them, NOPs) built into a stream the way a server
// sends it, or raw bytes, fed once whole and once in pieces that must decode alike.
#include "fuzz_check.h"
#include "telnet_pieces.h"

namespace {

// Pieces of 1 to 13 bytes, as the seed and the stream pick them.
decoded feed_in_pieces(const QByteArray &wire, quint8 seed)
{
    return decode_in_pieces(wire, [&](int at, int k) { return 1 + (seed + k * 7 + quint8(wire[at])) % 13; });
}

bool same_event(const telnet::event &a, const telnet::event &b)
{
    return a.what == b.what && a.verb == b.verb && a.option == b.option && a.value == b.value;
}

void check_script(fuzz::reader &in, quint8 seed)
{
    QByteArray data, wire;
    std::vector<telnet::event> expected;
    while (in.left() > 0) {
        const quint8 op = in.byte();
        if (op < 150) {
            const QByteArray run = in.take(op % 16 + 1);
            data += run;
            wire += telnet::escape(run);
        } else if (op < 200) {
            const quint8 verb = quint8(telnet::will + op % 4), option = in.byte();
            wire += QByteArray().append(char(telnet::iac)).append(char(verb)).append(char(option));
            expected.push_back({telnet::event::kind::option, verb, option, {}, 0});
        } else if (op < 240) {
            const quint8 command = in.byte();
            const QByteArray value = in.take(in.byte() % 8);
            wire += telnet::subnegotiation(command, value);
            expected.push_back({telnet::event::kind::sub, 0, telnet::com_port,
                                QByteArray(1, char(command)) + value, 0});
        } else {
            wire += QByteArray().append(char(telnet::iac)).append(char(telnet::nop));
        }
    }
    const decoded out = feed_in_pieces(wire, seed);
    FUZZ_CHECK(out.data == data);
    FUZZ_CHECK(out.events.size() == expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        FUZZ_CHECK(same_event(out.events[i], expected[i]));
}

void check_raw(fuzz::reader &in, quint8 seed)
{
    const QByteArray wire = in.take(in.left());
    telnet::decoder whole;
    decoded once;
    const fuzz::exact bytes(wire);
    whole.feed(bytes.bytes().constData(), bytes.bytes().size(), &once.data, &once.events);
    const decoded pieces = feed_in_pieces(wire, seed);
    FUZZ_CHECK(once.data.size() <= wire.size());
    FUZZ_CHECK(pieces.data == once.data);
    FUZZ_CHECK(pieces.events.size() == once.events.size());
    for (size_t i = 0; i < once.events.size(); ++i) {
        FUZZ_CHECK(same_event(pieces.events[i], once.events[i]));
        FUZZ_CHECK(once.events[i].value.size() < telnet::decoder::max_sub);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::reader in(data, size);
    const quint8 mode = in.byte();
    if (mode & 1)
        check_script(in, quint8(mode >> 1));
    else
        check_raw(in, quint8(mode >> 1));
    return 0;
}
