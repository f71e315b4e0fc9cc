#include "flash_runner.h"

#include "console.h"
#include "stop_signals.h"
#include "view.h"

#include "telnet.h"
#include "work.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>

flash_runner::flash_runner(const flash_request &request, device_ends &ends, const QElapsedTimer &clock)
    : request(request), ends(ends), view(ends.view), clock(clock), jobs(clock),
      turnaround_file(turnaround_log::file_from_environment())
{
    QObject::connect(&jobs, &job_runner::status, [this](flash_job *j) { view.status(*j); });
    QObject::connect(&jobs, &job_runner::progress, [this](flash_job *j) { view.progress(*j); });
    QObject::connect(&jobs, &job_runner::result, [this](flash_job *j, int code) { on_result(*j, code); });
    QObject::connect(&jobs, &job_runner::warning, [this](flash_job *j, const QString &text) {
        view.notice(*j, QStringLiteral("%1: %2").arg(j->port, text));
    });
    QObject::connect(&jobs, &job_runner::releasing, [this] { republish(); });
    QObject::connect(&jobs, &job_runner::ended, [this](flash_job *j) { on_ended(*j); });
    jobs.set_prepare([this](flash_job &job, work &worker) { prepare(job, worker); });
    QObject::connect(&redraw, &QTimer::timeout, [this] { tick(); });
    stop_signals::install();
}

flash_runner::~flash_runner()
{
    stop_signals::withdraw();
    engine_log::forget_threads();
}

void flash_runner::prepare(flash_job &job, work &worker)
{
    engine_log::name_thread(worker.thread(), job.port);
    // Told on the worker's thread, shown on this one in order with the worker's signals.
    const flash_job *j = &job;
    worker.set_notice([this, j](const QString &text) {
        QMetaObject::invokeMethod(&jobs, [this, j, text] { driver_notice(*j, text); }, Qt::QueuedConnection);
    });
    wire_watch *watch = nullptr;
    if (request.trace) {
        auto &slot = watches[&job];
        slot = std::make_unique<wire_watch>(job.port, clock, [](const QString &line) { console::err_line(line); });
        watch = slot.get();
    }
    turnaround_log *times = nullptr;
    if (!turnaround_file.isEmpty())
        times = (turnarounds[&job] = std::make_unique<turnaround_log>()).get();
    if (!watch && !times)
        return;
    worker.set_trace([watch, times](work::wire kind, const QByteArray &bytes) {
        if (times)
            (*times)(kind, bytes);
        if (watch)
            (*watch)(kind, bytes);
    });
}

void flash_runner::start(flash_job &job, const image::loaded &firmware)
{
    stop_signals::hold_back();
    view.started(job);
    started.push_back(&job);
    jobs.start(job, firmware.bytes, firmware.address);
    republish();
    stop_signals::let_through();
    if (!redraw.isActive())
        redraw.start(100);
}

// Every change of the running workers is published before a worker that has ended is
// deleted; a stop that came while none could be reached is passed on here.
void flash_runner::republish()
{
    std::vector<work *> next = jobs.workers();
    stop_signals::publish(next.data(), int(next.size()));
    published.swap(next); // a swap moves no buffer: the array the handler reads stays put
    if (stop_signals::seen() && !jobs.stopping())
        jobs.stop_all();
}

void flash_runner::tick()
{
    // Half a minute of handshakes without a word looks like a hang.
    for (flash_job *job : started) {
        const QString text = job->looking_notice(clock.elapsed());
        if (!text.isEmpty())
            view.notice(*job, QStringLiteral("%1: %2").arg(job->port, text));
    }
    view.tick();
}

void flash_runner::exec()
{
    QCoreApplication::exec();
    redraw.stop();
}

void flash_runner::quit()
{
    QCoreApplication::quit();
}

void flash_runner::driver_notice(const flash_job &job, const QString &text)
{
    // What the driver made of low-latency mode matters to someone chasing a slow line.
    if (request.json || request.verbose)
        view.notice(job, QStringLiteral("serial port \"%1\": %2").arg(job.port, text));
}

void flash_runner::on_result(flash_job &job, int code)
{
    if (code != outcome::port_not_opened || job.port_trouble_told) {
        view.result(job, code);
        return;
    }
    job.port_trouble_told = true;
    // A server that cannot be reached is told at once, as a local port that is not there
    // is, rather than reconnected to for the handshake's 30 s: its own words say why.
    if (net_address::is_network(job.port)) {
        if (!jobs.stopping() && !stop_signals::seen()) {
            job.refusal = job.failure_detail.isEmpty() ? QStringLiteral("%1 could not be reached").arg(job.port)
                                                       : job.failure_detail;
            jobs.stop(job);
            return;
        }
        view.result(job, code);
        return;
    }
    port_lookup::problem found = port_lookup::problem::none;
    const QString why = port_lookup::diagnose_open_failure(job.port, &found);
    if (found == port_lookup::problem::busy) {
        // Another program has it: the handshake's 30 s of retries would end the same way,
        // and two programs on one line corrupt each other's frames.
        job.refusal = why;
        jobs.stop(job);
        return;
    }
    view.result(job, code);
    view.notice(job, why);
}

void flash_runner::on_ended(flash_job &job)
{
    // The worker's thread has ended: its trace is ours to finish.
    const auto watch = watches.find(&job);
    if (watch != watches.end()) {
        watch->second->flush();
        watches.erase(watch);
    }
    started.erase(std::remove(started.begin(), started.end(), &job), started.end());
    const auto times = turnarounds.find(&job);
    if (times != turnarounds.end()) {
        if (!times->second->append_to(turnaround_file, job.port))
            console::err_line(QStringLiteral("cannot append to %1").arg(turnaround_file));
        turnarounds.erase(times);
    }
    job.stop_seen = job.stop_seen || stop_signals::seen();
    ends.record(job);
    if (jobs.running() == 0)
        redraw.stop();
    if (after_end)
        after_end(job);
}

void run_jobs(const flash_request &request, job_list &list, const image::loaded &firmware,
              device_ends &ends, const QElapsedTimer &clock)
{
    flash_runner runner(request, ends, clock);
    runner.after_end = [&runner](flash_job &) {
        if (runner.running() == 0)
            runner.quit();
    };
    for (const auto &job : list)
        if (job->refusal.isEmpty())
            runner.start(*job, firmware);
    if (runner.running() > 0)
        runner.exec();
}
