#include "image.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <system_error>

namespace image {

namespace {

// Adds (or with sign -1 subtracts) i mod 255 to byte i, in place.
void shift_bytes(char *data, qint64 size, int sign)
{
    int shift = 0;
    for (qint64 i = 0; i < size; ++i) {
        data[i] = char(quint8(data[i]) + sign * shift);
        if (++shift == 255)
            shift = 0;
    }
}

} // namespace

QByteArray descramble(const QByteArray &data)
{
    QByteArray out = data;
    shift_bytes(out.data(), out.size(), -1);
    return out;
}

QByteArray scramble(const QByteArray &data)
{
    QByteArray out = data;
    shift_bytes(out.data(), out.size(), 1);
    return out;
}

bool is_container(const QString &path)
{
    return path.split(QLatin1Char('.')).constLast().compare(QLatin1String("qvb"), Qt::CaseInsensitive) == 0;
}

quint32 read_le32(const QByteArray &bytes, int offset)
{
    return quint32(quint8(bytes[offset])) | quint32(quint8(bytes[offset + 1])) << 8
         | quint32(quint8(bytes[offset + 2])) << 16 | quint32(quint8(bytes[offset + 3])) << 24;
}

quint32 sum32(const char *data, qint64 size)
{
    quint32 sum = 0;
    for (qint64 i = 0; i < size; ++i)
        sum += quint8(data[i]);
    return sum;
}

namespace {

void put_le32(char *at, quint32 value)
{
    at[0] = char(value);
    at[1] = char(value >> 8);
    at[2] = char(value >> 16);
    at[3] = char(value >> 24);
}

qint64 padded_size_of(qint64 plain_size)
{
    return (plain_size + 3) / 4 * 4;
}

// The four bytes the length stamp will replace, as the padded image holds them: the
// padding's zeros where the plain bytes end before them.
QByteArray under_stamp(const char *plain, qint64 plain_size)
{
    QByteArray out(4, '\0');
    for (int i = 0; i < 4; ++i)
        if (length_offset + i < plain_size)
            out[i] = plain[length_offset + i];
    return out;
}

bool fits(qint64 plain_size)
{
    const qint64 padded = padded_size_of(plain_size);
    return padded >= min_padded_size && padded + trailer_size <= std::numeric_limits<int>::max();
}

// `buffer` holds the plain bytes in its first plain_size bytes and is already as long as the
// finished image: pads with zeros, stamps the length and appends the sum, in place.
void finish(QByteArray &buffer, qint64 plain_size)
{
    const qint64 padded = padded_size_of(plain_size);
    std::fill(buffer.begin() + plain_size, buffer.end(), '\0');
    put_le32(buffer.data() + length_offset, quint32(padded));
    put_le32(buffer.data() + padded, sum32(buffer.constData(), padded));
}

} // namespace

QByteArray derive(const QByteArray &plain)
{
    if (!fits(plain.size()))
        return {};
    QByteArray out(int(padded_size_of(plain.size()) + trailer_size), Qt::Uninitialized);
    std::copy(plain.constBegin(), plain.constEnd(), out.begin());
    finish(out, plain.size());
    return out;
}

const char *describe(failure f)
{
    switch (f) {
    case failure::none: return "ok";
    case failure::cannot_open: return "cannot be opened";
    case failure::not_regular: return "is not a regular file";
    case failure::too_large: return "is too large for a firmware image";
    case failure::short_read: return "could not be read completely";
    case failure::too_short: return "is too short for a firmware image (under 1028 bytes)";
    case failure::not_firmware: return "looks like text, not Intel HEX, S-record or ELF firmware";
    case failure::bad_content: return "cannot be converted";
    }
    return "?";
}

QString explain(const loaded &l)
{
    if (l.error == failure::not_firmware && !l.detail.isEmpty())
        return QStringLiteral("looks like %1, not Intel HEX, S-record or ELF firmware").arg(l.detail);
    if (l.error == failure::bad_content)
        return QStringLiteral("cannot be converted: %1").arg(l.detail);
    if (l.error == failure::cannot_open && l.missing)
        return QStringLiteral("does not exist");
    if (l.error == failure::cannot_open && !l.detail.isEmpty())
        return QStringLiteral("cannot be opened: %1").arg(l.detail);
    return QString::fromLatin1(describe(l.error));
}

QString format_name(const loaded &l)
{
    if (l.container)
        return QStringLiteral("binary (.qvb container)");
    return QString::fromLatin1(firmware_file::name(l.format));
}

bool stamp_overwrites_data(const loaded &l)
{
    return l.stamped_over.size() == 4 && l.stamped_over != QByteArray(4, '\0')
           && l.stamped_over != QByteArray(4, char(0xFF));
}

QString stamp_address(const loaded &l)
{
    if (!l.address)
        return QStringLiteral("the program's start + 0x%1").arg(length_offset, 0, 16);
    return QStringLiteral("0x")
           + QString::number(*l.address + quint32(length_offset), 16).toUpper().rightJustified(8, QLatin1Char('0'));
}

QStringList warnings(const loaded &l)
{
    if (!l.ok() || !stamp_overwrites_data(l))
        return {};
    return {QStringLiteral("the length stamp overwrites bytes %1 to %2 of the image (at %3), which hold "
                           "%4, neither all 00 nor all FF; a firmware not built for this bootloader may "
                           "keep data there")
                .arg(length_offset)
                .arg(length_offset + 3)
                .arg(stamp_address(l), QString::fromLatin1(l.stamped_over.toHex(' ').toUpper()))};
}

namespace {

// Enough of the file's start to know its format.
constexpr qint64 detect_bytes = 4096;

// The format a file's name promises. A file named like one that does not hold it is
// refused rather than written as it stands.
firmware_file::format named_format(const QString &path)
{
    using firmware_file::format;
    static const struct { const char *suffix; format f; } names[] = {
        {"hex", format::intel_hex}, {"ihex", format::intel_hex}, {"ihx", format::intel_hex},
        {"s19", format::srecord},   {"s28", format::srecord},    {"s37", format::srecord},
        {"srec", format::srecord},  {"mot", format::srecord},    {"elf", format::elf},
        {"axf", format::elf},
    };
    const QString suffix = QFileInfo(path).suffix();
    for (const auto &n : names)
        if (suffix.compare(QLatin1String(n.suffix), Qt::CaseInsensitive) == 0)
            return n.f;
    return format::binary;
}

// The system's answer for `path` is that there is no such file (not a folder on the way
// that may not be searched, nor a loop of links, nor a link to nothing).
bool nothing_there(const QString &path)
{
    std::error_code ec;
    const std::filesystem::path native(QFile::encodeName(path).toStdString());
    return std::filesystem::symlink_status(native, ec).type() == std::filesystem::file_type::not_found;
}

// Opens a regular file for reading; none when it is open. Why it cannot be opened is the
// system's answer to the open (a missing file, a folder on the way that may not be
// searched, a loop of links), in *why, and *missing when there is no such file.
failure open_regular(const QString &path, QFile &file, QString *why, bool *missing)
{
    if (path.isEmpty())
        return failure::cannot_open;
    // Checked before opening: opening a FIFO for reading would block until a writer came.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return failure::not_regular;
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        *missing = nothing_there(path);
        return failure::cannot_open;
    }
    if (file.isSequential())
        return failure::not_regular;
    return failure::none;
}

void complete(loaded &r, const QByteArray &bytes)
{
    r.bytes = bytes;
    r.padded_size = r.bytes.size() - trailer_size;
    r.stamped_length = read_le32(r.bytes, length_offset);
    r.sum = read_le32(r.bytes, r.padded_size);
}

// Text, or a name that promises another format, is refused unless the caller said the
// file is binary: written as it stands it would brick the device while the log said ok.
bool refuse_binary(loaded &r, const QByteArray &plain, const QString &path)
{
    if (firmware_file::looks_like_text(plain)) {
        r.error = failure::not_firmware;
        r.detail = firmware_file::text_kind(plain);
        return true;
    }
    const firmware_file::format named = named_format(path);
    if (named == firmware_file::format::binary)
        return false;
    const QString what = QString::fromLatin1(firmware_file::name(named));
    r.error = failure::bad_content;
    r.detail = QStringLiteral("its name says %1, its content is not %1").arg(what);
    return true;
}

void load_binary(QFile &file, const QString &path, bool raw, loaded &r)
{
    if (!fits(r.file_size)) {
        r.error = failure::too_short;
        return;
    }
    // Read straight into the finished image's buffer: one copy of the image in memory,
    // however large, and every device of a run is given that same copy.
    QByteArray bytes(int(padded_size_of(r.file_size) + trailer_size), Qt::Uninitialized);
    if (file.read(bytes.data(), r.file_size) != r.file_size) {
        r.error = failure::short_read;
        return;
    }
    const QByteArray plain = QByteArray::fromRawData(bytes.constData(), int(r.file_size));
    r.file_sha256 = QCryptographicHash::hash(plain, QCryptographicHash::Sha256);
    if (r.container)
        shift_bytes(bytes.data(), r.file_size, -1);
    if (!raw && refuse_binary(r, plain, path))
        return;
    r.stamped_over = under_stamp(bytes.constData(), r.file_size);
    finish(bytes, r.file_size);
    complete(r, bytes);
}

void load_converted(QFile &file, qint64 size_cap, loaded &r)
{
    const QByteArray content = file.readAll();
    if (content.size() != r.file_size) {
        r.error = failure::short_read;
        return;
    }
    r.file_sha256 = QCryptographicHash::hash(content, QCryptographicHash::Sha256);
    const firmware_file::converted c = firmware_file::convert(r.format, content, size_cap);
    if (!c.ok()) {
        r.error = failure::bad_content;
        r.detail = QStringLiteral("%1 %2").arg(QLatin1String(firmware_file::name(r.format)), c.error);
        return;
    }
    const QByteArray bytes = derive(c.bytes);
    if (bytes.isEmpty()) {
        r.error = failure::too_short;
        return;
    }
    r.address = c.address;
    r.segments = c.segments;
    r.unterminated = c.unterminated;
    r.stamped_over = under_stamp(c.bytes.constData(), c.bytes.size());
    complete(r, bytes);
}

} // namespace

loaded load(const QString &path, qint64 size_cap, bool raw)
{
    loaded r;
    r.container = is_container(path);
    QFile file;
    r.error = open_regular(path, file, &r.detail, &r.missing);
    if (!r.ok())
        return r;
    r.file_size = file.size();
    r.format = raw ? firmware_file::format::binary : firmware_file::detect(file.peek(detect_bytes));
    if (r.format != firmware_file::format::binary)
        r.container = false; // its content says what it is, whatever its name
    const qint64 cap = r.format == firmware_file::format::binary ? size_cap
                                                                 : size_cap * converted_file_factor;
    if (r.file_size > cap) {
        r.error = failure::too_large;
        return r;
    }
    if (r.format == firmware_file::format::binary)
        load_binary(file, path, raw, r);
    else
        load_converted(file, size_cap, r);
    return r;
}

} // namespace image
