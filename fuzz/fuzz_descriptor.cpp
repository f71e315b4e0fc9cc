// Product descriptor lines and their numbers, and the restart requests built from them:
// any text must give a clear request list (or none), every number a value, and every
// request a well-formed Modbus frame whose CRC matches a bit-by-bit computation.
//
// Input: one mode byte (UTF-8 or raw UTF-16 text), then the descriptor.
#include "fuzz_check.h"
#include "modbus.h"

#include <QStringList>

#include <cstring>
#include <limits>

namespace {

quint16 crc_bitwise(const QByteArray &data)
{
    quint16 crc = 0xFFFF;
    for (char c : data) {
        crc ^= quint8(c);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return crc;
}

void check_request(qint32 address, qint32 reg, qint32 value)
{
    const QByteArray frame = modbus::write_register_request(address, reg, value);
    FUZZ_CHECK(frame.size() == 8);
    FUZZ_CHECK(quint8(frame[0]) == quint8(address));
    FUZZ_CHECK(quint8(frame[1]) == modbus::fn_write_register);
    FUZZ_CHECK((quint8(frame[2]) << 8 | quint8(frame[3])) == (reg & 0xFFFF));
    FUZZ_CHECK((quint8(frame[4]) << 8 | quint8(frame[5])) == (value & 0xFFFF));
    const quint16 crc = crc_bitwise(frame.left(6));
    FUZZ_CHECK(quint8(frame[6]) == (crc & 0xFF) && quint8(frame[7]) == (crc >> 8));
    FUZZ_CHECK(modbus::crc_ok(frame));
}

void check_descriptor(const QString &text)
{
    const modbus::restart_request r = modbus::parse_descriptor(text);
    const QStringList fields = text.split(QLatin1Char(','));
    const bool asks = !text.isEmpty() && fields.at(0) == QLatin1String("modbus") && fields.size() > 3;
    FUZZ_CHECK(r.send == asks);
    // What the programs accept is sent exactly as written.
    if (!text.isEmpty() && modbus::descriptor_problem(text).isEmpty()) {
        FUZZ_CHECK(r.send && r.address >= 0 && r.address <= 0xFF && r.reg >= 0 && r.reg <= 0xFFFF);
        for (const qint32 v : r.values)
            FUZZ_CHECK(v >= 0 && v <= 0xFFFF);
    }
    if (!r.send) {
        FUZZ_CHECK(r.values.isEmpty());
        return;
    }
    FUZZ_CHECK(r.values.size() == fields.size() - 3);
    FUZZ_CHECK(r.address == modbus::parse_number(fields.at(1)));
    FUZZ_CHECK(r.reg == modbus::parse_number(fields.at(2)));
    for (int i = 0; i < r.values.size(); ++i) {
        FUZZ_CHECK(r.values.at(i) == modbus::parse_number(fields.at(i + 3)));
        if (i < 8) // the frame does not depend on the position; a few cover it
            check_request(r.address, r.reg, r.values.at(i));
    }
}

// Plain digits read independently of Qt; -1 when the text is not only digits of its base
// (signs, spaces and the like are left to the real parser) or too long to matter.
qint64 reference_number(const QString &text)
{
    QString digits = text;
    int base = 10;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        digits = text.mid(2);
        base = 16;
    }
    if (digits.isEmpty() || digits.size() > 14)
        return -1;
    qint64 value = 0;
    for (const QChar c : digits) {
        const int d = c >= QLatin1Char('0') && c <= QLatin1Char('9') ? c.unicode() - '0'
                    : base == 16 && c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f')
                        ? c.toLower().unicode() - 'a' + 10
                        : -1;
        if (d < 0 || c.unicode() > 0x7F)
            return -1;
        value = value * base + d;
    }
    return value;
}

// Numbers: a number the tool itself writes reads back as that number, in decimal and in
// hexadecimal with either prefix; digits beyond 32 bits, and fields that are not numbers,
// read as 0 and never fail.
void check_numbers(const QString &text, qint32 n)
{
    FUZZ_CHECK(modbus::parse_number(QString::number(n)) == n);
    if (n >= 0) {
        FUZZ_CHECK(modbus::parse_number(QStringLiteral("0x") + QString::number(n, 16)) == n);
        FUZZ_CHECK(modbus::parse_number(QStringLiteral("0X") + QString::number(n, 16).toUpper()) == n);
    }
    FUZZ_CHECK(modbus::parse_number(QString::number(qint64(n) + (qint64(1) << 32))) == 0);
    const qint32 v = modbus::parse_number(text);
    const qint64 expected = reference_number(text);
    if (expected >= 0)
        FUZZ_CHECK(v == (expected <= std::numeric_limits<qint32>::max() ? expected : 0));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::reader in(data, size);
    const quint8 mode = in.byte();
    qint32 n = 0;
    for (int i = 0; i < 4; ++i)
        n = qint32(quint32(n) << 8 | in.byte());
    const QByteArray bytes = in.rest();
    QString text;
    if (mode & 1) { // any UTF-16 code units, lone surrogates included
        text.resize(bytes.size() / 2);
        std::memcpy(text.data(), bytes.constData(), size_t(text.size()) * 2);
    } else {
        text = QString::fromUtf8(bytes);
    }
    check_descriptor(text);
    check_descriptor(QStringLiteral("modbus,") + text);
    check_numbers(text, n);
    check_request(n, n >> 8, n >> 16);
    return 0;
}
