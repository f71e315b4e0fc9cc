#pragma once
// The same firmware as build tools write it, from known bytes: Intel HEX, S-record and ELF,
// and the raw binary they all stand for. For the tests and the fuzz targets.

#include <QByteArray>
#include <QVector>

#include <algorithm>

struct firmware_piece
{
    quint32 address;
    QByteArray bytes;
};

// One Intel HEX record with its checksum: ":" LL AAAA TT data CC.
inline QByteArray hex_record(int type, quint16 offset, const QByteArray &data)
{
    QByteArray r;
    r.append(char(data.size())).append(char(offset >> 8)).append(char(offset)).append(char(type)).append(data);
    quint8 sum = 0;
    for (const char c : r)
        sum += quint8(c);
    r.append(char(-sum));
    return ':' + r.toHex().toUpper() + "\r\n";
}

// Extended linear address records as the upper half changes, 16 data bytes a record.
inline QByteArray to_intel_hex(const QVector<firmware_piece> &pieces)
{
    QByteArray out;
    int upper = -1;
    for (const firmware_piece &p : pieces)
        for (int i = 0; i < p.bytes.size();) {
            const quint32 at = p.address + quint32(i);
            if (int(at >> 16) != upper) {
                upper = int(at >> 16);
                out += hex_record(4, 0, QByteArray().append(char(upper >> 8)).append(char(upper)));
            }
            const int n = int(std::min<quint32>({16u, quint32(p.bytes.size() - i), 0x10000u - (at & 0xFFFF)}));
            out += hex_record(0, quint16(at), p.bytes.mid(i, n));
            i += n;
        }
    return out + hex_record(1, 0, {});
}

// One S-record with its checksum; `width` address bytes.
inline QByteArray s_record(int type, quint32 address, int width, const QByteArray &data)
{
    QByteArray r;
    r.append(char(width + data.size() + 1));
    for (int i = width - 1; i >= 0; --i)
        r.append(char(address >> (8 * i)));
    r.append(data);
    quint8 sum = 0;
    for (const char c : r)
        sum += quint8(c);
    r.append(char(~sum));
    return 'S' + QByteArray::number(type) + r.toHex().toUpper() + '\n';
}

// S1, S2 or S3 data records (`width` 2, 3 or 4) behind an S0 header, with an S5 count and a
// termination record; without one when not `terminated`, as srec_cat writes data that has no
// start address.
inline QByteArray to_srecord(const QVector<firmware_piece> &pieces, int width, bool terminated = true)
{
    QByteArray out = s_record(0, 0, 2, "korvane");
    int records = 0;
    for (const firmware_piece &p : pieces)
        for (int i = 0; i < p.bytes.size(); i += 32, ++records)
            out += s_record(width - 1, p.address + quint32(i), width, p.bytes.mid(i, 32));
    out += s_record(5, quint32(records), 2, {});
    return terminated ? out + s_record(11 - width, 0, width, {}) : out;
}

// A linked program: each piece a loadable segment at its physical address (its virtual
// one elsewhere, as initialised data has it), behind a .bss segment with no file contents.
inline QByteArray to_elf(const QVector<firmware_piece> &pieces, bool wide, bool big)
{
    const int header = wide ? 64 : 52;
    const int entry = wide ? 56 : 32;
    const int count = pieces.size() + 1;
    QByteArray out(header + count * entry, '\0');
    const auto put = [&out, big](int at, quint64 value, int width) {
        for (int i = 0; i < width; ++i)
            out[at + (big ? width - 1 - i : i)] = char(value >> (8 * i));
    };
    const int word = wide ? 8 : 4;
    out.replace(0, 4, "\x7f" "ELF");
    out[4] = char(wide ? 2 : 1);
    out[5] = char(big ? 2 : 1);
    out[6] = 1;
    put(16, 2, 2);                  // an executable
    put(18, 40, 2);                 // for ARM
    put(wide ? 32 : 28, quint64(header), word);
    put(wide ? 54 : 42, quint64(entry), 2);
    put(wide ? 56 : 44, quint64(count), 2);
    const auto program = [&](int index, quint64 offset, quint64 vaddr, quint64 paddr, quint64 filesz, quint64 memsz) {
        const int at = header + index * entry;
        put(at, 1, 4); // PT_LOAD
        put(at + (wide ? 8 : 4), offset, word);
        put(at + (wide ? 16 : 8), vaddr, word);
        put(at + (wide ? 24 : 12), paddr, word);
        put(at + (wide ? 32 : 16), filesz, word);
        put(at + (wide ? 40 : 20), memsz, word);
    };
    program(0, 0, 0x20001000, 0x20001000, 0, 0x400);
    for (int i = 0; i < pieces.size(); ++i) {
        program(i + 1, quint64(out.size()), 0x20000000 + quint64(i) * 0x100, pieces[i].address,
                quint64(pieces[i].bytes.size()), quint64(pieces[i].bytes.size()));
        out += pieces[i].bytes;
    }
    return out;
}

// Known bytes as a raw binary of the same firmware holds them: from the lowest address,
// gaps 0xFF.
inline QByteArray as_binary(const QVector<firmware_piece> &pieces)
{
    quint32 low = pieces.constFirst().address;
    quint32 end = 0;
    for (const firmware_piece &p : pieces) {
        low = std::min(low, p.address);
        end = std::max(end, p.address + quint32(p.bytes.size()));
    }
    QByteArray out(int(end - low), char(0xFF));
    for (const firmware_piece &p : pieces)
        out.replace(int(p.address - low), p.bytes.size(), p.bytes);
    return out;
}

inline QByteArray seeded_bytes(int size, quint32 seed)
{
    QByteArray out(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        out[i] = char(seed >> 16);
    }
    return out;
}
