#include "commands.h"
#include "command_line.h"
#include "console.h"

#include "image.h"
#include "outcome.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QSaveFile>

namespace {

// Same status as the worker's firmware_unusable, so scripts read both alike.
const int unusable_file = outcome::exit_status(outcome::firmware_unusable);

QString hex32(quint32 value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(8, QLatin1Char('0'));
}

void show(const QString &path, const image::loaded &loaded)
{
    console::out_line(QStringLiteral("file:           %1").arg(path));
    console::out_line(QStringLiteral("file size:      %1 bytes").arg(loaded.file_size));
    console::out_line(loaded.container ? QStringLiteral("scrambled:      yes (.qvb, descrambled)")
                                       : QStringLiteral("scrambled:      no"));
    console::out_line(QStringLiteral("padded length:  %1 bytes").arg(loaded.padded_size));
    console::out_line(QStringLiteral("stamped length: %1 (%2) at offset %3")
                          .arg(loaded.stamped_length)
                          .arg(hex32(loaded.stamped_length))
                          .arg(image::length_offset));
    console::out_line(QStringLiteral("trailing sum:   %1").arg(hex32(loaded.sum)));
    console::out_line(QStringLiteral("total size:     %1 bytes").arg(loaded.bytes.size()));
    // The file's digest matches release notes; the image's, what a device ends up holding.
    console::out_line(QStringLiteral("file SHA-256:   %1").arg(QString::fromLatin1(loaded.file_sha256.toHex())));
    console::out_line(QStringLiteral("image SHA-256:  %1")
                          .arg(QString::fromLatin1(
                              QCryptographicHash::hash(loaded.bytes, QCryptographicHash::Sha256).toHex())));
}

// A device, a FIFO or /dev/stdout cannot be replaced, only written to; unbuffered, so
// that every failed write is seen here.
QString write_in_place(const QString &target, const QByteArray &bytes)
{
    QFile file(target);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(bytes) != bytes.size())
        return file.errorString();
    return QString();
}

// Written aside and renamed into place, so a failed write never leaves a truncated image
// that could be mistaken for a good one.
QString write_aside(const QString &target, const QByteArray &bytes)
{
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return file.errorString();
    return QString();
}

// Why the image could not be written to `target`; empty when it was.
QString write_image(const QString &target, const QByteArray &bytes)
{
    const QFileInfo info(target);
    if (info.isDir())
        return QStringLiteral("it is a directory");
    if (info.exists() && !info.isFile())
        return write_in_place(target, bytes);
    return write_aside(target, bytes);
}

QString description()
{
    return QStringLiteral("Shows the image that 'flash' would erase room for and write: a .qvb file\n"
                          "descrambled, padded to whole 32-bit words, its padded length stamped\n"
                          "little-endian at offset 1024, and the 32-bit sum of it appended.\n"
                          "Exit status: 0 done; %1 the file cannot become an image; %2 usage error;\n"
                          "%3 FILE could not be written.")
        .arg(unusable_file)
        .arg(exit_code::usage)
        .arg(exit_code::cannot_create);
}

} // namespace

int run_image(const QStringList &args)
{
    subcommand_parser parser(args.constFirst(), QStringLiteral("FIRMWARE [--out FILE]"), description());
    const QCommandLineOption out({QStringLiteral("o"), QStringLiteral("out")},
                                 QStringLiteral("Also write the image's bytes to FILE."),
                                 QStringLiteral("FILE"));
    parser.add(out);
    parser.add_argument(QStringLiteral("FIRMWARE"),
                        QStringLiteral("The firmware file (.bin, or a .qvb container)."));
    if (const std::optional<int> done = parser.parse(args))
        return *done;
    const QStringList positional = parser.arguments();
    if (positional.size() != 1)
        return parser.usage_error(positional.isEmpty() ? QStringLiteral("FIRMWARE is required")
                                                       : QStringLiteral("takes one FIRMWARE file"));
    if (parser.is_set(out) && parser.value(out).isEmpty())
        return parser.usage_error(QStringLiteral("--out needs a file name"));

    const QString path = positional.constFirst();
    const image::loaded loaded = image::load(path);
    if (!loaded.ok()) {
        console::err_line(QStringLiteral("%1: the firmware file \"%2\" %3")
                              .arg(parser.command, path, QString::fromLatin1(image::describe(loaded.error))));
        return unusable_file;
    }
    show(path, loaded);
    if (!parser.is_set(out))
        return exit_code::ok;
    const QString target = parser.value(out);
    const QString failure = write_image(target, loaded.bytes);
    if (!failure.isEmpty()) {
        console::err_line(QStringLiteral("%1: cannot write \"%2\": %3").arg(parser.command, target, failure));
        return exit_code::cannot_create;
    }
    console::out_line(QStringLiteral("written:        %1").arg(target));
    return exit_code::ok;
}
