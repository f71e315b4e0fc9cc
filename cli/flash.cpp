#include "commands.h"
#include "console.h"
#include "flash_report.h"
#include "port_lookup.h"

#include "image.h"
#include "status_text.h"
#include "update_settings.h"
#include "work.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <QVector>

#include <atomic>
#include <csignal>
#include <memory>
#include <pthread.h>
#include <unistd.h>
#include <vector>

namespace {

const char default_descriptor[] = "modbus,1,9,0x4D2E,0x6E3B";

// ---- stopping on Ctrl-C ---------------------------------------------------------------
//
// A worker's start() blocks its thread for the whole update, so a queued stop() would
// only arrive afterwards. The handler therefore calls request_stop() directly on every
// worker: an atomic store, safe in a signal handler. Only lock-free atomics and an array
// that stays put while it is published are touched there.

std::atomic<work *const *> stop_targets{nullptr};
std::atomic<int> stop_target_count{0};
std::atomic<int> stop_signals_seen{0};
static_assert(std::atomic<work *const *>::is_always_lock_free
                  && std::atomic<int>::is_always_lock_free,
              "the signal handler may only touch lock-free atomics");

void on_stop_signal(int)
{
    // A second Ctrl-C means "now", even if a sequence were stuck somewhere.
    if (stop_signals_seen.fetch_add(1) > 0)
        _exit(exit_code::interrupted);
    work *const *targets = stop_targets.load();
    const int count = stop_target_count.load();
    if (targets)
        for (int i = 0; i < count; ++i)
            targets[i]->request_stop();
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

// ---- the engine's debug log -------------------------------------------------------------
//
// A line per block written and one per rejected reply would bury the status lines; they
// are shown only with --verbose. With several devices each line is prefixed with its
// port, found by the thread that wrote it. Warnings always go through.

QtMessageHandler default_message_handler = nullptr;
bool show_debug = false;
// Filled before any worker thread starts and only read afterwards.
QHash<const QThread *, QString> thread_ports;

void engine_log(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtDebugMsg) {
        default_message_handler(type, context, text);
        return;
    }
    if (!show_debug)
        return;
    const auto port = thread_ports.constFind(QThread::currentThread());
    if (port == thread_ports.constEnd())
        default_message_handler(type, context, text);
    else
        console::err_line(QStringLiteral("%1: %2").arg(*port, text));
}

// ---- running the workers ----------------------------------------------------------------

using job_list = std::vector<std::unique_ptr<flash_job>>;

// Runs every job that was not refused, each worker on its own thread with its own
// settings record, as the window runs its one: created without a parent, moved to its
// thread, its signals queued to this thread, deleted on its thread when that ends.
// Returns when every worker's start() has returned.
class runner
{
public:
    runner(job_list &jobs, flash_view &view, const QElapsedTimer &clock, bool trace)
        : jobs(jobs), view(view), clock(clock), trace(trace)
    {
    }

    void run()
    {
        QObject receiver; // on this thread, so the workers' signals arrive queued
        std::vector<std::unique_ptr<QThread>> threads;
        std::vector<work *> workers;
        for (const auto &owned : jobs) {
            flash_job *job = owned.get();
            if (!job->refusal.isEmpty())
                continue;
            auto thread = std::make_unique<QThread>();
            auto *worker = new work(job->settings);
            worker->moveToThread(thread.get());
            QObject::connect(thread.get(), &QThread::finished, worker, &QObject::deleteLater);
            job->watch = std::make_unique<wire_watch>(
                job->port, clock,
                trace ? wire_watch::sink([](const QString &line) { console::err_line(line); })
                      : wire_watch::sink());
            worker->set_trace([watch = job->watch.get()](work::wire kind, const QByteArray &bytes) {
                (*watch)(kind, bytes);
            });
            QObject::connect(worker, &work::work_status_str, &receiver,
                             [this, job](const QString &text) { on_status(*job, text); });
            QObject::connect(worker, &work::progress_set, &receiver,
                             [this, job](int value) { on_progress(*job, value); });
            QObject::connect(worker, &work::result, &receiver,
                             [this, job](int code) { on_result(*job, code); });
            thread_ports.insert(thread.get(), job->port);
            threads.push_back(std::move(thread));
            workers.push_back(worker);
            running.push_back(job);
        }
        if (running.empty())
            return;

        // Worker threads inherit a mask that blocks the stop signals, so the handler always
        // runs on this thread, which alone publishes and withdraws the workers below.
        install_stop_handler();
        // A log reader that goes away must not kill the process halfway through the flash.
        std::signal(SIGPIPE, SIG_IGN);
        const sigset_t stops = stop_signal_set();
        sigset_t previous;
        pthread_sigmask(SIG_BLOCK, &stops, &previous);
        remaining = int(running.size());
        for (size_t i = 0; i < running.size(); ++i) {
            flash_job *job = running[i];
            work *worker = workers[i];
            job->started_ms = clock.elapsed();
            view.started(*job);
            threads[i]->start();
            // Posted after start() returns, so it arrives behind everything the worker emitted.
            QMetaObject::invokeMethod(
                worker,
                [this, worker, job, &receiver] {
                    worker->start();
                    job->watch->flush();
                    QMetaObject::invokeMethod(&receiver, [this, job] { on_done(*job); },
                                              Qt::QueuedConnection);
                },
                Qt::QueuedConnection);
        }
        stop_target_count.store(int(workers.size()));
        stop_targets.store(workers.data());
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);

