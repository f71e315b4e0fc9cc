// korvane-devsim: a device with a serial bootloader, simulated on a pseudo-terminal.
#include "device.h"
#include "events.h"
#include "faults.h"
#include "number.h"
#include "pty_line.h"
#include "serve.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace devsim;

namespace {

// Largest flash the simulator holds in memory; far beyond any image the tool accepts.
constexpr quint64 max_flash_size = quint64(256) * 1024 * 1024;
constexpr quint64 address_space = quint64(1) << 32;
constexpr quint64 max_baud = 100000000;
// A second is far beyond any adapter's latency timer; a day beyond any test's patience.
constexpr quint64 max_latency_ms = 1000;
constexpr quint64 max_unplug_ms = 86400000;

struct settings
{
    device_config device;
    fault_plan faults;
    QString link;
    nanos latency = 0;
    nanos unplug_after = -1; // -1: never
};

[[noreturn]] void fail(const QString &message, int code = 2)
{
    std::fprintf(stderr, "korvane-devsim: %s\n", qPrintable(message));
    std::exit(code);
}

QCommandLineOption option(const char *name, const char *text, const char *value = nullptr,
                          const char *default_value = nullptr)
{
    QCommandLineOption o(QLatin1String(name), QString::fromUtf8(text));
    if (value)
        o.setValueName(QLatin1String(value));
    if (default_value)
        o.setDefaultValue(QLatin1String(default_value));
    return o;
}

void describe(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "A device with a serial bootloader, simulated on a pseudo-terminal, to try and test\n"
        "korvane without hardware. It prints the port's path, then one event per line (each\n"
        "request taken in, each fault applied, the image check at program start), and answers\n"
        "on the port like a device until SIGINT or SIGTERM, a hangup fault or the unplug time.\n"
        "Numbers are decimal, or hexadecimal after 0x."));
    parser.addHelpOption();
    // -V as korvane-cli and korvane-station have it: Qt's own version option is -v.
    parser.addOptions({
        QCommandLineOption({QStringLiteral("V"), QStringLiteral("version")}, QStringLiteral("Show the version.")),
        option("mode", "Start as the device's application, which answers Modbus and restarts "
                       "into the bootloader when told to, or as the bootloader (default: app).",
               "app|boot", "app"),
        option("link", "Also make a symlink to the port at PATH, once the port is ready; "
                       "removed at exit.", "PATH"),
        option("base", "Base address the bootloader reports (default: 0x8000).", "ADDR", "0x8000"),
        option("flash-size", "Bytes of flash from the base address on, cut off at the end of "
                             "the 32-bit address space (default: 1048576).", "N", "1048576"),
        option("baud", "Emulate this line speed, 10 bits per byte; 0 answers at once "
                       "(default: 0).", "N", "0"),
        option("latency", "Hold reply bytes as a USB adapter's latency timer does: until MS "
                          "milliseconds after the last one arrived, or until 62 are waiting "
                          "(default: 0, off).", "MS", "0"),
        option("unplug-after", "Unplug the device after MS milliseconds: remove the link, close "
                               "the port, exit.", "MS"),
        option("echo", "Give back every request taken in ahead of its reply, as an RS-485 line "
                       "without echo suppression does."),
        option("save", "Write the erased range to FILE at program start and at exit.", "FILE"),
        option("slave-id", "Modbus address of the application (default: 1).", "N", "1"),
        option("register", "Register whose writes restart the application (default: 9).", "N", "9"),
        option("restart", "Values that restart it, in order (default: 0x4D2E,0x6E3B).", "VALUES",
               "0x4D2E,0x6E3B"),
        option("fault", "Misbehave on request, as CMD:KIND[:SKIP[:COUNT[:ARG]]]; may be given "
                        "several times. CMD: modbus, handshake, info, erase, write, start or "
                        "any. KIND: none (or lost), corrupt, error, stray, extra, delay, late, "
                        "split, twice, loopback, echo, gone, short, wrongstart, wrongcmd or "
                        "hangup.",
               "FAULT"),
    });
}

