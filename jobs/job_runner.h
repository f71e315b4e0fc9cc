#pragma once
// Runs the workers of a flash run, each as the window runs its one: created without a
// parent, moved to a thread of its own, its signals queued to the runner's thread and
// noted in its job, deleted on its thread when that ends. Jobs may be started at any
// time (a device plugged in on a production line) and end one by one.
#include "job.h"

#include <QElapsedTimer>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QThread;
class work;

class job_runner : public QObject
{
    Q_OBJECT

public:
    // `clock` times every job; it must outlive the runner.
    explicit job_runner(const QElapsedTimer &clock, QObject *parent = nullptr);
    // Stops what still runs and waits for it.
    ~job_runner() override;

    // Called on this thread with the worker before its thread starts: for a trace, say.
    using prepare_fn = std::function<void(flash_job &, work &)>;
    void set_prepare(prepare_fn fn) { prepare = std::move(fn); }

    // Starts the job's worker with `image` as its firmware; the job must outlive the run.
    // `address` is where a converted file's image belongs (none for a binary image).
    void start(flash_job &job, const QByteArray &image, std::optional<quint32> address);
    // Every running worker ends at its next wait, without a result code. Safe to call
    // from this thread only; a signal handler calls work::request_stop() itself.
    void stop_all();
    // That job's worker alone ends at its next wait.
    void stop(const flash_job &job);
    bool stopping() const { return stop_asked; }
    int running() const { return active; }
    // The workers that run now, for a signal handler to stop.
    std::vector<work *> workers() const;

signals:
    void status(flash_job *job);
    void progress(flash_job *job); // only a percentage that is news
    void result(flash_job *job, int code);
    // Words the operator must see while the update runs (a line that echoes).
    void warning(flash_job *job, const QString &text);
    // The worker has returned and is about to be deleted; workers() no longer lists it.
    // Whoever handed its pointer to a signal handler takes it back here.
    void releasing(flash_job *job);
    // The worker has returned; job->ended is set. conclude(*job) says how it went.
    void ended(flash_job *job);

private:
    struct slot
    {
        flash_job *job;
        work *worker; // lives on `thread` until its start() has returned
        std::unique_ptr<QThread> thread;
    };
    void connect_worker(flash_job &job, work &worker);
    void finish(flash_job *job, flash_job::worker_end end);

    const QElapsedTimer &clock;
    std::vector<slot> running_slots;
    prepare_fn prepare;
    int active = 0;
    bool stop_asked = false;
};
