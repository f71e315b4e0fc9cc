#include "commands.h"
#include "console.h"

#include <QCoreApplication>

namespace {

const char program[] = "korvane-cli";

struct command
{
    const char *name;
    int (*run)(const QStringList &args);
};

const command commands[] = {
    {"flash", run_flash},
    {"image", run_image},
    {"ports", run_ports},
};

QString overview()
{
    return QStringLiteral(
               "Usage: korvane-cli <command> [options]\n"
               "\n"
               "Puts new firmware on a device through its serial bootloader, as the korvane window\n"
               "does, for scripts and production lines.\n"
               "\n"
               "Commands:\n"
               "  flash --port NAME [--port NAME...] [options] FIRMWARE\n"
               "                 update the device on serial port NAME from FIRMWARE (a binary\n"
               "                 .bin, a scrambled .qvb container, Intel HEX, S-record or ELF,\n"
               "                 known by content); several ports are updated at once.\n"
               "                 NAME may be usb:VID:PID[:SERIAL]. --watch PATTERN instead\n"
               "                 updates every device plugged in on a matching port, once each;\n"
               "                 --log FILE keeps a shift log, --json writes JSON Lines,\n"
               "                 --trace every frame on stderr\n"
               "  image FIRMWARE [--out FILE [--force]]\n"
               "                 show the image that flash would send, and optionally write it\n"
               "  ports [--json]\n"
               "                 list the serial ports present: name, busy or not, USB ids,\n"
               "                 serial number, latency timer and description\n"
               "\n"
               "Options:\n"
               "  -h, --help     show this help; '<command> --help' shows a command's options\n"
               "  -V, --version  show the version\n"
               "\n")
           + exit_code::table() + QLatin1Char('\n');
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(program));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVANE_VERSION));

    QStringList args = QCoreApplication::arguments();
    const QString first = args.value(1);
    if (first == QLatin1String("-h") || first == QLatin1String("--help")
        || first == QLatin1String("help")) {
        console::out(overview());
        return exit_code::ok;
    }
    if (first == QLatin1String("-V") || first == QLatin1String("--version")
        || (first == QLatin1String("-v") && args.size() == 2)) {
        console::out_line(QStringLiteral("%1 %2").arg(QString::fromLatin1(program),
                                                      QCoreApplication::applicationVersion()));
        // Scripts that ask with -v still get the version; people learn the flashers' way.
        if (first == QLatin1String("-v"))
            console::err_line(QStringLiteral("%1: -v is --verbose after a command; -V or --version "
                                             "shows the version")
                                  .arg(QString::fromLatin1(program)));
        return exit_code::ok;
    }
    if (first.isEmpty() && args.size() < 2) {
        console::err_line(QStringLiteral("%1: a command is required (flash, image or ports)")
                              .arg(QString::fromLatin1(program)));
        console::err_line(QStringLiteral("Try '%1 --help'.").arg(QString::fromLatin1(program)));
        return exit_code::usage;
    }
    for (const command &c : commands) {
        if (first == QLatin1String(c.name)) {
            // The subcommand's parser sees "korvane-cli flash" as its program name.
            args.removeAt(1);
            args[0] = QStringLiteral("%1 %2").arg(QString::fromLatin1(program), first);
            return c.run(args);
        }
    }
    return console::usage_error(QString::fromLatin1(program),
                                QStringLiteral("unknown command '%1'").arg(first));
}
