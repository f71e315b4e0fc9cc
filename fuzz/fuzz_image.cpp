// Image derivation from arbitrary bytes and file names: the container rule, descrambling,
// padding, the length stamp and the trailing sum, and image::load on a real file.
//
// Input: a mode byte, a name length byte, the file name, then the file's bytes.
#include "fuzz_check.h"
#include "image.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>

namespace {

quint32 le32(const QByteArray &b, int offset)
{
    quint32 v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | quint8(b[offset + i]);
    return v;
}

// The container rule said another way: the name ends in "qvb", in any case, right after a
// dot, or is just that.
bool reference_container(const QString &path)
{
    return path.endsWith(QLatin1String("qvb"), Qt::CaseInsensitive)
        && (path.size() == 3 || path.at(path.size() - 4) == QLatin1Char('.'));
}

QByteArray reference_descramble(const QByteArray &data)
{
    QByteArray out(data.size(), Qt::Uninitialized);
    const char *in = data.constData();
    char *o = out.data();
    for (int i = 0; i < out.size(); ++i)
        o[i] = char(quint8(in[i]) - quint8(i % 255));
    return out;
}

void check_derived(const QByteArray &plain, const QByteArray &image)
{
    const int padded = (plain.size() + 3) / 4 * 4;
    if (padded < image::min_padded_size) {
        FUZZ_CHECK(image.isEmpty());
        return;
    }
    FUZZ_CHECK(image.size() == padded + image::trailer_size);
    // The file's bytes stay where they were, but for the stamp; the padding is zeros.
    const char *out = image.constData();
    const int stamp = image::length_offset;
    FUZZ_CHECK(std::equal(out, out + stamp, plain.constData()));
    if (plain.size() > stamp + 4)
        FUZZ_CHECK(std::equal(out + stamp + 4, out + plain.size(), plain.constData() + stamp + 4));
    FUZZ_CHECK(std::all_of(out + std::max(plain.size(), stamp + 4), out + padded,
                           [](char c) { return c == 0; }));
    FUZZ_CHECK(le32(image, stamp) == quint32(padded));
    quint32 sum = 0;
    for (int i = 0; i < padded; ++i)
        sum += quint8(out[i]);
    FUZZ_CHECK(le32(image, padded) == sum);
}

// A directory of our own for the whole run, in memory where the system offers it.
QDir &scratch()
{
    static QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists()
                                 ? QStringLiteral("/dev/shm/korvane-fuzz-XXXXXX")
                                 : QDir::tempPath() + QStringLiteral("/korvane-fuzz-XXXXXX"));
    static QDir d(dir.path());
    return d;
}

// A name a file can carry: no separators or NULs, not "." or "..", not too long.
QString file_name(const QByteArray &raw)
{
    QString name = QString::fromUtf8(raw);
    name.replace(QLatin1Char('/'), QLatin1Char('_')).replace(QChar(0), QLatin1Char('_'));
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        name.prepend(QLatin1Char('f'));
    return name.left(100);
}

void check_load(const QString &name, const QByteArray &content, qint64 cap)
{
    const QString path = scratch().filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return;
    file.close();
    // Taken as binary whatever it holds, so the properties below are the binary rule's;
    // by content it must still end in an image or a refusal.
    const image::loaded r = image::load(path, cap, true);
    const image::loaded by_content = image::load(path, cap);
    QFile::remove(path);
    FUZZ_CHECK(by_content.ok() != by_content.bytes.isEmpty());
    if (by_content.ok() && by_content.format == firmware_file::format::binary)
        FUZZ_CHECK(by_content.bytes == r.bytes && !by_content.address);

    FUZZ_CHECK(r.container == reference_container(path));
    if (content.size() > cap) {
        FUZZ_CHECK(r.error == image::failure::too_large && r.bytes.isEmpty());
        return;
    }
    const QByteArray expected = image::derive(r.container ? reference_descramble(content) : content);
    if (expected.isEmpty()) {
        FUZZ_CHECK(r.error == image::failure::too_short && r.bytes.isEmpty());
        return;
    }
    FUZZ_CHECK(r.ok());
    FUZZ_CHECK(r.file_size == content.size());
    FUZZ_CHECK(r.bytes == expected);
    FUZZ_CHECK(r.padded_size == expected.size() - image::trailer_size);
    FUZZ_CHECK(r.stamped_length == quint32(r.padded_size));
    FUZZ_CHECK(r.sum == le32(expected, r.padded_size));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::reader in(data, size);
    const quint8 mode = in.byte();
    const QByteArray raw_name = in.take(in.byte());
    const QByteArray content = in.rest();

    // Names as the operator may pick them, and as the input has them.
    QString name = file_name(raw_name);
    if (mode & 0x01)
        name += QStringLiteral(".qvb");
    FUZZ_CHECK(image::is_container(name) == reference_container(name));
    FUZZ_CHECK(image::is_container(QString::fromUtf8(raw_name)) ==
               reference_container(QString::fromUtf8(raw_name)));

    const QByteArray descrambled = image::descramble(content);
    FUZZ_CHECK(descrambled == reference_descramble(content));
    FUZZ_CHECK(image::scramble(descrambled) == content);
    check_derived(content, image::derive(fuzz::exact(content).bytes()));

    // A file on disk, now and then with a cap just around its size.
    const qint64 cap = (mode & 0x02) ? content.size() - 1 + (mode >> 7) : image::max_file_size;
    check_load(name, content, cap);
    return 0;
}
