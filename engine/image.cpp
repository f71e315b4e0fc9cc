#include "image.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <limits>

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
    return path.split(QLatin1Char('.')).constLast() == QLatin1String("qvb");
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
    }
    return "?";
}

loaded load(const QString &path, qint64 size_cap)
{
    loaded r;
    r.container = is_container(path);
    if (path.isEmpty()) {
        r.error = failure::cannot_open;
        return r;
    }
    // Checked before opening: opening a FIFO for reading would block until a writer came.
    const QFileInfo info(path);
    if (!info.exists()) {
        r.error = failure::cannot_open;
        return r;
    }
    if (!info.isFile()) {
        r.error = failure::not_regular;
        return r;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        r.error = failure::cannot_open;
        return r;
    }
    r.file_size = file.size();
    if (file.isSequential()) {
        r.error = failure::not_regular;
        return r;
    }
    if (r.file_size > size_cap) {
        r.error = failure::too_large;
        return r;
    }
    if (!fits(r.file_size)) {
        r.error = failure::too_short;
        return r;
    }
    // Read straight into the finished image's buffer: one copy of the image in memory,
    // however large, and every device of a run is given that same copy.
    QByteArray bytes(int(padded_size_of(r.file_size) + trailer_size), Qt::Uninitialized);
    if (file.read(bytes.data(), r.file_size) != r.file_size) {
        r.error = failure::short_read;
        return r;
    }
    r.file_sha256 = QCryptographicHash::hash(QByteArray::fromRawData(bytes.constData(), int(r.file_size)),
                                             QCryptographicHash::Sha256);
    if (r.container)
        shift_bytes(bytes.data(), r.file_size, -1);
    finish(bytes, r.file_size);
    r.bytes = bytes;
    r.padded_size = r.bytes.size() - trailer_size;
    r.stamped_length = read_le32(r.bytes, length_offset);
    r.sum = read_le32(r.bytes, r.padded_size);
    return r;
}

} // namespace image
