#include "commands.h"
#include "console.h"

#include "image.h"

#include <QCommandLineParser>
#include <QSaveFile>

namespace {

// Same magnitude as the worker's -5, so scripts read both alike.
constexpr int unusable_file = 5;

QString hex32(quint32 value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(8, QLatin1Char('0'));
}

} // namespace

int run_image(const QStringList &args)
{
    const QString command = args.constFirst();
    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption out({QStringLiteral("o"), QStringLiteral("out")},
                                 QStringLiteral("Also write the image's bytes to FILE."),
                                 QStringLiteral("FILE"));
    parser.addOption(help);
    parser.addOption(out);
    parser.addPositionalArgument(QStringLiteral("FIRMWARE"),
                                 QStringLiteral("The firmware file (.bin, or a .qvb container)."));
    if (!parser.parse(args))
        return console::usage_error(command, parser.errorText());
    if (parser.isSet(help)) {
        console::out(console::help_text(
            parser, command + QStringLiteral(" FIRMWARE [--out FILE]"),
            QStringLiteral(
                "Shows the image that 'flash' would erase room for and write: a .qvb file\n"
                "descrambled, padded to whole 32-bit words, its padded length stamped\n"
                "little-endian at offset 1024, and the 32-bit sum of it appended.\n"
                "Exit status: 0 done; 5 the file cannot become an image; 64 usage error;\n"
                "73 FILE could not be written.")));
        return exit_code::ok;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return console::usage_error(command, positional.isEmpty()
                                                 ? QStringLiteral("FIRMWARE is required")
                                                 : QStringLiteral("takes one FIRMWARE file"));
    if (parser.isSet(out) && parser.value(out).isEmpty())
        return console::usage_error(command, QStringLiteral("--out needs a file name"));

    const QString path = positional.constFirst();
    const image::loaded loaded = image::load(path);
    if (!loaded.ok()) {
        console::err_line(QStringLiteral("%1: the firmware file \"%2\" %3")
                              .arg(command, path, QString::fromLatin1(image::describe(loaded.error))));
        return unusable_file;
    }

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

    if (parser.isSet(out)) {
        // Written aside and renamed into place, so a failed write never leaves a
        // truncated image that could be mistaken for a good one.
        const QString target = parser.value(out);
        QSaveFile file(target);
        if (!file.open(QIODevice::WriteOnly) || file.write(loaded.bytes) != loaded.bytes.size()
            || !file.commit()) {
            console::err_line(QStringLiteral("%1: cannot write \"%2\": %3")
                                  .arg(command, target, file.errorString()));
            return exit_code::cannot_create;
        }
        console::out_line(QStringLiteral("written:        %1").arg(target));
    }
    return exit_code::ok;
}