        QTimer redraw;
        QObject::connect(&redraw, &QTimer::timeout, &receiver, [this] { view.tick(); });
        redraw.start(100);
        QCoreApplication::exec();
        redraw.stop();

        stop_targets.store(nullptr);
        stop_target_count.store(0);
        for (const auto &thread : threads) {
            thread->quit();
            thread->wait();
        }
        thread_ports.clear();
    }

private:
    void on_status(flash_job &job, const QString &text)
    {
        job.step = text;
        job.shown_progress = -1;
        if (text == QString::fromUtf8(status_text::writing))
            job.write_started_ms = clock.elapsed();
        view.status(job);
    }

    void on_progress(flash_job &job, int value)
    {
        job.progress = value;
        if (value == job.shown_progress)
            return; // the transfer repeats a value for every attempt at a block
        job.shown_progress = value;
        view.progress(job);
    }

    void on_result(flash_job &job, int code)
    {
        job.results.append(code);
        job.result_step = job.step;
        view.result(job, code);
        if (code == -1 && !explained.contains(&job)) {
            explained.insert(&job);
            view.notice(job, port_lookup::diagnose_open_failure(job.port));
        }
    }

    void on_done(flash_job &job)
    {
        job.ended = true;
        job.ended_ms = clock.elapsed();
        job.stop_seen = stop_signals_seen.load() > 0;
        view.ended(job, conclude(job, job.settings.firmware_path));
        if (--remaining == 0)
            QCoreApplication::quit();
    }

public:
    QSet<const flash_job *> explained; // ports whose trouble was told before the update

private:
    job_list &jobs;
    flash_view &view;
    const QElapsedTimer &clock;
    const bool trace;
    std::vector<flash_job *> running;
    int remaining = 0;
};

// Two names for one device (a link and its target, "ttyS0" and "/dev/ttyS0") would have
// two workers fight over one port.
QString identity(const QString &port)
{
    const QString location = port_lookup::location_of(port);
    const QString canonical = QFileInfo(location).canonicalFilePath();
    return canonical.isEmpty() ? location : canonical;
}

} // namespace

