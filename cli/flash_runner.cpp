#include "flash.h"

#include "console.h"
#include "stop_signals.h"
#include "view.h"
#include "wire_watch.h"

#include "work.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <memory>
#include <vector>

namespace {

// Runs each job's worker as the window runs its one: created without a parent, moved to
// its own thread, its signals queued to this thread, deleted on its thread when that ends.
class runner
{
public:
    runner(flash_view &view, const QElapsedTimer &clock) : view(view), clock(clock) {}

    void add(flash_job &job, const QByteArray &image, bool trace);
    // Returns when every worker's start() has returned.
    void run();

private:
    void start(size_t i);
    void on_result(flash_job &job, int code);
    void on_done(flash_job &job, qint64 confirmed);

    flash_view &view;
    const QElapsedTimer &clock;
    QObject receiver; // on this thread, so the workers' signals arrive queued
    std::vector<flash_job *> jobs;
    std::vector<work *> workers;
    std::vector<std::unique_ptr<QThread>> threads;
    std::vector<std::unique_ptr<wire_watch>> watches;
    int remaining = 0;
};

void runner::add(flash_job &job, const QByteArray &image, bool trace)
{
    auto thread = std::make_unique<QThread>();
    auto *worker = new work(job.settings);
    worker->set_image(image); // one image for every device, and one copy in memory
    worker->moveToThread(thread.get());
    QObject::connect(thread.get(), &QThread::finished, worker, &QObject::deleteLater);
    watches.push_back(trace ? std::make_unique<wire_watch>(
                                  job.port, clock, [](const QString &line) { console::err_line(line); })
                            : nullptr);
    if (wire_watch *watch = watches.back().get())
        worker->set_trace([watch](work::wire kind, const QByteArray &bytes) { (*watch)(kind, bytes); });
    flash_job *j = &job;
    QObject::connect(worker, &work::work_status_str, &receiver, [this, j](const QString &text) {
        j->note_status(text, clock.elapsed());
        view.status(*j);
    });
    QObject::connect(worker, &work::progress_set, &receiver, [this, j](int value) {
        if (j->note_progress(value))
            view.progress(*j);
    });
    QObject::connect(worker, &work::result, &receiver, [this, j](int code) { on_result(*j, code); });
    engine_log::name_thread(thread.get(), job.port);
    job.worker = worker;
    jobs.push_back(j);
    workers.push_back(worker);
    threads.push_back(std::move(thread));
}

void runner::start(size_t i)
{
    flash_job *job = jobs[i];
    work *worker = workers[i];
    wire_watch *watch = watches[i].get();
    job->started_ms = clock.elapsed();
    view.started(*job);
    threads[i]->start();
    // Posted after start() returns, so it arrives behind everything the worker emitted.
    QMetaObject::invokeMethod(
        worker,
        [this, worker, job, watch] {
            worker->start();
            if (watch)
                watch->flush();
            const qint64 confirmed = worker->confirmed_bytes();
            QMetaObject::invokeMethod(
                &receiver, [this, job, confirmed] { on_done(*job, confirmed); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void runner::run()
{
    if (jobs.empty())
        return;
    stop_signals::install();
    stop_signals::hold_back();
    remaining = int(jobs.size());
    for (size_t i = 0; i < jobs.size(); ++i)
        start(i);
    stop_signals::publish(workers.data(), int(workers.size()));
    stop_signals::let_through();

    QTimer redraw;
    QObject::connect(&redraw, &QTimer::timeout, &receiver, [this] { view.tick(); });
    redraw.start(100);
    QCoreApplication::exec();
    redraw.stop();

    stop_signals::withdraw();
    for (const auto &thread : threads) {
        thread->quit();
        thread->wait();
    }
    engine_log::forget_threads();
}

void runner::on_result(flash_job &job, int code)
{
    job.note_result(code);
    view.result(job, code);
    if (code == outcome::port_not_opened && !job.port_trouble_told) {
        job.port_trouble_told = true;
        view.notice(job, port_lookup::diagnose_open_failure(job.port));
    }
}

void runner::on_done(flash_job &job, qint64 confirmed)
{
    job.note_end(clock.elapsed(), stop_signals::seen(), confirmed);
    view.ended(job, conclude(job));
    if (--remaining == 0)
        QCoreApplication::quit();
}

} // namespace

void run_jobs(job_list &jobs, const QByteArray &image, flash_view &view,
              const QElapsedTimer &clock, bool trace)
{
    runner run(view, clock);
    for (const auto &job : jobs)
        if (job->refusal.isEmpty())
            run.add(*job, image, trace);
    run.run();
}
