#include "commands.h"
#include "console.h"
#include "flash.h"
#include "shift_log.h"
#include "view.h"

namespace {

std::unique_ptr<flash_view> make_view(const flash_request &request, const image::loaded &firmware,
                                      bool single, const QElapsedTimer &clock)
{
    view_options options;
    options.command = request.command;
    options.firmware = request.firmware;
    options.image_size = firmware.bytes.size();
    options.format = image::format_name(firmware);
    options.warnings = image::warnings(firmware);
    options.single = single;
    options.watch = !request.watch.isEmpty();
    options.quiet = request.quiet;
    options.clock = &clock;
    // Lines from other threads on the same terminal would tear the redrawn ones.
    options.live = console::stdout_is_terminal() && !request.quiet
                   && !((request.trace || request.verbose) && console::stderr_is_terminal());
    options.colour = console::colour();
    options.chinese = console::chinese();
    if (request.json)
        return json_view(options);
    // Once, before any device: even --quiet, since the device may lose data by it.
    for (const QString &warning : options.warnings)
        console::err_line(QStringLiteral("%1: warning: %2").arg(request.command, warning));
    return text_view(options);
}

// Every device's verdict and the command's exit status, never below `at_least`.
int report(const job_list &jobs, flash_view &view, int at_least)
{
    QVector<const flash_job *> all;
    QVector<job_end> ends;
    for (const auto &job : jobs) {
        all << job.get();
        ends << conclude(*job);
    }
    const int exit = qMax(overall_exit(ends), at_least);
    view.summary(all, ends, exit);
    return exit;
}

// Opened before any device is touched: a shift must not run unrecorded. Nor may its
// records go down a device's line or onto the end of the firmware.
std::optional<int> open_log(const flash_request &request, const QStringList &ports, shift_log &log)
{
    if (request.log.isEmpty())
        return std::nullopt;
    const QString clash = log_clash(request.log, request.firmware, ports);
    if (!clash.isEmpty())
        return console::usage_error(request.command,
                                    QStringLiteral("--log \"%1\" is %2; give the log a file of its own").arg(request.log, clash));
    QString why;
    if (log.open(request.log, &why))
        return std::nullopt;
    console::err_line(QStringLiteral("%1: cannot write \"%2\": %3").arg(request.command, request.log, why));
    return exit_code::cannot_create;
}

int flash_ports(const flash_request &request)
{
    const QList<port_lookup::entry> present = port_lookup::present();
    job_list jobs;
    if (const std::optional<int> done = resolve_ports(request, present, &jobs))
        return *done;
    QStringList ports;
    for (const auto &job : jobs)
        ports << job->port;
    shift_log log;
    if (const std::optional<int> done = open_log(request, ports, log))
        return *done;
    engine_log::install(request.verbose, jobs.size() == 1);

    QElapsedTimer clock;
    clock.start();
    // Loaded once, before any device is touched; every worker gets these very bytes.
    const image::loaded firmware = image::load(request.firmware, image::max_file_size, request.raw);
    const std::unique_ptr<flash_view> view = make_view(request, firmware, jobs.size() == 1, clock);
    device_ends ends(request, firmware, *view, log.is_open() ? &log : nullptr);
    preflight(request, firmware, present, jobs, ends);
    if (firmware.ok())
        run_jobs(request, jobs, firmware, ends, clock);
    return report(jobs, *view, ends.log_failed() ? exit_code::cannot_create : exit_code::ok);
}

int flash_watch(const flash_request &request)
{
    QStringList ports;
    for (const port_watch::device &d : port_watch::scan(request.watch))
        ports << d.location;
    shift_log log;
    if (const std::optional<int> done = open_log(request, ports, log))
        return *done;
    engine_log::install(request.verbose, false);
    QElapsedTimer clock;
    clock.start();
    const image::loaded firmware = image::load(request.firmware, image::max_file_size, request.raw);
    const std::unique_ptr<flash_view> view = make_view(request, firmware, false, clock);
    job_list jobs;
    if (!firmware.ok()) {
        view->error(QStringLiteral("the firmware file \"%1\" %2 (code %3); no device was touched")
                        .arg(request.firmware, firmware_refusal(firmware))
                        .arg(outcome::firmware_unusable));
        return report(jobs, *view, exit_code::for_result(outcome::firmware_unusable));
    }
    device_ends ends(request, firmware, *view, log.is_open() ? &log : nullptr);
    const bool complete = run_watch(request, firmware, ends, clock, jobs);
    // Ctrl-C is how a shift ends; only devices cut short, an unreached --count and an
    // incomplete log make it a failure.
    int at_least = complete ? exit_code::ok : exit_code::interrupted;
    if (ends.log_failed())
        at_least = qMax(at_least, exit_code::cannot_create);
    return report(jobs, *view, at_least);
}

} // namespace

int run_flash(const QStringList &args)
{
    flash_request request;
    if (const std::optional<int> done = parse_flash(args, &request))
        return *done;
    return request.watch.isEmpty() ? flash_ports(request) : flash_watch(request);
}
