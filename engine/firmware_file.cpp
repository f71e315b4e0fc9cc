#include "firmware_file.h"

#include <algorithm>
#include <cstring>

namespace firmware_file {

namespace {

constexpr quint64 address_space = quint64(1) << 32;

QString hex_address(quint64 value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(8, QLatin1Char('0'));
}

QString hex_byte(int value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool all_hex(const char *p, int n)
{
    return std::all_of(p, p + n, [](char c) { return hex_digit(c) >= 0; });
}

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// A UTF-8 byte order mark, which some editors put in front of a text file.
int bom_length(const QByteArray &text)
{
    return text.startsWith("\xEF\xBB\xBF") ? 3 : 0;
}

// The lines of a text file, numbered from 1, without their surrounding blanks.
class lines
{
public:
    explicit lines(const QByteArray &text) : text(text), at(bom_length(text)) {}

    bool next()
    {
        if (at >= text.size())
            return false;
        ++number;
        int end = text.indexOf('\n', at);
        if (end < 0)
            end = text.size();
        begin = at;
        stop = end;
        at = end + 1;
        while (begin < stop && blank(text[begin]))
            ++begin;
        while (stop > begin && blank(text[stop - 1]))
            --stop;
        return true;
    }
    const char *data() const { return text.constData() + begin; }
    int size() const { return stop - begin; }
    int line() const { return number; }

private:
    const QByteArray &text;
    int at;
    int begin = 0;
    int stop = 0;
    int number = 0;
};

// Hex digit pairs to bytes; empty `why` when they all were.
QByteArray decode_pairs(const char *p, int n, QString *why)
{
    if (n % 2 != 0) {
        *why = QStringLiteral("an odd number of hex digits (%1)").arg(n);
        return {};
    }
    QByteArray out(n / 2, Qt::Uninitialized);
    for (int i = 0; i < n; i += 2) {
        const int hi = hex_digit(p[i]);
        const int lo = hex_digit(p[i + 1]);
        if (hi < 0 || lo < 0) {
            const char bad = hi < 0 ? p[i] : p[i + 1];
            *why = QStringLiteral("\"%1\" is not a hex digit").arg(QString::fromLatin1(&bad, 1));
            return {};
        }
        out[i / 2] = char(hi << 4 | lo);
    }
    return out;
}

int byte_at(const QByteArray &b, int i)
{
    return quint8(b[i]);
}

quint64 big_endian(const QByteArray &b, int from, int width)
{
    quint64 v = 0;
    for (int i = 0; i < width; ++i)
        v = v << 8 | quint64(byte_at(b, from + i));
    return v;
}

int sum_bytes(const QByteArray &b, int from, int to)
{
    int sum = 0;
    for (int i = from; i < to; ++i)
        sum += byte_at(b, i);
    return sum & 0xFF;
}

// Data as the file places it, before it becomes one array.
struct piece
{
    quint64 address;
    int offset; // into collector::data
    int length;
    int origin; // the line or program header it came from
};

struct collector
{
    QByteArray data;
    QVector<piece> pieces;

    void add(quint64 address, const char *bytes, int length, int origin)
    {
        if (length <= 0)
            return;
        pieces.append({address, data.size(), length, origin});
        data.append(bytes, length);
    }
};

converted refused(const QString &why)
{
    converted c;
    c.error = why;
    return c;
}

QString where(const char *origin, int n)
{
    return QStringLiteral("%1 %2: ").arg(QLatin1String(origin)).arg(n);
}

// Refuses data past 4 GiB and an image larger than `limit`; empty when neither.
QString check_span(const QVector<piece> &sorted, const char *origin, qint64 limit, quint64 *end)
{
    *end = 0;
    for (const piece &p : sorted) {
        if (p.address >= address_space || p.address + quint64(p.length) > address_space)
            return where(origin, p.origin) + QStringLiteral("data at %1 runs past the 4 GiB address space")
                                                 .arg(hex_address(p.address));
        *end = std::max(*end, p.address + quint64(p.length));
    }
    const quint64 low = sorted.constFirst().address;
    if (*end - low > quint64(limit))
        return QStringLiteral("holds data from %1 to %2, an image of %3 bytes, over the limit of %4 MiB")
            .arg(hex_address(low), hex_address(*end - 1))
            .arg(*end - low)
            .arg(limit / (1024 * 1024));
    return QString();
}

void add_segment(QVector<segment> &segments, const piece &p)
{
    const quint32 address = quint32(p.address);
    if (!segments.isEmpty()) {
        segment &last = segments.last();
        const quint64 last_end = quint64(last.address) + last.size;
        if (p.address <= last_end) {
            last.size = quint32(std::max(last_end, p.address + quint64(p.length)) - last.address);
            return;
        }
    }
    segments.append({address, quint32(p.length)});
}

// Places every piece, in address order; where pieces overlap their bytes must agree.
converted assemble(collector &c, const char *origin, qint64 limit)
{
    if (c.pieces.isEmpty())
        return refused(QStringLiteral("holds no data"));
    std::stable_sort(c.pieces.begin(), c.pieces.end(),
                     [](const piece &a, const piece &b) { return a.address < b.address; });
    quint64 end = 0;
    const QString why = check_span(c.pieces, origin, limit, &end);
    if (!why.isEmpty())
        return refused(why);
    converted out;
    out.address = quint32(c.pieces.constFirst().address);
    out.bytes = QByteArray(int(end - out.address), char(0xFF));
    quint64 covered = out.address;
    for (const piece &p : c.pieces) {
        char *at = out.bytes.data() + (p.address - out.address);
        const char *from = c.data.constData() + p.offset;
        // Sorted by start, so everything below `covered` from here on is already placed.
        const int overlap = int(std::min<quint64>(p.length, covered > p.address ? covered - p.address : 0));
        const auto differ = std::mismatch(at, at + overlap, from);
        if (differ.first != at + overlap)
            return refused(where(origin, p.origin)
                           + QStringLiteral("data at %1 overlaps earlier data with different bytes")
                                 .arg(hex_address(p.address + quint64(differ.first - at))));
        std::memcpy(at, from, size_t(p.length));
        covered = std::max(covered, p.address + quint64(p.length));
        add_segment(out.segments, p);
    }
    return out;
}

// ---- Intel HEX ------------------------------------------------------------------------

struct hex_state
{
    quint64 base = 0;
    bool segmented = false; // type 02: offsets wrap within the 64 KiB segment
    bool ended = false;
};

// One record's meaning, once its checksum has been checked; empty when it was good.
QString hex_record(const QByteArray &r, int line, hex_state &s, collector &c)
{
    const int count = byte_at(r, 0);
    const int offset = int(big_endian(r, 1, 2));
    const int type = byte_at(r, 3);
    const char *data = r.constData() + 4;
    static const int wanted[] = {-1, 0, 2, 4, 2, 4}; // the data length each type must have
    if (type > 5)
        return QStringLiteral("unknown record type %1").arg(hex_byte(type));
    if (wanted[type] >= 0 && count != wanted[type])
        return QStringLiteral("a type %1 record must hold %2 data bytes, this one holds %3")
            .arg(hex_byte(type)).arg(wanted[type]).arg(count);
    if (type == 0) {
        const int first = s.segmented ? std::min(count, 0x10000 - offset) : count;
        c.add(s.base + quint64(offset), data, first, line);
        c.add(s.base, data + first, count - first, line);
    } else if (type == 1) {
        s.ended = true;
    } else if (type == 2 || type == 4) {
        s.segmented = type == 2;
        s.base = big_endian(r, 4, 2) << (type == 2 ? 4 : 16);
    }
    return QString(); // 03 and 05 give the start address, which the bootloader does not take
}

QString hex_line(const lines &l, hex_state &s, collector &c)
{
    if (s.ended)
        return QStringLiteral("a record after the end-of-file record");
    if (l.data()[0] != ':')
        return QStringLiteral("not an Intel HEX record (it does not start with \":\")");
    QString why;
    const QByteArray r = decode_pairs(l.data() + 1, l.size() - 1, &why);
    if (!why.isEmpty())
        return why;
    if (r.size() < 5 || r.size() != byte_at(r, 0) + 5)
        return QStringLiteral("the record is cut short or too long: its length byte says %1 data "
                              "bytes, it holds %2")
            .arg(r.isEmpty() ? 0 : byte_at(r, 0))
            .arg(std::max(0, r.size() - 5));
    const int sum = sum_bytes(r, 0, r.size());
    if (sum != 0)
        return QStringLiteral("checksum %1 is wrong, the record's bytes give %2")
            .arg(hex_byte(byte_at(r, r.size() - 1)), hex_byte((byte_at(r, r.size() - 1) - sum) & 0xFF));
    return hex_record(r, l.line(), s, c);
}

// ---- S-record -------------------------------------------------------------------------

struct srec_state
{
    int data_records = 0;
    int counted = -1; // what the last S5 or S6 record counted; -1 before one
    bool ended = false;
};

int srec_address_width(int type)
{
    static const int widths[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    return widths[type];
}

QString srec_record(const QByteArray &r, int type, int line, srec_state &s, collector &c)
{
    const int width = srec_address_width(type);
    if (r.size() < 2 + width)
        return QStringLiteral("an S%1 record needs at least %2 bytes, this one has %3")
            .arg(type).arg(width + 1).arg(r.size() - 1);
    const quint64 address = big_endian(r, 1, width);
    if (type >= 1 && type <= 3) {
        ++s.data_records;
        c.add(address, r.constData() + 1 + width, r.size() - 2 - width, line);
    } else if (type == 5 || type == 6) {
        if (address != quint64(s.data_records))
            return QStringLiteral("the record count says %1 data records, the file holds %2 before it")
                .arg(address).arg(s.data_records);
        s.counted = s.data_records;
    } else if (type >= 7) {
        s.ended = true;
    }
    return QString();
}

QString srec_line(const lines &l, srec_state &s, collector &c)
{
    if (s.ended)
        return QStringLiteral("a record after the termination record");
    const char *p = l.data();
    if (l.size() < 2 || p[0] != 'S' || p[1] < '0' || p[1] > '9')
        return QStringLiteral("not an S-record (it does not start with \"S0\" to \"S9\")");
    const int type = p[1] - '0';
    if (type == 4)
        return QStringLiteral("S4 is a reserved record type");
    QString why;
    const QByteArray r = decode_pairs(p + 2, l.size() - 2, &why);
    if (!why.isEmpty())
        return why;
    if (r.isEmpty() || r.size() != byte_at(r, 0) + 1)
        return QStringLiteral("the record is cut short or too long: its count byte says %1 bytes, "
                              "it holds %2")
            .arg(r.isEmpty() ? 0 : byte_at(r, 0))
            .arg(std::max(0, r.size() - 1));
    if (sum_bytes(r, 0, r.size()) != 0xFF)
        return QStringLiteral("checksum %1 is wrong, the record's bytes give %2")
            .arg(hex_byte(byte_at(r, r.size() - 1)), hex_byte(~sum_bytes(r, 0, r.size() - 1) & 0xFF));
    return srec_record(r, type, l.line(), s, c);
}

// What to do about a file that ends without a termination record or a count of all its
// data: it may have been cut short, or written without a start address.
QString srec_incomplete(const collector &c)
{
    quint64 low = 0;
    if (!c.pieces.isEmpty())
        low = std::min_element(c.pieces.constBegin(), c.pieces.constEnd(), [](const piece &a, const piece &b) {
                  return a.address < b.address;
              })->address;
    return QStringLiteral("has no termination record (S7, S8 or S9) and no S5 or S6 record that counts all "
                          "its data records: the file may be cut short. If it is whole, write it again with a "
                          "termination record, e.g. srec_cat IN -o OUT -Motorola -execution-start-address %1 "
                          "(korvane does not use the address)")
        .arg(hex_address(low));
}

// ---- ELF ------------------------------------------------------------------------------

class elf_reader
{
public:
    explicit elf_reader(const QByteArray &file)
        : file(file), wide(file.size() > 5 && file[4] == 2), big(file.size() > 5 && file[5] == 2)
    {
    }

    // Callers have checked that [at, at + width) lies inside the file.
    quint64 number(quint64 at, int width) const
    {
        quint64 v = 0;
        for (int i = 0; i < width; ++i) {
            const int index = big ? i : width - 1 - i;
            v = v << 8 | quint8(file[int(at) + index]);
        }
        return v;
    }
    // An address, offset or size: 4 bytes in a 32-bit file, 8 in a 64-bit one.
    quint64 word(quint64 at) const { return number(at, wide ? 8 : 4); }

    const QByteArray &file;
    const bool wide;
    const bool big;
};

QString elf_header_problem(const QByteArray &file)
{
    if (file.size() < 16 || !file.startsWith("\x7f" "ELF"))
        return QStringLiteral("is not an ELF file");
    if (file[4] != 1 && file[4] != 2)
        return QStringLiteral("has class %1, neither 32- nor 64-bit").arg(int(file[4]));
    if (file[5] != 1 && file[5] != 2)
        return QStringLiteral("has byte order %1, neither little- nor big-endian").arg(int(file[5]));
    if (file.size() < (file[4] == 2 ? 64 : 52))
        return QStringLiteral("has its header cut short");
    return QString();
}

// Text saved as UTF-16 (Windows editors call it "Unicode"): a byte order mark, then ASCII
// characters each with a zero byte, as far as the first 256 bytes show.
bool utf16_text(const QByteArray &bytes)
{
    const bool little = bytes.startsWith("\xFF\xFE");
    if (!little && !bytes.startsWith("\xFE\xFF"))
        return false;
    const int end = std::min(bytes.size() & ~1, 256);
    if (end < 4)
        return false;
    for (int i = 2; i < end; i += 2) {
        const quint8 ascii = quint8(bytes[i + (little ? 0 : 1)]);
        const bool control = ascii < 0x20 && ascii != '\t' && ascii != '\n' && ascii != '\r';
        if (bytes[i + (little ? 1 : 0)] != 0 || control)
            return false;
    }
    return true;
}

// One program header: a loadable one with contents in the file adds its bytes.
QString elf_segment(const elf_reader &e, quint64 at, int index, collector &c)
{
    if (e.number(at, 4) != 1) // PT_LOAD
        return QString();
    const quint64 offset = e.word(at + (e.wide ? 8 : 4));
    const quint64 paddr = e.word(at + (e.wide ? 24 : 12));
    const quint64 filesz = e.word(at + (e.wide ? 32 : 16));
    const quint64 size = quint64(e.file.size());
    if (offset > size || filesz > size - offset)
        return where("program header", index)
               + QStringLiteral("its contents lie past the end of the file");
    // Only the part held in the file: the rest (.bss) is zeroed by the program, not flashed.
    c.add(paddr, e.file.constData() + offset, int(filesz), index);
    return QString();
}

// A text of records, line by line (blank lines passed over): a record's problem refuses the
// file with its line, and so does what `lacking` finds missing at its end.
template <typename State, typename Lacking>
converted from_records(const QByteArray &text, qint64 limit,
                       QString (*read)(const lines &, State &, collector &), Lacking lacking)
{
    collector c;
    State s;
    lines l(text);
    while (l.next()) {
        if (l.size() == 0)
            continue;
        const QString why = read(l, s, c);
        if (!why.isEmpty())
            return refused(where("line", l.line()) + why);
    }
    const QString missing = lacking(s, c);
    if (!missing.isEmpty())
        return refused(missing);
    converted out = assemble(c, "line", limit);
    out.unterminated = !s.ended;
    return out;
}

} // namespace

const char *name(format f)
{
    switch (f) {
    case format::binary: return "binary";
    case format::intel_hex: return "Intel HEX";
    case format::srecord: return "S-record";
    case format::elf: return "ELF";
    }
    return "?";
}

format detect(const QByteArray &head)
{
    if (head.startsWith("\x7f" "ELF"))
        return format::elf;
    lines l(head);
    while (l.next()) {
        if (l.size() == 0)
            continue;
        const char *p = l.data();
        if (p[0] == ':' && l.size() >= 11 && all_hex(p + 1, l.size() - 1))
            return format::intel_hex;
        if (p[0] == 'S' && l.size() >= 8 && p[1] >= '0' && p[1] <= '9' && all_hex(p + 2, l.size() - 2))
            return format::srecord;
        break;
    }
    return format::binary;
}

bool looks_like_text(const QByteArray &bytes)
{
    if (utf16_text(bytes))
        return true;
    return std::all_of(bytes.constBegin(), bytes.constEnd(), [](char c) {
        const quint8 b = quint8(c);
        return b >= 0x20 ? b != 0x7F : (b == '\t' || b == '\n' || b == '\r' || b == '\f');
    });
}

QString text_kind(const QByteArray &bytes)
{
    if (utf16_text(bytes))
        return QStringLiteral("UTF-16 text");
    lines l(bytes);
    while (l.next()) {
        if (l.size() == 0)
            continue;
        const char first = l.data()[0];
        if (first == '<')
            return QStringLiteral("HTML or XML");
        if (first == '{' || first == '[')
            return QStringLiteral("JSON");
        if (first == '@' && l.size() > 1 && hex_digit(l.data()[1]) >= 0)
            return QStringLiteral("TI-TXT");
        break;
    }
    return QStringLiteral("text");
}

converted from_intel_hex(const QByteArray &text, qint64 limit)
{
    return from_records(text, limit, hex_line, [](const hex_state &s, const collector &) {
        return s.ended ? QString()
                       : QStringLiteral("has no end-of-file record (type 01): the file is incomplete");
    });
}

converted from_srecord(const QByteArray &text, qint64 limit)
{
    // srec_cat writes no termination record for data without a start address; a count of
    // every data record shows the file whole all the same.
    return from_records(text, limit, srec_line, [](const srec_state &s, const collector &c) {
        return s.ended || s.counted == s.data_records ? QString() : srec_incomplete(c);
    });
}

converted from_elf(const QByteArray &file, qint64 limit)
{
    const QString problem = elf_header_problem(file);
    if (!problem.isEmpty())
        return refused(problem);
    const elf_reader e(file);
    const quint64 phoff = e.word(e.wide ? 32 : 28);
    const quint64 entsize = e.number(e.wide ? 54 : 42, 2);
    const quint64 count = e.number(e.wide ? 56 : 44, 2);
    if (count == 0)
        return refused(QStringLiteral("has no program headers: an object file, not a linked program"));
    if (entsize < (e.wide ? 56u : 32u))
        return refused(QStringLiteral("has program headers of %1 bytes, too small").arg(entsize));
    const quint64 size = quint64(file.size());
    if (phoff > size || count * entsize > size - phoff)
        return refused(QStringLiteral("has program headers past the end of the file"));
    collector c;
    for (quint64 i = 0; i < count; ++i) {
        const QString why = elf_segment(e, phoff + i * entsize, int(i), c);
        if (!why.isEmpty())
            return refused(why);
    }
    if (c.pieces.isEmpty())
        return refused(QStringLiteral("has no loadable segment with contents"));
    return assemble(c, "program header", limit);
}

converted convert(format f, const QByteArray &file, qint64 limit)
{
    switch (f) {
    case format::intel_hex: return from_intel_hex(file, limit);
    case format::srecord: return from_srecord(file, limit);
    case format::elf: return from_elf(file, limit);
    case format::binary: break;
    }
    return refused(QStringLiteral("is not a converted format"));
}

} // namespace firmware_file
