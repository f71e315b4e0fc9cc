#include "image.h"

#include <QFile>
#include <QFileInfo>

#include <limits>

namespace image {

QByteArray descramble(const QByteArray &data)
{
    QByteArray out(data.size(), Qt::Uninitialized);
    quint32 shift = 0;
    for (int i = 0; i < data.size(); ++i) {
        out[i] = char(quint8(data[i]) - shift);
        if (++shift == 255)
            shift = 0;
    }
    return out;
}

QByteArray scramble(const QByteArray &data)
{
    QByteArray out(data.size(), Qt::Uninitialized);
    quint32 shift = 0;
    for (int i = 0; i < data.size(); ++i) {
        out[i] = char(quint8(data[i]) + shift);
        if (++shift == 255)
            shift = 0;
    }
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

} // namespace

QByteArray derive(const QByteArray &plain)
{
    const qint64 padded = (qint64(plain.size()) + 3) / 4 * 4;
    if (padded < min_padded_size || padded + trailer_size > std::numeric_limits<int>::max())
        return {};
    QByteArray out(int(padded + trailer_size), '\0');
    std::copy(plain.constBegin(), plain.constEnd(), out.begin());
    put_le32(out.data() + length_offset, quint32(padded));
    put_le32(out.data() + padded, sum32(out.constData(), padded));
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
    const QByteArray raw = file.read(r.file_size);
    if (raw.size() != r.file_size) {
        r.error = failure::short_read;
        return r;
    }
    r.bytes = derive(r.container ? descramble(raw) : raw);
    if (r.bytes.isEmpty()) {
        r.error = failure::too_short;
        return r;
    }
    r.padded_size = r.bytes.size() - trailer_size;
    r.stamped_length = read_le32(r.bytes, length_offset);
    r.sum = read_le32(r.bytes, r.padded_size);
    return r;
}

} // namespace image
