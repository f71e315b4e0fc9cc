#include "commands.h"
#include "console.h"

#include "image.h"
#include "update_settings.h"
#include "work.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QThread>
#include <QVector>

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <unistd.h>

namespace {

const char default_descriptor[] = "modbus,1,9,0x4D2E,0x6E3B";

// ---- stopping on Ctrl-C ---------------------------------------------------------------
//
// The worker's start() blocks its thread for the whole update, so a queued stop() would
// only arrive afterwards. The handler therefore calls request_stop() directly: an atomic
// store, safe in a signal handler. Only lock-free atomics are touched there.

std::atomic<work *> running_worker{nullptr};
std::atomic<int> stop_signals_seen{0};
static_assert(std::atomic<work *>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler may only touch lock-free atomics");

void on_stop_signal(int)
{
    // A second Ctrl-C means "now", even if the sequence were stuck somewhere.
    if (stop_signals_seen.fetch_add(1) > 0)
        _exit(exit_code::interrupted);
    if (work *w = running_worker.load())
        w->request_stop();
}

sigset_t stop_signal_set()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void install_stop_handler()
{
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// The engine's debug log (a line per block written, one per rejected reply) would bury
// the status lines; it is shown only on request. Warnings still go through.
QtMessageHandler default_message_handler = nullptr;

void without_debug_lines(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtDebugMsg)
        default_message_handler(type, context, text);
}

// ---- what the worker says ---------------------------------------------------------------

QString step_name(const QString &status)
{
    static const struct { const char *status; const char *name; } steps[] = {
        {"正在建立连接......", "opening the serial port"},
        {"正在重启......", "asking the device to restart into its bootloader"},
        {"正在建立通信......", "looking for the bootloader"},
        {"正在同步信息......", "reading the device information"},
        {"正在读取固件......", "reading the firmware file"},
        {"正在擦除原有固件......", "erasing the old firmware"},
        {"正在更新固件......", "writing the firmware"},
        {"正在启动程序......", "starting the program"},
    };
    for (const auto &step : steps)
        if (status == QString::fromUtf8(step.status))
            return QString::fromLatin1(step.name);
    return status.isEmpty() ? QStringLiteral("starting") : status;
}

// Shows status and progress as they arrive and turns the results into an exit status.
// Lives on the main thread; the worker's signals reach it queued, in emission order.
class report
{
public:
    report(QString command, QString port, QString firmware)
        : command(std::move(command)), port(std::move(port)), firmware(std::move(firmware))
    {
    }

    void status(const QString &text)
    {
        close_line();
        step = text;
        last_progress = -1;
        if (tty) {
            console::out(text);
            line_open = true;
        } else {
            console::out_line(text);
        }
    }

    void progress(int value)
    {
        if (value == last_progress)
            return; // the transfer repeats a value for every attempt at a block
        last_progress = value;
        if (tty) {
            console::out(QStringLiteral("\r\033[K%1 %2%").arg(step).arg(value));
            line_open = true;
        } else {
            console::out_line(QStringLiteral("progress %1%").arg(value));
        }
    }

    void result(int code)
    {
        results.append(code);
        result_step = step;
        if (code == -1) {
            // Not the end: every handshake attempt reopens the port.
            close_line();
            console::err_line(QStringLiteral("%1: serial port \"%2\" could not be opened (code -1); "
                                             "still trying while looking for the bootloader")
                                  .arg(command, port));
        }
    }

    int finish(bool stop_requested)
    {
        close_line();
        const bool ended_with_code = !results.isEmpty() && results.constLast() != -1;
        if (ended_with_code) {
            const int code = results.constLast();
            if (stop_requested)
                console::err_line(QStringLiteral("%1: the update had already ended when the "
                                                 "stop was requested")
                                      .arg(command));
            if (code == 0) {
                console::out_line(QStringLiteral("update complete"));
                return exit_code::ok;
            }
            return failed(code);
        }
        if (stop_requested) {
            console::err_line(QStringLiteral("%1: interrupted while %2; the update did not finish")
                                  .arg(command, step_name(step)));
            return exit_code::interrupted;
        }
        if (!results.isEmpty())
            return failed(results.constLast());
        // Never success: nothing said the image is on the device.
        console::err_line(QStringLiteral("%1: the update ended without a result while %2")
                              .arg(command, step_name(step)));
        return exit_code::internal;
    }

private:
    int failed(int code)
    {
        console::err_line(QStringLiteral("%1: update failed while %2: %3 (code %4)")
                              .arg(command, step_name(result_step), explain(code))
                              .arg(code));
        const int magnitude = code < 0 ? -code : code;
        return magnitude >= 1 && magnitude <= 5 ? magnitude : exit_code::internal;
    }

    QString explain(int code) const
    {
        switch (code) {
        case -1:
            return QStringLiteral("the serial port \"%1\" could not be opened").arg(port);
        case -2:
            return QStringLiteral("reading or writing the device failed");
        case -3:
            return QStringLiteral("the device gave a wrong answer");
        case -4:
            return results.contains(-1)
                       ? QStringLiteral("no answer from the device in time (the serial port "
                                        "\"%1\" could not be opened at first)")
                             .arg(port)
                       : QStringLiteral("no answer from the device in time");
        case -5: {
            // The worker only says "-5"; loading again tells why.
            const image::failure why = image::load(firmware).error;
            return why == image::failure::none
                       ? QStringLiteral("the firmware file \"%1\" could not be read").arg(firmware)
                       : QStringLiteral("the firmware file \"%1\" %2")
                             .arg(firmware, QString::fromLatin1(image::describe(why)));
        }
        default:
            return QStringLiteral("unknown failure");
        }
    }

    void close_line()
    {
        if (line_open)
            console::out(QStringLiteral("\n"));
        line_open = false;
    }

    const QString command;
    const QString port;
    const QString firmware;
    const bool tty = console::stdout_is_terminal();
    bool line_open = false;
    QString step;
    QString result_step;
    int last_progress = -1;
    QVector<int> results;
};

// ---- running the worker -----------------------------------------------------------------

// The worker runs as under the window: created without a parent, moved to its own
// thread, its signals queued to this thread, deleted on its thread when that ends.
int run_update(report &shown)
{
    QObject receiver; // on this thread, so the worker's signals arrive queued
    QThread thread;
    work *worker = new work;
    worker->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    QObject::connect(worker, &work::work_status_str, &receiver,
                     [&shown](const QString &text) { shown.status(text); });
    QObject::connect(worker, &work::progress_set, &receiver,
                     [&shown](int value) { shown.progress(value); });
    QObject::connect(worker, &work::result, &receiver, [&shown](int code) { shown.result(code); });

    // The worker thread inherits a mask that blocks the stop signals, so the handler
    // always runs on this thread, which alone clears running_worker below.
    install_stop_handler();
    // A log reader that goes away must not kill the process halfway through the flash.
    std::signal(SIGPIPE, SIG_IGN);
    const sigset_t stops = stop_signal_set();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stops, &previous);
    running_worker.store(worker);
    thread.start();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    // Posted after start() returns, so it arrives behind everything the worker emitted.
    QMetaObject::invokeMethod(
        worker,
        [worker, &receiver] {
            worker->start();
            QMetaObject::invokeMethod(&receiver, [] { QCoreApplication::quit(); },
                                      Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    QCoreApplication::exec();

    const bool stop_requested = stop_signals_seen.load() > 0;
    running_worker.store(nullptr);
    thread.quit();
    thread.wait();
    return shown.finish(stop_requested);
}

} // namespace

int run_flash(const QStringList &args)
{
    const QString command = args.constFirst();
    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption port({QStringLiteral("p"), QStringLiteral("port")},
                                  QStringLiteral("Serial port: a name from 'korvane-cli ports' "
                                                 "or a device path. Required."),
                                  QStringLiteral("NAME"));
    const QCommandLineOption baud({QStringLiteral("b"), QStringLiteral("baud")},
                                  QStringLiteral("Line speed in bits per second (default 115200)."),
                                  QStringLiteral("N"), QStringLiteral("115200"));
    const QCommandLineOption parity(QStringLiteral("parity"),
                                    QStringLiteral("N none, O odd or E even (default N)."),
                                    QStringLiteral("N|O|E"), QStringLiteral("N"));
    const QCommandLineOption stop_bits(QStringLiteral("stop-bits"),
                                       QStringLiteral("Stop bits, 1 or 2 (default 1)."),
                                       QStringLiteral("1|2"),
                                       QStringLiteral("1"));
    const QCommandLineOption no_start(QStringLiteral("no-start"),
                                      QStringLiteral("Leave the device in its bootloader: do not "
                                                     "start the new program."));
    const QCommandLineOption descriptor(
        QStringLiteral("descriptor"),
        QStringLiteral("How to ask the running application to restart into its bootloader "
                       "(default %1; empty sends nothing).")
            .arg(QString::fromLatin1(default_descriptor)),
        QStringLiteral("TEXT"), QString::fromLatin1(default_descriptor));
    const QCommandLineOption verbose(
        QStringLiteral("verbose"),
        QStringLiteral("Also write the engine's debug log to stderr: a \"data length = \" line "
                       "per block written and an \"ERROR\" line per rejected reply."));
    for (const QCommandLineOption &option :
         {help, port, baud, parity, stop_bits, no_start, descriptor, verbose})
        parser.addOption(option);
    parser.addPositionalArgument(QStringLiteral("FIRMWARE"),
                                 QStringLiteral("The firmware file (.bin, or a .qvb container)."));

    if (!parser.parse(args))
        return console::usage_error(command, parser.errorText());
    if (parser.isSet(help)) {
        console::out(console::help_text(
            parser, command + QStringLiteral(" --port NAME [options] FIRMWARE"),
            QStringLiteral(
                "Updates the device on serial port NAME: asks its running application to\n"
                "restart into the bootloader, finds the bootloader (for up to 30 s), erases,\n"
                "writes FIRMWARE in checked blocks and starts the new program. Each step's\n"
                "text is shown as a line, with the progress in percent.\n"
                "Exit status: 0 success; 1 to 5 the update's failure code (1 port could not\n"
                "be opened, 3 wrong answer from the device, 4 no answer in time, 5 firmware\n"
                "file unusable); 64 usage error; 70 ended without a result; 130 stopped by\n"
                "Ctrl-C or SIGTERM.")));
        return exit_code::ok;
    }

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return console::usage_error(command, QStringLiteral("FIRMWARE is required"));
    if (positional.size() > 1)
        return console::usage_error(command, QStringLiteral("takes one FIRMWARE file, got %1")
                                                 .arg(positional.size()));
    if (!parser.isSet(port) || parser.value(port).isEmpty())
        return console::usage_error(command, QStringLiteral("--port NAME is required"));

    bool baud_ok = false;
    const qint32 baud_rate = parser.value(baud).toInt(&baud_ok, 10);
    if (!baud_ok || baud_rate <= 0)
        return console::usage_error(
            command, QStringLiteral("bad --baud '%1': a positive number of bits per second")
                         .arg(parser.value(baud)));
    const QString parity_letter = parser.value(parity).toUpper();
    if (parity_letter != QLatin1String("N") && parity_letter != QLatin1String("O")
        && parity_letter != QLatin1String("E"))
        return console::usage_error(
            command, QStringLiteral("bad --parity '%1': N, O or E").arg(parser.value(parity)));
    const QString stop_text = parser.value(stop_bits);
    if (stop_text != QLatin1String("1") && stop_text != QLatin1String("2"))
        return console::usage_error(command,
                                    QStringLiteral("bad --stop-bits '%1': 1 or 2").arg(stop_text));

    if (!parser.isSet(verbose))
        default_message_handler = qInstallMessageHandler(without_debug_lines);

    // Filled completely before the worker's thread starts, as the window does.
    UpdateSettings &settings = UpdateSettings::instance();
    settings.auto_start = !parser.isSet(no_start);
    settings.firmware_path = positional.constFirst();
    settings.port_name = parser.value(port);
    settings.baud_rate = baud_rate;
    settings.parity = parity_letter;
    settings.stop_bits = stop_text.toInt();
    settings.product_descriptor = parser.value(descriptor);

    // The worker reads the file only after restarting the device into its bootloader; a
    // file that cannot become an image is refused before the device is touched at all.
    const image::loaded firmware = image::load(settings.firmware_path);
    if (!firmware.ok()) {
        console::err_line(QStringLiteral("%1: the firmware file \"%2\" %3 (code -5); the device "
                                         "was not touched")
                              .arg(command, settings.firmware_path,
                                   QString::fromLatin1(image::describe(firmware.error))));
        return 5;
    }

    report shown(command, settings.port_name, settings.firmware_path);
    return run_update(shown);
}
