#include "job_runner.h"

#include "port_check.h"
#include "port_lookup.h"
#include "telnet.h"
#include "work.h"

#include <QFileInfo>
#include <QThread>

#include <algorithm>

job_runner::job_runner(const QElapsedTimer &clock, QObject *parent) : QObject(parent), clock(clock)
{
}

job_runner::~job_runner()
{
    stop_all();
    for (slot &s : running_slots) {
        s.thread->quit();
        s.thread->wait();
    }
}

void job_runner::connect_worker(flash_job &job, work &worker)
{
    flash_job *j = &job;
    connect(&worker, &work::work_status_str, this, [this, j](const QString &text) {
        j->note_status(text, clock.elapsed());
        emit status(j);
    });
    connect(&worker, &work::progress_set, this, [this, j](int value) {
        if (j->note_progress(value))
            emit progress(j);
    });
    worker.set_warning([this, j](const QString &text) {
        QMetaObject::invokeMethod(this, [this, j, text] { emit warning(j, text); }, Qt::QueuedConnection);
    });
    // Its words are taken on the worker's thread as the code is emitted, while they are
    // still the code's own, and queued behind it like the other signals.
    const work *w = &worker;
    connect(&worker, &work::result, &worker, [this, j, w](int code) {
        const QString why = w->failure_detail();
        QMetaObject::invokeMethod(this, [this, j, code, why] {
            j->note_result(code, why);
            emit result(j, code);
        }, Qt::QueuedConnection);
    }, Qt::DirectConnection);
}

void job_runner::start(flash_job &job, const QByteArray &image, std::optional<quint32> address)
{
    auto thread = std::make_unique<QThread>();
    auto *worker = new work(job.settings);
    worker->set_image(image, address); // one image for every device, and one copy in memory
    worker->set_silent_start_ok(job.accept_silent_start);
    worker->set_line_echoes(job.line_echoes);
    // The views redraw only on a new percentage: the rest would wake this thread per block.
    worker->set_progress_changes_only(true);
    worker->moveToThread(thread.get());
    connect(thread.get(), &QThread::finished, worker, &QObject::deleteLater);
    connect_worker(job, *worker);
    job.worker = worker;
    job.started_ms = clock.elapsed();
    if (prepare)
        prepare(job, *worker);
    thread->start();
    ++active;
    flash_job *j = &job;
    // Posted after start() returns, so it arrives behind everything the worker emitted.
    QMetaObject::invokeMethod(
        worker,
        [this, worker, j] {
            worker->start();
            flash_job::worker_end end;
            end.stop_requested = worker->stop_requested();
            end.confirmed = worker->confirmed_bytes();
            end.start_confirmed = worker->start_confirmed();
            end.restart_requests = worker->restart_requests();
            end.restart_replies = worker->restart_replies();
            end.device_address = worker->device_address();
            QMetaObject::invokeMethod(
                this, [this, j, end] { finish(j, end); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    if (stop_asked)
        worker->request_stop();
    running_slots.push_back({j, worker, std::move(thread)});
}

void job_runner::stop_all()
{
    stop_asked = true;
    for (const slot &s : running_slots)
        s.worker->request_stop();
}

void job_runner::stop(const flash_job &job)
{
    for (const slot &s : running_slots)
        if (s.job == &job)
            s.worker->request_stop();
}

std::vector<work *> job_runner::workers() const
{
    std::vector<work *> out;
    for (const slot &s : running_slots)
        out.push_back(s.worker);
    return out;
}

void job_runner::finish(flash_job *job, flash_job::worker_end end)
{
    // The worker is deleted on its own thread as that ends: a shift's worth of devices
    // leaves no threads behind.
    const auto s = std::find_if(running_slots.begin(), running_slots.end(),
                                [job](const slot &each) { return each.job == job; });
    if (s != running_slots.end()) {
        const std::unique_ptr<QThread> thread = std::move(s->thread);
        running_slots.erase(s);
        emit releasing(job);
        thread->quit();
        thread->wait();
    }
    --active;
    end.stop_requested = end.stop_requested || stop_asked;
    // A device pulled out mid-update takes its node with it; a silent one leaves it.
    job->port_gone = !net_address::is_network(job->port)
                     && !port_check::exists(port_lookup::location_of(job->port));
    job->note_end(clock.elapsed(), end);
    emit ended(job);
}
