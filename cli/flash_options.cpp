#include "flash.h"

#include "command_line.h"
#include "job_exit.h"

#include "modbus.h"

namespace {

const QString default_descriptor = QString::fromLatin1(modbus::default_descriptor);

QString description()
{
    return QStringLiteral(
               "Updates the device on serial port NAME: asks its running application to\n"
               "restart into the bootloader, finds the bootloader (for up to 30 s), erases,\n"
               "writes FIRMWARE in checked blocks and starts the new program. Each step's\n"
               "text is shown as a line, with the progress in percent. With several --port\n"
               "options every device is updated at once, each on its own thread, and a\n"
               "summary lists each port's result, time and bytes written; one device failing\n"
               "never stops the others. With --watch every device plugged in on a matching\n"
               "port is updated once, a PASS or FAIL line as each ends, until Ctrl-C or\n"
               "--count; stopped by Ctrl-C, it exits 0 when every device ended ok, none was\n"
               "still being updated and no --count was left unreached.\n\n")
           + exit_code::table();
}

struct flash_options
{
    QCommandLineOption port{
        {QStringLiteral("p"), QStringLiteral("port")},
        QStringLiteral("Serial port: a name from 'korvane-cli ports', a device path, "
                       "usb:VID:PID[:SERIAL] (hexadecimal ids), or a serial port on a server: "
                       "rfc2217://HOST:PORT (RFC 2217, which sets the server's line to --baud, "
                       "--parity and --stop-bits) or socket://HOST:PORT (raw TCP: the bytes as "
                       "they are, the line settings the server's own); HOST is a name, an IPv4 "
                       "address or [an IPv6 address]. Required unless --watch is given; give it "
                       "several times to update several devices at once."),
        QStringLiteral("NAME")};
    QCommandLineOption baud{{QStringLiteral("b"), QStringLiteral("baud")},
                            QStringLiteral("Line speed in bits per second (default 115200)."),
                            QStringLiteral("N"),
                            QStringLiteral("115200")};
    QCommandLineOption parity{QStringLiteral("parity"),
                              QStringLiteral("N none, O odd or E even (default N)."),
                              QStringLiteral("N|O|E"), QStringLiteral("N")};
    QCommandLineOption stop_bits{QStringLiteral("stop-bits"),
                                 QStringLiteral("Stop bits, 1 or 2 (default 1)."),
                                 QStringLiteral("1|2"), QStringLiteral("1")};
    QCommandLineOption no_start{QStringLiteral("no-start"),
                                QStringLiteral("Leave the device in its bootloader: do not start "
                                               "the new program. Nothing then checks the image: "
                                               "written, not verified.")};
    QCommandLineOption silent_start{
        QStringLiteral("accept-silent-start"),
        QStringLiteral("For bootloaders that jump into the new program without answering the start "
                       "request: count a start request that gets no answer as success, not verified "
                       "(JSON and --log \"verified\": false). Without it that update fails with code -4.")};
    QCommandLineOption echo{
        QStringLiteral("echo"),
        QStringLiteral("The line gives back everything korvane sends (an RS-485 adapter without "
                       "echo suppression): expect each request's own bytes back, check them and "
                       "drop them before the device's reply.")};
    QCommandLineOption descriptor{
        QStringLiteral("descriptor"),
        QStringLiteral("How to ask the running application to restart into its bootloader: "
                       "Modbus Write Single Register requests, modbus,ADDRESS,REGISTER,VALUE[,VALUE...] "
                       "(ADDRESS 0 to 255, REGISTER and each VALUE 0 to 65535, decimal or 0x "
                       "hexadecimal; default %1; empty sends nothing).")
            .arg(default_descriptor),
        QStringLiteral("TEXT"), default_descriptor};
    QCommandLineOption watch{
        QStringLiteral("watch"),
        QStringLiteral("Instead of --port: update every device that appears on a port matching "
                       "PATTERN, once each, those present at the start included, until Ctrl-C or "
                       "--count. PATTERN is a glob of device paths ('/dev/ttyUSB*', wildcards in "
                       "the last part only) or usb:VID:PID[:SERIAL]; may be given several times."),
        QStringLiteral("PATTERN")};
    QCommandLineOption count{QStringLiteral("count"),
                             QStringLiteral("With --watch: end once N devices have ended."),
                             QStringLiteral("N")};
    QCommandLineOption log{
        QStringLiteral("log"),
        QStringLiteral("Append one JSON object per finished device to FILE, written as it ends: "
                       "time, port, USB serial number, firmware path, size and SHA-256, result, "
                       "code, verified, reason, duration and bytes written. A FIFO that no process "
                       "reads is refused at once (exit 73); the firmware file or a serial port is "
                       "refused (exit 64). A log deleted during the run is made again, and the "
                       "records that went with it are told (exit 73)."),
        QStringLiteral("FILE")};
    QCommandLineOption quiet{{QStringLiteral("q"), QStringLiteral("quiet")},
                             QStringLiteral("Show only errors and the final result or summary "
                                            "(and with --watch each device's PASS or FAIL).")};
    QCommandLineOption verbose{
        {QStringLiteral("v"), QStringLiteral("verbose")},
        QStringLiteral("Also write the engine's debug log to stderr: a \"data length = \" line "
                       "per block written and an \"ERROR\" line per rejected reply; and what the "
                       "adapter's driver said to low-latency mode.")};
    QCommandLineOption json{QStringLiteral("json"),
                            QStringLiteral("Write JSON Lines to stdout instead of text: one "
                                           "object per event and a final summary object.")};
    QCommandLineOption raw{QStringLiteral("raw"),
                           QStringLiteral("Take FIRMWARE as a binary image whatever it holds: no Intel HEX, "
                                          "S-record or ELF conversion, and text is not refused.")};
    QCommandLineOption trace{
        QStringLiteral("trace"),
        QStringLiteral("Write every frame sent and received to stderr, in hexadecimal, with "
                       "the milliseconds since the start and the port.")};

