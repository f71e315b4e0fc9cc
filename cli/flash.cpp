#include "commands.h"
#include "console.h"
#include "flash.h"
#include "view.h"

namespace {

std::unique_ptr<flash_view> make_view(const flash_request &request, const image::loaded &firmware,
                                      bool single, const QElapsedTimer &clock)
{
    view_options options;
    options.command = request.command;
    options.firmware = request.firmware;
    options.image_size = firmware.bytes.size();
    options.single = single;
    options.clock = &clock;
    // Lines from other threads on the same terminal would tear the redrawn ones.
    options.live = console::stdout_is_terminal()
                   && !((request.trace || request.verbose) && console::stderr_is_terminal());
    return request.json ? json_view(options) : text_view(options);
}

// Every device's verdict and the command's exit status.
int report(const job_list &jobs, flash_view &view)
{
    QVector<const flash_job *> all;
    QVector<job_end> ends;
    for (const auto &job : jobs) {
        all << job.get();
        ends << conclude(*job);
    }
    const int exit = overall_exit(ends);
    view.summary(all, ends, exit);
    return exit;
}

} // namespace

int run_flash(const QStringList &args)
{
    flash_request request;
    if (const std::optional<int> done = parse_flash(args, &request))
        return *done;
    const QList<port_lookup::entry> present = port_lookup::present();
    job_list jobs;
    if (const std::optional<int> done = resolve_ports(request, present, &jobs))
        return *done;
    engine_log::install(request.verbose, jobs.size() == 1);

    QElapsedTimer clock;
    clock.start();
    // Loaded once, before any device is touched; every worker gets these very bytes.
    const image::loaded firmware = image::load(request.firmware);
    const std::unique_ptr<flash_view> view = make_view(request, firmware, jobs.size() == 1, clock);
    preflight(request, firmware, present, jobs, *view);
    if (firmware.ok())
        run_jobs(jobs, firmware.bytes, *view, clock, request.trace);
    return report(jobs, *view);
}
