// The Intel HEX, S-record and ELF conversions. Arbitrary bytes: never a crash, and an image
// that agrees with its own segments. Known pieces written out as each format: the image
// is exactly the raw binary of those pieces, or a refusal for the reason the pieces give.
//
// Input: a mode byte. Mode bit 0 clear: the rest is a file for all three conversions.
// Set: pieces (an address byte pair and a length byte each, then their bytes), a format
// from bits 1-2, and a byte offset and value to spoil the written file with (bit 3).
#include "firmware_file.h"
#include "firmware_writers.h"
#include "fuzz_check.h"

#include <map>

namespace {

using firmware_file::converted;

// A small limit, so that gaps over it are common.
constexpr qint64 limit = 64 * 1024;

// Whatever it was given, a converted image is its segments with 0xFF between them.
void check_consistent(const converted &c)
{
    if (!c.ok()) {
        FUZZ_CHECK(c.bytes.isEmpty());
        return;
    }
    FUZZ_CHECK(!c.segments.isEmpty() && c.bytes.size() <= limit);
    FUZZ_CHECK(c.segments.constFirst().address == c.address);
    quint64 at = c.address;
    for (const firmware_file::segment &s : c.segments) {
        // In order, and apart: touching runs are one segment.
        FUZZ_CHECK(s.size > 0 && (at == c.address ? s.address == at : s.address > at));
        for (quint64 a = at; a < s.address; ++a)
            FUZZ_CHECK(quint8(c.bytes[int(a - c.address)]) == 0xFF);
        at = quint64(s.address) + s.size;
    }
    FUZZ_CHECK(at == c.address + quint64(c.bytes.size()));
}

// What the pieces must give: the conflict, the span, or the bytes.
struct reference
{
    bool conflict = false;
    quint64 low = ~quint64(0);
    quint64 end = 0;
    std::map<quint64, char> bytes;
};

reference model(const QVector<firmware_piece> &pieces)
{
    reference r;
    for (const firmware_piece &p : pieces)
        for (int i = 0; i < p.bytes.size(); ++i) {
            const quint64 a = quint64(p.address) + quint64(i);
            const auto placed = r.bytes.emplace(a, p.bytes[i]);
            r.conflict = r.conflict || placed.first->second != p.bytes[i];
            r.low = std::min(r.low, a);
            r.end = std::max(r.end, a + 1);
        }
    return r;
}

void check_pieces(fuzz::reader &in, quint8 mode)
{
    QVector<firmware_piece> pieces;
    const int count = in.byte() % 5;
    const quint32 high = quint32(in.byte()) << 24; // the same region for all, mostly
    for (int i = 0; i < count; ++i) {
        const quint32 spread = (mode & 0x10) ? quint32(in.byte()) << 16 : 0;
        const quint32 address = high | spread | quint32(in.byte()) << 8 | in.byte();
        QByteArray bytes = in.take(in.byte());
        bytes.truncate(int(std::min<quint64>(quint64(bytes.size()), 0x100000000ull - address)));
        pieces.append({address, bytes});
    }
    const int f = (mode >> 1) & 3;
    QByteArray file = f == 0   ? to_intel_hex(pieces)
                      : f == 1 ? to_srecord(pieces, 4)
                               : to_elf(pieces, f == 3, (mode & 0x20) != 0);
    const bool spoiled = (mode & 0x08) && !file.isEmpty();
    if (spoiled)
        file[(in.byte() << 8 | in.byte()) % file.size()] = char(in.byte());
    const converted c = f == 0   ? firmware_file::from_intel_hex(file, limit)
                        : f == 1 ? firmware_file::from_srecord(file, limit)
                                 : firmware_file::from_elf(file, limit);
    check_consistent(c);
    if (spoiled)
        return;
    const reference r = model(pieces);
    if (r.bytes.empty() || r.conflict || r.end - r.low > quint64(limit)) {
        FUZZ_CHECK(!c.ok());
        return;
    }
    FUZZ_CHECK(c.ok() && c.address == r.low && quint64(c.bytes.size()) == r.end - r.low);
    for (quint64 a = r.low; a < r.end; ++a) {
        const auto placed = r.bytes.find(a);
        const char expected = placed == r.bytes.end() ? char(0xFF) : placed->second;
        FUZZ_CHECK(c.bytes[int(a - r.low)] == expected);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::reader in(data, size);
    const quint8 mode = in.byte();
    if (mode & 0x01) {
        check_pieces(in, mode);
        return 0;
    }
    const fuzz::exact file(in.rest());
    firmware_file::detect(file.bytes());
    firmware_file::looks_like_text(file.bytes());
    firmware_file::text_kind(file.bytes());
    check_consistent(firmware_file::from_intel_hex(file.bytes(), limit));
    check_consistent(firmware_file::from_srecord(file.bytes(), limit));
    check_consistent(firmware_file::from_elf(file.bytes(), limit));
    return 0;
}
