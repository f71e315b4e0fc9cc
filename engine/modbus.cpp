#include "modbus.h"

#include <QStringList>

namespace modbus {

namespace {

constexpr quint16 table_value(int i)
{
    quint16 r = quint16(i);
    for (int bit = 0; bit < 8; ++bit)
        r = (r & 1) ? quint16((r >> 1) ^ 0xA001) : quint16(r >> 1);
    return r;
}

constexpr crc_table make_table(bool high_byte)
{
    crc_table t{};
    for (int i = 0; i < 256; ++i)
        t[i] = quint8(high_byte ? table_value(i) >> 8 : table_value(i) & 0xFF);
    return t;
}

} // namespace

const crc_table crc_table_hi = make_table(false);
const crc_table crc_table_lo = make_table(true);

QByteArray crc(const QByteArray &bytes, const crc_table &hi, const crc_table &lo)
{
    quint8 a = 0xFF;
    quint8 b = 0xFF;
    for (char c : bytes) {
        const quint8 i = quint8(c) ^ a;
        a = b ^ hi[i];
        b = lo[i];
    }
    return QByteArray{} + char(a) + char(b);
}

QByteArray write_register_request(int address, int reg, int value, const crc_table &hi,
                                  const crc_table &lo)
{
    QByteArray out;
    out.reserve(8);
    out.append(char(address & 0xFF));
    out.append(char(fn_write_register));
    out.append(char((reg >> 8) & 0xFF));
    out.append(char(reg & 0xFF));
    out.append(char((value >> 8) & 0xFF));
    out.append(char(value & 0xFF));
    out.append(crc(out, hi, lo));
    return out;
}

bool crc_ok(const QByteArray &frame)
{
    return frame.size() >= 3 && crc(frame.left(frame.size() - 2)) == frame.right(2);
}

namespace {

// A field as a message quotes it: a few characters of a long one are enough to find it.
QString quoted(const QString &field)
{
    constexpr int shown = 24;
    return field.size() <= shown ? field : field.left(shown) + QStringLiteral("...");
}

qint32 read_number(const QString &text, bool *ok)
{
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        return text.mid(2).toInt(ok, 16);
    return text.toInt(ok, 10);
}

} // namespace

qint32 parse_number(const QString &text)
{
    // toInt() gives 0 for anything it cannot read, which is the rule here too.
    return read_number(text, nullptr);
}

restart_request parse_descriptor(const QString &descriptor)
{
    restart_request r;
    if (descriptor.isEmpty())
        return r;
    const QStringList fields = descriptor.split(QLatin1Char(','));
    if (fields.at(0) != QLatin1String("modbus") || fields.size() <= 3)
        return r;
    r.send = true;
    r.address = parse_number(fields.at(1));
    r.reg = parse_number(fields.at(2));
    for (int i = 3; i < fields.size(); ++i)
        r.values.append(parse_number(fields.at(i)));
    return r;
}

QString descriptor_problem(const QString &descriptor)
{
    if (descriptor.isEmpty())
        return {};
    const QStringList fields = descriptor.split(QLatin1Char(','));
    if (fields.at(0) != QLatin1String("modbus"))
        return QStringLiteral("it does not begin with \"modbus,\", so it would send nothing");
    if (fields.size() <= 3)
        return QStringLiteral("it names no value, so it would send nothing");
    for (int i = 1; i < fields.size(); ++i) {
        const QString name = i == 1 ? QStringLiteral("address") : i == 2 ? QStringLiteral("register")
                                                                         : QStringLiteral("value");
        const qint32 largest = i == 1 ? 0xFF : 0xFFFF;
        bool ok = false;
        const qint32 n = read_number(fields.at(i), &ok);
        if (!ok)
            return QStringLiteral("the %1 \"%2\" is not a number").arg(name, quoted(fields.at(i)));
        if (n < 0 || n > largest)
            return QStringLiteral("the %1 %2 is not within 0 to %3").arg(name, quoted(fields.at(i))).arg(largest);
    }
    return {};
}

} // namespace modbus