    void add_to(subcommand_parser &parser) const
    {
        for (const QCommandLineOption *option : {&port, &watch, &count, &log, &baud, &parity, &stop_bits,
                                                 &no_start, &silent_start, &echo, &descriptor, &raw, &quiet, &verbose, &json, &trace})
            parser.add(*option);
        parser.add_argument(QStringLiteral("FIRMWARE"),
                            QStringLiteral("The firmware file: binary (.bin), a .qvb container, "
                                           "Intel HEX, S-record or ELF (known by content)."));
    }
};

// The line settings as the worker takes them; a usage error's message otherwise.
QString read_line_settings(const subcommand_parser &parser, const flash_options &o,
                           flash_request *request)
{
    bool baud_ok = false;
    request->line.baud_rate = parser.value(o.baud).toInt(&baud_ok, 10);
    if (!baud_ok || request->line.baud_rate <= 0)
        return QStringLiteral("bad --baud '%1': a positive number of bits per second")
            .arg(parser.value(o.baud));
    request->line.parity = parser.value(o.parity).toUpper();
    if (request->line.parity != QLatin1String("N") && request->line.parity != QLatin1String("O")
        && request->line.parity != QLatin1String("E"))
        return QStringLiteral("bad --parity '%1': N, O or E").arg(parser.value(o.parity));
    const QString stop_text = parser.value(o.stop_bits);
    if (stop_text != QLatin1String("1") && stop_text != QLatin1String("2"))
        return QStringLiteral("bad --stop-bits '%1': 1 or 2").arg(stop_text);
    request->line.stop_bits = stop_text.toInt();
    return QString();
}

// The devices to watch for and how many; a usage error's message otherwise.
QString read_watch(const subcommand_parser &parser, const flash_options &o, flash_request *request)
{
    for (const QString &text : parser.values(o.watch)) {
        port_watch::pattern p;
        QString why;
        if (!port_watch::parse(text, &p, &why))
            return QStringLiteral("bad --watch %1").arg(why);
        request->watch << p;
    }
    if (!parser.is_set(o.count))
        return QString();
    if (request->watch.isEmpty())
        return QStringLiteral("--count goes with --watch");
    bool ok = false;
    request->count = parser.value(o.count).toInt(&ok, 10);
    if (!ok || request->count <= 0)
        return QStringLiteral("bad --count '%1': a positive number of devices").arg(parser.value(o.count));
    return QString();
}

// The firmware, the ports or patterns, the log; a usage error's message otherwise.
QString read_targets(const subcommand_parser &parser, const flash_options &o,
                     flash_request *request)
{
    const QStringList positional = parser.arguments();
    if (positional.isEmpty())
        return QStringLiteral("FIRMWARE is required");
    if (positional.size() > 1)
        return QStringLiteral("takes one FIRMWARE file, got %1").arg(positional.size());
    request->firmware = positional.constFirst();
    request->ports = parser.values(o.port);
    const QString wrong = read_watch(parser, o, request);
    if (!wrong.isEmpty())
        return wrong;
    if (!request->ports.isEmpty() && !request->watch.isEmpty())
        return QStringLiteral("--port and --watch do not go together");
    if ((request->ports.isEmpty() && request->watch.isEmpty()) || request->ports.contains(QString()))
        return QStringLiteral("--port NAME (or --watch PATTERN) is required");
    request->log = parser.value(o.log);
    if (parser.is_set(o.log) && request->log.isEmpty())
        return QStringLiteral("--log needs a file name");
    return QString();
}

} // namespace

std::optional<int> parse_flash(const QStringList &args, flash_request *request)
{
    request->command = args.constFirst();
    subcommand_parser parser(request->command,
                             QStringLiteral("(--port NAME [--port NAME...] | --watch PATTERN...) [options] "
                                            "FIRMWARE"),
                             description());
    const flash_options o;
    o.add_to(parser);
    if (const std::optional<int> done = parser.parse(args))
        return done;
    QString wrong = read_targets(parser, o, request);
    if (wrong.isEmpty())
        wrong = read_line_settings(parser, o, request);
    if (!wrong.isEmpty())
        return parser.usage_error(wrong);
    request->line.auto_start = !parser.is_set(o.no_start);
    request->accept_silent_start = parser.is_set(o.silent_start);
    request->line_echoes = parser.is_set(o.echo);
    request->line.descriptor = parser.value(o.descriptor);
    // The requests would carry only the low bits of a number too large, and nothing at
    // all for a line they cannot read: the device would hear something never named.
    const QString problem = modbus::descriptor_problem(request->line.descriptor);
    if (!problem.isEmpty())
        return parser.usage_error(QStringLiteral("bad --descriptor: %1; a descriptor is %2")
                                      .arg(problem, QLatin1String(modbus::descriptor_forms)));
    request->verbose = parser.is_set(o.verbose);
    request->quiet = parser.is_set(o.quiet);
    if (request->quiet && request->verbose)
        return parser.usage_error(QStringLiteral("--quiet and --verbose ask for opposite things"));
    request->json = parser.is_set(o.json);
    request->trace = parser.is_set(o.trace);
    request->raw = parser.is_set(o.raw);
    return std::nullopt;
}
