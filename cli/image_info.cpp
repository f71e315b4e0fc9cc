#include "commands.h"
#include "command_line.h"
#include "console.h"

#include "image.h"
#include "outcome.h"
#include "same_file.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFileInfo>
#include <QSaveFile>

namespace {

// Same status as the worker's firmware_unusable, so scripts read both alike.
const int unusable_file = outcome::exit_status(outcome::firmware_unusable);

QString hex32(quint32 value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(8, QLatin1Char('0'));
}

QString image_sha256(const image::loaded &loaded)
{
    return QString::fromLatin1(QCryptographicHash::hash(loaded.bytes, QCryptographicHash::Sha256).toHex());
}

// Where the written image lies, its trailing sum included: known for a converted file, the
// device's own program start for a binary one.
QString address_range(const image::loaded &loaded)
{
    if (!loaded.address)
        return QStringLiteral("where the device's program starts, %1 bytes with the 4-byte sum at offset %2 "
                              "(a binary image carries no address)")
            .arg(loaded.bytes.size())
            .arg(loaded.padded_size);
    const quint64 last = quint64(*loaded.address) + quint64(loaded.bytes.size()) - 1;
    return QStringLiteral("%1 to %2, the 4-byte sum at %3 included")
        .arg(hex32(*loaded.address), hex32(quint32(last)), hex32(*loaded.address + quint32(loaded.padded_size)));
}

// What is worth knowing about the file that is no fault of it.
QStringList notes(const image::loaded &loaded)
{
    if (!loaded.unterminated)
        return {};
    return {QStringLiteral("the file has no termination record (S7, S8 or S9); its S5 or S6 record counts "
                           "all its data records, so it is whole")};
}

void show(const QString &path, const image::loaded &loaded)
{
    console::out_line(QStringLiteral("file:           %1").arg(path));
    console::out_line(QStringLiteral("format:         %1").arg(image::format_name(loaded)));
    console::out_line(QStringLiteral("file size:      %1 bytes").arg(loaded.file_size));
    console::out_line(QStringLiteral("address range:  %1").arg(address_range(loaded)));
    if (loaded.address) {
        console::out_line(
            QStringLiteral("segments:       %1 (gaps between them are 0xFF)").arg(loaded.segments.size()));
        for (const firmware_file::segment &s : loaded.segments)
            console::out_line(QStringLiteral("  %1  %2 bytes").arg(hex32(s.address)).arg(s.size));
    }
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
    console::out_line(QStringLiteral("image SHA-256:  %1").arg(image_sha256(loaded)));
    for (const QString &note : notes(loaded))
        console::out_line(QStringLiteral("note:           %1").arg(note));
    for (const QString &warning : image::warnings(loaded))
        console::out_line(QStringLiteral("warning:        %1").arg(warning));
}

// The same as one JSON object; addresses as numbers, so scripts need not parse hex.
void show_json(const QString &path, const image::loaded &loaded)
{
    QJsonObject o;
    o[QStringLiteral("file")] = path;
    o[QStringLiteral("format")] = image::format_name(loaded);
    o[QStringLiteral("file_size")] = double(loaded.file_size);
    o[QStringLiteral("address")] = loaded.address ? QJsonValue(double(*loaded.address)) : QJsonValue();
    QJsonArray segments;
    for (const firmware_file::segment &s : loaded.segments)
        segments.append(QJsonObject{{QStringLiteral("address"), double(s.address)},
                                    {QStringLiteral("size"), double(s.size)}});
    o[QStringLiteral("segments")] = segments;
    o[QStringLiteral("scrambled")] = loaded.container;
    o[QStringLiteral("padded_size")] = loaded.padded_size;
    o[QStringLiteral("stamped_length")] = double(loaded.stamped_length);
    o[QStringLiteral("sum")] = double(loaded.sum);
    o[QStringLiteral("size")] = loaded.bytes.size();
    o[QStringLiteral("file_sha256")] = QString::fromLatin1(loaded.file_sha256.toHex());
    o[QStringLiteral("image_sha256")] = image_sha256(loaded);
    o[QStringLiteral("notes")] = QJsonArray::fromStringList(notes(loaded));
    o[QStringLiteral("warnings")] = QJsonArray::fromStringList(image::warnings(loaded));
    console::out_line(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
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

// On stderr, or for a script as one JSON object on stdout, as flash --json tells it.
void refuse(const QString &command, const QString &path, const image::loaded &loaded, bool json)
{
    QString why = QStringLiteral("the firmware file \"%1\" %2").arg(path, image::explain(loaded));
    if (loaded.error == image::failure::not_firmware)
        why += QStringLiteral(" (--raw takes it as a binary image)");
    if (!json) {
        console::err_line(QStringLiteral("%1: %2").arg(command, why));
        return;
    }
    const QJsonObject o{{QStringLiteral("kind"), QStringLiteral("error")},
                        {QStringLiteral("file"), path},
                        {QStringLiteral("text"), why},
                        {QStringLiteral("exit"), unusable_file}};
    console::out_line(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
}

QString description()
{
    return QStringLiteral("Shows the image that 'flash' would erase room for and write. The format is\n"
                          "known by content: Intel HEX, S-record and ELF files are converted to the\n"
                          "bytes from their lowest address, gaps filled with 0xFF, and the device's\n"
                          "program must start at that address; a .qvb file (any case) is\n"
                          "descrambled; other binary files are taken as they are; text that is none\n"
                          "of these is refused unless --raw is given. korvane then writes into the\n"
                          "image it sends: it pads it to whole 32-bit words, stamps the padded length\n"
                          "little-endian into bytes 1024-1027 (overwriting what the file had there,\n"
                          "with a warning when that is neither all 00 nor all FF) and appends the\n"
                          "32-bit sum of it, little-endian. With --json a file that cannot become an\n"
                          "image gives an object of kind \"error\" on stdout.\n"
                          "Exit status: 0 done; %1 the file cannot become an image; %2 usage error;\n"
                          "%3 FILE could not be written.")
        .arg(unusable_file)
        .arg(exit_code::usage)
        .arg(exit_code::cannot_create);
}

} // namespace

int run_image(const QStringList &args)
{
    subcommand_parser parser(args.constFirst(), QStringLiteral("[--json] [--raw] FIRMWARE [--out FILE [--force]]"),
                             description());
    const QCommandLineOption out({QStringLiteral("o"), QStringLiteral("out")},
                                 QStringLiteral("Also write the image's bytes to FILE."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print one JSON object instead of text."));
    const QCommandLineOption force(QStringLiteral("force"),
                                   QStringLiteral("With --out: write FILE even when it is FIRMWARE itself, "
                                                  "which the image then replaces."));
    const QCommandLineOption raw(QStringLiteral("raw"),
                                 QStringLiteral("Take FIRMWARE as a binary image whatever it holds: no "
                                                "conversion, and text is not refused."));
    parser.add(out);
    parser.add(force);
    parser.add(json);
    parser.add(raw);
    parser.add_argument(QStringLiteral("FIRMWARE"),
                        QStringLiteral("The firmware file: binary (.bin), a .qvb container, Intel HEX, "
                                       "S-record or ELF."));
    if (const std::optional<int> done = parser.parse(args))
        return *done;
    const QStringList positional = parser.arguments();
    if (positional.size() != 1)
        return parser.usage_error(positional.isEmpty() ? QStringLiteral("FIRMWARE is required")
                                                       : QStringLiteral("takes one FIRMWARE file"));
    if (parser.is_set(out) && parser.value(out).isEmpty())
        return parser.usage_error(QStringLiteral("--out needs a file name"));
    const QString path = positional.constFirst();
    // The image in place of its own firmware loses the firmware, by whatever name.
    if (parser.is_set(out) && !parser.is_set(force) && same_file(parser.value(out), path))
        return parser.usage_error(QStringLiteral("--out \"%1\" is the firmware file \"%2\", which the image would "
                                                 "replace; --force writes it all the same")
                                      .arg(parser.value(out), path));

    const image::loaded loaded = image::load(path, image::max_file_size, parser.is_set(raw));
    if (!loaded.ok()) {
        refuse(parser.command, path, loaded, parser.is_set(json));
        return unusable_file;
    }
    if (parser.is_set(json))
        show_json(path, loaded);
    else
        show(path, loaded);
    if (!parser.is_set(out))
        return exit_code::ok;
    const QString target = parser.value(out);
    const QString failure = write_image(target, loaded.bytes);
    if (!failure.isEmpty()) {
        console::err_line(QStringLiteral("%1: cannot write \"%2\": %3").arg(parser.command, target, failure));
        return exit_code::cannot_create;
    }
    if (!parser.is_set(json))
        console::out_line(QStringLiteral("written:        %1").arg(target));
    return exit_code::ok;
}
