#pragma once
// The command line's side of running workers, for a fixed list of ports and for a watch:
// the views, the wire trace, the driver's notices, the stop signals, every end recorded,
// and the event loop.
#include "flash.h"
#include "job_runner.h"
#include "turnaround_log.h"
#include "wire_watch.h"

#include <QElapsedTimer>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class flash_view;

class flash_runner
{
public:
    flash_runner(const flash_request &request, device_ends &ends, const QElapsedTimer &clock);
    // Stops what still runs and waits for it.
    ~flash_runner();
    flash_runner(const flash_runner &) = delete;
    flash_runner &operator=(const flash_runner &) = delete;

    // Starts the job's worker with `image` as its firmware. The stop signals are held
    // back meanwhile, so the worker's thread never takes one and the handler reaches it.
    void start(flash_job &job, const image::loaded &firmware);
    int running() const { return jobs.running(); }
    void stop_all() { jobs.stop_all(); }
    // The event loop, until quit() is called from within it.
    void exec();
    void quit();

    // Called once a device's end has been shown and recorded.
    std::function<void(flash_job &)> after_end;

private:
    void prepare(flash_job &job, work &worker);
    void republish();
    void on_result(flash_job &job, int code);
    void on_ended(flash_job &job);
    void driver_notice(const flash_job &job, const QString &text);
    void tick();

    const flash_request &request;
    device_ends &ends;
    flash_view &view;
    const QElapsedTimer &clock;
    job_runner jobs;
    std::map<const flash_job *, std::unique_ptr<wire_watch>> watches;
    std::vector<flash_job *> started; // those whose worker has not returned
    const QString turnaround_file; // empty unless the benchmark asks
    std::map<const flash_job *, std::unique_ptr<turnaround_log>> turnarounds;
    std::vector<work *> published; // what the stop signals reach
    QTimer redraw;
};
