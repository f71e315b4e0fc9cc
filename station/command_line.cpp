#include "command_line.h"

#include "job_exit.h"
#include "station_line.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

const char program[] = "korvane-station";

void print(FILE *to, const QString &text)
{
    std::fputs(text.toUtf8().constData(), to);
    std::fflush(to);
}

} // namespace

station_command_line::station_command_line()
    : watch(QStringLiteral("watch"),
            QStringLiteral("Watch the ports that match PATTERN: a glob of device paths (/dev/ttyUSB*, "
                           "wildcards in the last part only) or usb:VID:PID[:SERIAL]. May be given "
                           "several times."),
            QStringLiteral("PATTERN")),
      port(QStringLiteral("port"),
           QStringLiteral("Watch the serial port NAME (ttyUSB0 is /dev/ttyUSB0), or a serial port "
                          "on a server, rfc2217://HOST:PORT or socket://HOST:PORT (raw TCP, the "
                          "line settings the server's own), which counts as plugged in from the "
                          "start. May be given several times."),
           QStringLiteral("NAME")),
      automatic(QStringLiteral("auto"),
                QStringLiteral("Start in automatic mode: every device is updated as it appears, once "
                               "while it stays plugged in.")),
      no_sound(QStringLiteral("no-sound"),
               QStringLiteral("No sound for each pass and failure (on by default; the window's "
                              "声音 box does the same).")),
      log(QStringLiteral("log"),
          QStringLiteral("Append one JSON object per finished device to FILE (time, port, USB serial, "
                         "board serial, firmware path, size and SHA-256, result, code, verified, "
                         "reason, duration, bytes), written as each device ends. A FIFO that no "
                         "process reads is refused at once, the firmware file or a serial port "
                         "with status 64. A log deleted during the shift is made again."),
          QStringLiteral("FILE")),
      silent_start(QStringLiteral("accept-silent-start"),
                   QStringLiteral("For bootloaders that jump into the new program without answering "
                                  "the start request: count a start request that gets no answer as "
                                  "success, not verified (\"verified\": false in the log). Without it "
                                  "such a device fails with 通信超时！.")),
      echo(QStringLiteral("echo"),
           QStringLiteral("The lines give back everything korvane sends (RS-485 adapters without "
                          "echo suppression): expect each request's own bytes back, check them and "
                          "drop them before the device's reply.")),
      raw(QStringLiteral("raw"),
          QStringLiteral("Take FIRMWARE as a binary image whatever it holds: no Intel HEX, S-record or "
                         "ELF conversion, and text is not refused."))
{
    parser.setApplicationDescription(QStringLiteral(
        "A window for the production line, in Chinese: every device plugged into the watched\n"
        "ports is updated with one firmware file (.bin, a scrambled .qvb container, Intel HEX,\n"
        "S-record or ELF) through its serial bootloader, each with its progress and a large\n"
        "成功 (pass), 已写入 (written but not confirmed by the device) or 失败 (fail) and a\n"
        "sound, counted and logged. 开始\n"
        "(F5) updates every device there now; 自动 (F6) updates each one as it\n"
        "appears, once while it stays plugged in. With --auto and a FIRMWARE the line runs by\n"
        "itself. The firmware, the patterns, the line settings, 更新完自动启动 and 声音 are kept\n"
        "between runs; FIRMWARE and --no-sound override them, and --watch and --port replace\n"
        "the remembered patterns before any port is scanned (the window marks patterns taken\n"
        "from the last run). Closing the window stops running updates at their next wait."));
    // Our own help and version options: Qt's would offer --help-all for Qt's options, which
    // this program does not take (the environment sets QT_QPA_PLATFORM and the like).
    parser.addOptions({QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")},
                                          QStringLiteral("Show this help.")),
                       QCommandLineOption({QStringLiteral("V"), QStringLiteral("version")},
                                          QStringLiteral("Show the version.")),
                       watch, port, automatic, no_sound, log, silent_start, echo, raw});
    parser.addPositionalArgument(QStringLiteral("FIRMWARE"),
                                 QStringLiteral("The firmware file, loaded once for every device."),
                                 QStringLiteral("[FIRMWARE]"));
}

station_command_line::verdict station_command_line::parse(const QStringList &arguments)
{
    if (!parser.parse(arguments)) {
        why = parser.errorText();
        // -v is korvane-cli's --verbose; the version is -V in every korvane program.
        if (parser.unknownOptionNames().contains(QStringLiteral("v")))
            why += QStringLiteral(" -V or --version shows the version.");
        return verdict::usage_error;
    }
    if (parser.isSet(QStringLiteral("help")))
        return verdict::help;
    if (parser.isSet(QStringLiteral("version")))
        return verdict::version;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1) {
        why = QStringLiteral("one firmware file only, not %1").arg(positional.size());
        return verdict::usage_error;
    }
    given.firmware = positional.value(0);
    given.automatic = parser.isSet(automatic);
    given.no_sound = parser.isSet(no_sound);
    given.accept_silent_start = parser.isSet(silent_start);
    given.line_echoes = parser.isSet(echo);
    given.log = parser.value(log);
    given.raw = parser.isSet(raw);
    given.patterns = parser.values(watch) + parser.values(port);
    for (const QString &text : qAsConst(given.patterns)) {
        port_watch::pattern p;
        if (!parse_station_pattern(text, &p, &why))
            return verdict::usage_error;
    }
    return verdict::run;
}

int station_command_line::answer(verdict v) const
{
    switch (v) {
    case verdict::help:
        print(stdout, parser.helpText()
                          + QStringLiteral("\nExit status:\n"
                                           "  0   the window was closed\n"
                                           "  %1  usage error, or a log that is the firmware or a serial port\n"
                                           "  %2  the log file could not be opened\n")
                                .arg(exit_code::usage)
                                .arg(exit_code::cannot_create));
        return exit_code::ok;
    case verdict::version:
        print(stdout, QStringLiteral("%1 %2\n").arg(QLatin1String(program), QStringLiteral(KORVANE_VERSION)));
        return exit_code::ok;
    case verdict::usage_error:
        print(stderr, QStringLiteral("%1: %2\nTry '%1 --help'.\n").arg(QLatin1String(program), why));
        return exit_code::usage;
    case verdict::run:
        break;
    }
    return exit_code::ok;
}