int run_flash(const QStringList &args)
{
    const QString command = args.constFirst();
    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption port(
        {QStringLiteral("p"), QStringLiteral("port")},
        QStringLiteral("Serial port: a name from 'korvane-cli ports', a device path, or "
                       "usb:VID:PID[:SERIAL] (hexadecimal ids). Required; give it several times "
                       "to update several devices at once."),
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
    const QCommandLineOption json(
        QStringLiteral("json"),
        QStringLiteral("Write JSON Lines to stdout instead of text: one object per event "
                       "and a final summary object."));
    const QCommandLineOption trace(
        QStringLiteral("trace"),
        QStringLiteral("Write every frame sent and received to stderr, in hexadecimal, with "
                       "the milliseconds since the start and the port."));
    for (const QCommandLineOption &option :
         {help, port, baud, parity, stop_bits, no_start, descriptor, verbose, json, trace})
        parser.addOption(option);
    parser.addPositionalArgument(QStringLiteral("FIRMWARE"),
                                 QStringLiteral("The firmware file (.bin, or a .qvb container)."));

    if (!parser.parse(args))
        return console::usage_error(command, parser.errorText());
    if (parser.isSet(help)) {
        console::out(console::help_text(
            parser, command + QStringLiteral(" --port NAME [--port NAME...] [options] FIRMWARE"),
            QStringLiteral(
                "Updates the device on serial port NAME: asks its running application to\n"
                "restart into the bootloader, finds the bootloader (for up to 30 s), erases,\n"
                "writes FIRMWARE in checked blocks and starts the new program. Each step's\n"
                "text is shown as a line, with the progress in percent. With several --port\n"
                "options every device is updated at once, each on its own thread, and a\n"
                "summary lists each port's result, time and bytes written; one device failing\n"
                "never stops the others.\n"
                "Exit status: 0 success (of every device); otherwise the largest of the\n"
                "devices' statuses: 1 to 5 the update's failure code (1 port could not be\n"
                "opened, 3 wrong answer from the device, 4 no answer in time, 5 firmware file\n"
                "unusable); 70 ended without a result; 130 stopped by Ctrl-C or SIGTERM.\n"
                "64 usage error.")));
        return exit_code::ok;
    }

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return console::usage_error(command, QStringLiteral("FIRMWARE is required"));
    if (positional.size() > 1)
        return console::usage_error(command, QStringLiteral("takes one FIRMWARE file, got %1")
                                                 .arg(positional.size()));
    const QStringList given_ports = parser.values(port);
    if (given_ports.isEmpty() || given_ports.contains(QString()))
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

    // Which device each --port means. A usb: name that matches several ports is a usage
    // error, since the command line does not say which one is meant; one that matches
    // none is that device's failure, and the others go on.
    const QList<port_lookup::entry> present = port_lookup::present();
    job_list jobs;
    QHash<QString, QString> seen; // identity -> as given
    for (const QString &given : given_ports) {
        auto job = std::make_unique<flash_job>();
        job->given = given;
        job->port = given;
        if (port_lookup::is_usb(given)) {
            port_lookup::usb_ids ids;
            QString why;
            if (!port_lookup::parse_usb(given, &ids, &why))
                return console::usage_error(command, QStringLiteral("bad --port %1").arg(why));
            const QList<port_lookup::entry> found = port_lookup::matches(ids, present);
            if (found.size() > 1)
                return console::usage_error(command,
                                            port_lookup::describe_resolution(given, found, present));
            if (found.isEmpty())
                job->refusal = port_lookup::describe_resolution(given, found, present);
            else
                job->port = found.constFirst().location;
        }
        // An unmatched usb: name has no port to compare; the name itself stands for it.
        const QString id = job->refusal.isEmpty() ? identity(job->port) : given.toLower();
        if (seen.contains(id))
            return console::usage_error(command,
                                        QStringLiteral("--port %1 and --port %2 are the same port")
                                            .arg(seen.value(id), given));
        seen.insert(id, given);
        jobs.push_back(std::move(job));
    }

    show_debug = parser.isSet(verbose);
    const bool tracing = parser.isSet(trace);
    const bool single = jobs.size() == 1;
    // The single-port log keeps its old form; several ports need the prefixes.
    if (!show_debug || !single)
        default_message_handler = qInstallMessageHandler(engine_log);

    QElapsedTimer clock;
    clock.start();
    const QString firmware_path = positional.constFirst();
    const image::loaded firmware = image::load(firmware_path);

    view_options options;
    options.command = command;
    options.firmware = firmware_path;
    options.image_size = firmware.bytes.size();
    options.single = single;
    options.clock = &clock;
    // Lines from other threads on the same terminal would tear the redrawn ones.
    options.live = console::stdout_is_terminal()
                   && !((tracing || show_debug) && isatty(STDERR_FILENO));
    const std::unique_ptr<flash_view> view =
        parser.isSet(json) ? json_view(options) : text_view(options);

    QVector<const flash_job *> all;
    for (const auto &job : jobs)
        all << job.get();
    const auto finish = [&](QVector<job_end> ends) {
        const int exit = overall_exit(ends);
        view->summary(all, ends, exit);
        return exit;
    };

    // The worker reads the file only after restarting the device into its bootloader; a
    // file that cannot become an image is refused before any device is touched at all.
    if (!firmware.ok()) {
        const QString why = QStringLiteral("the firmware file \"%1\" %2")
                                .arg(firmware_path, QString::fromLatin1(image::describe(firmware.error)));
        view->error(why + QStringLiteral(" (code -5); the device was not touched"));
        QVector<job_end> ends;
        for (const auto &job : jobs) {
            job->refusal = why;
            job->refusal_code = -5;
            ends << conclude(*job, firmware_path);
        }
        return finish(ends);
    }

    runner run(jobs, *view, clock, tracing);
    for (const auto &job : jobs) {
        UpdateSettings &settings = job->settings;
        settings.auto_start = !parser.isSet(no_start);
        settings.firmware_path = firmware_path;
        settings.port_name = job->port;
        settings.baud_rate = baud_rate;
        settings.parity = parity_letter;
        settings.stop_bits = stop_text.toInt();
        settings.product_descriptor = parser.value(descriptor);
        if (!job->refusal.isEmpty()) {
            view->ended(*job, conclude(*job, firmware_path));
            continue;
        }
        if (job->given != job->port)
            view->notice(*job, QStringLiteral("%1 is %2").arg(job->given, job->port));
        // A port that can never open is told now, without the handshake's 30 s of retries;
        // a busy one may be let go, so its update goes on and retries as usual.
        const port_lookup::problem problem = port_lookup::check(job->port, present);
        if (problem == port_lookup::problem::absent || problem == port_lookup::problem::denied) {
            job->refusal = port_lookup::explain(problem, job->port);
            view->ended(*job, conclude(*job, firmware_path));
        } else if (problem == port_lookup::problem::busy) {
            view->notice(*job, port_lookup::explain(problem, job->port)
                                   + QStringLiteral("; still trying while looking for the bootloader"));
            run.explained.insert(job.get());
        }
    }
    run.run();

    QVector<job_end> ends;
    for (const auto &job : jobs)
        ends << conclude(*job, firmware_path);
    return finish(ends);
}