quint64 number_option(const QCommandLineParser &parser, const char *name, quint64 min, quint64 max)
{
    const QString text = parser.value(QLatin1String(name));
    quint64 v = 0;
    if (!parse_number(text, max, &v) || v < min)
        fail(QStringLiteral("--%1: '%2' is not a number from %3 to %4")
                 .arg(QLatin1String(name), text)
                 .arg(min)
                 .arg(max));
    return v;
}

device_config device_options(const QCommandLineParser &parser)
{
    device_config cfg;
    const QString mode = parser.value(QStringLiteral("mode"));
    if (mode != QLatin1String("app") && mode != QLatin1String("boot"))
        fail(QStringLiteral("--mode: '%1' is neither app nor boot").arg(mode));
    cfg.boot = mode == QLatin1String("boot");
    cfg.base = quint32(number_option(parser, "base", 0, address_space - 1));
    // A flash that would run past 2^32 ends there, as the address space does: so a device
    // near the top can still be had with the default size.
    const quint64 size = number_option(parser, "flash-size", 1, max_flash_size);
    cfg.flash_size = quint32(std::min(size, address_space - cfg.base));
    const quint64 baud = number_option(parser, "baud", 0, max_baud);
    cfg.byte_time = baud ? nanos(10) * 1000000000 / nanos(baud) : 0; // 10 bits per byte
    cfg.slave_id = int(number_option(parser, "slave-id", 0, 255));
    cfg.restart_register = int(number_option(parser, "register", 0, 0xFFFF));
    cfg.restart_values.clear();
    for (const QString &text : parser.value(QStringLiteral("restart")).split(QLatin1Char(','))) {
        quint64 v = 0;
        if (!parse_number(text, 0xFFFF, &v))
            fail(QStringLiteral("--restart: '%1' is not a 16-bit number").arg(text));
        cfg.restart_values.append(quint16(v));
    }
    cfg.save_path = parser.value(QStringLiteral("save"));
    cfg.echo = parser.isSet(QStringLiteral("echo"));
    return cfg;
}

settings read_options(const QCommandLineParser &parser)
{
    settings s;
    s.device = device_options(parser);
    for (const QString &text : parser.values(QStringLiteral("fault"))) {
        fault f;
        QString why;
        if (!parse_fault(text, &f, &why))
            fail(QStringLiteral("--fault %1: %2").arg(text, why));
        s.faults.add(f);
    }
    s.link = parser.value(QStringLiteral("link"));
    s.latency = nanos(number_option(parser, "latency", 0, max_latency_ms)) * ms_ns;
    if (parser.isSet(QStringLiteral("unplug-after")))
        s.unplug_after = nanos(number_option(parser, "unplug-after", 0, max_unplug_ms)) * ms_ns;
    return s;
}

int run(const settings &s)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!install_signals())
        fail(QStringLiteral("cannot install signal handlers: %1").arg(QString::fromLocal8Bit(std::strerror(errno))), 1);
    pty_line line(s.device.byte_time, s.latency);
    QString why;
    if (!line.open(&why))
        fail(why, 1);
    if (!s.link.isEmpty() && !line.link(QFile::encodeName(s.link), &why))
        fail(QStringLiteral("--link %1: %2").arg(s.link, why), 1);

    event("%s", line.slave_path().constData());
    event("mode %s", s.device.boot ? "boot" : "app");
    device dev(s.device, s.faults);
    const ending end = serve(line, dev, s.unplug_after < 0 ? -1 : now_ns() + s.unplug_after);
    // The line goes first: an unplugged cable is what the tool must see, at once.
    line.close();
    line.unlink_link();
    if (end == ending::unplugged)
        event("unplugged");
    dev.finish();
    if (end == ending::line_lost) {
        std::fprintf(stderr, "korvane-devsim: the line failed: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

// Qt's help names the program by the path it was started with; a manual page wants its name.
[[noreturn]] void show_help(const QCommandLineParser &parser)
{
    const QString help = parser.helpText();
    std::fputs(qPrintable(QStringLiteral("Usage: korvane-devsim [options]") + help.mid(help.indexOf('\n'))), stdout);
    std::exit(0);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvane-devsim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVANE_VERSION));

    QCommandLineParser parser;
    describe(parser);
    // parse() rather than process(): every bad option exits with the same status.
    if (!parser.parse(QCoreApplication::arguments()))
        fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all")))
        show_help(parser);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    return run(read_options(parser));
}
