#include "flash.h"

#include "console.h"
#include "stop_signals.h"
#include "job_runner.h"
#include "view.h"
#include "wire_watch.h"

#include "work.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <map>
#include <memory>
#include <vector>

namespace {

// The command line's side of a run: the views, the wire trace, the stop signals, and the
// event loop that runs until every worker has returned.
class runner
{
public:
    runner(flash_view &view, const QElapsedTimer &clock, bool trace);
    void run(job_list &jobs, const QByteArray &image);

private:
    void on_result(flash_job &job, int code);
    void on_ended(flash_job &job);

    flash_view &view;
    job_runner jobs;
    std::map<const flash_job *, std::unique_ptr<wire_watch>> watches;
    std::vector<work *> published; // what the stop signals reach
    int remaining = 0;
};

runner::runner(flash_view &view, const QElapsedTimer &clock, bool trace) : view(view), jobs(clock)
{
    QObject::connect(&jobs, &job_runner::status, [this](flash_job *j) { this->view.status(*j); });
    QObject::connect(&jobs, &job_runner::progress, [this](flash_job *j) { this->view.progress(*j); });
    QObject::connect(&jobs, &job_runner::result, [this](flash_job *j, int code) { on_result(*j, code); });
    QObject::connect(&jobs, &job_runner::ended, [this](flash_job *j) { on_ended(*j); });
    jobs.set_prepare([this, &clock, trace](flash_job &job, work &worker) {
        engine_log::name_thread(worker.thread(), job.port);
        if (!trace)
            return;
        auto &watch_slot = watches[&job];
        watch_slot = std::make_unique<wire_watch>(job.port, clock,
                                                  [](const QString &line) { console::err_line(line); });
        wire_watch *watch = watch_slot.get();
        worker.set_trace([watch](work::wire kind, const QByteArray &bytes) { (*watch)(kind, bytes); });
    });
}

void runner::run(job_list &list, const QByteArray &image)
{
    stop_signals::install();
    stop_signals::hold_back();
    for (const auto &job : list) {
        if (!job->refusal.isEmpty())
            continue;
        ++remaining;
        view.started(*job);
        jobs.start(*job, image);
    }
    if (remaining == 0) {
        stop_signals::let_through();
        return;
    }
    published = jobs.workers();
    stop_signals::publish(published.data(), int(published.size()));
    stop_signals::let_through();

    QTimer redraw;
    QObject::connect(&redraw, &QTimer::timeout, [this] { view.tick(); });
    redraw.start(100);
    QCoreApplication::exec();
    redraw.stop();
    stop_signals::withdraw();
    engine_log::forget_threads();
}

void runner::on_result(flash_job &job, int code)
{
    view.result(job, code);
    if (code == outcome::port_not_opened && !job.port_trouble_told) {
        job.port_trouble_told = true;
        view.notice(job, port_lookup::diagnose_open_failure(job.port));
    }
}

void runner::on_ended(flash_job &job)
{
    // The worker's thread has ended: its trace is ours to finish.
    const auto watch = watches.find(&job);
    if (watch != watches.end())
        watch->second->flush();
    job.stop_seen = job.stop_seen || stop_signals::seen();
    view.ended(job, conclude(job));
    if (--remaining == 0)
        QCoreApplication::quit();
}

} // namespace

void run_jobs(job_list &jobs, const QByteArray &image, flash_view &view,
              const QElapsedTimer &clock, bool trace)
{
    runner(view, clock, trace).run(jobs, image);
}
