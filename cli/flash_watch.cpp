// Watching for devices on a production line: the ports the patterns match are scanned a
// few times a second on the event loop, and every device that appears is updated once on a
// worker of its own, while the others go on.
#include "flash.h"
#include "flash_runner.h"
#include "stop_signals.h"
#include "view.h"

#include <QHash>
#include <QTimer>

#include <algorithm>

namespace {

// A device plugged in waits at most this long; an idle scan of a folder costs next to
// nothing at this rate.
constexpr int scan_interval_ms = 250;

class watch_loop
{
public:
    watch_loop(const flash_request &request, const image::loaded &firmware, device_ends &ends,
               const QElapsedTimer &clock, job_list &jobs);
    void run();
    bool count_reached() const { return request.count > 0 && ended >= request.count; }

private:
    void scan();
    void take(const port_watch::device &device);
    void after_end(flash_job &job);
    void stop();
    // A port is busy by its name (a link re-pointed at the next device plugged in) and by
    // the device behind it (whatever its names).
    bool busy_with(const port_watch::device &d) const
    {
        return busy.contains(d.location) || busy.contains(d.port());
    }
    // Whichever serial number a scan reads for it: the port is what the update reached.
    bool was_reached(const port_watch::device &d) const
    {
        return std::any_of(reached.begin(), reached.end(), [&d](const port_watch::device &r) {
            return r.location == d.location && r.port() == d.port();
        });
    }
    bool taking() const { return !stopping && (request.count == 0 || taken < request.count); }

    const flash_request &request;
    const image::loaded &firmware;
    device_ends &ends;
    flash_view &view;
    job_list &jobs;
    flash_runner runner;
    port_watch::tracker tracker;
    QTimer timer;
    QList<port_watch::device> announced; // taken up, and not yet seen to go
    QHash<QString, QString> serials;     // of the announced, by port
    // Plugged in while the update of the device before it on the same port still ran.
    QList<port_watch::device> waiting;
    // Behind the port of an update that has just succeeded: the update reached it (its
    // handshake reopened the port) before a scan saw it come, so it is no new device when
    // the next scan does. Kept for that one scan only.
    QList<port_watch::device> reached;
    QHash<QString, const flash_job *> busy; // location and device::port() -> its job
    int taken = 0;
    int ended = 0;
    bool stopping = false;
};

watch_loop::watch_loop(const flash_request &request, const image::loaded &firmware, device_ends &ends,
                       const QElapsedTimer &clock, job_list &jobs)
    : request(request), firmware(firmware), ends(ends), view(ends.view), jobs(jobs), runner(request, ends, clock)
{
    runner.after_end = [this](flash_job &job) { after_end(job); };
    QObject::connect(&timer, &QTimer::timeout, [this] { scan(); });
}

void watch_loop::run()
{
    QStringList texts;
    for (const port_watch::pattern &p : request.watch)
        texts << p.text;
    view.watching(texts, request.count);
    timer.start(scan_interval_ms);
    QTimer::singleShot(0, &timer, [this] { scan(); }); // the devices present at the start
    runner.exec();
}

void watch_loop::scan()
{
    if (stop_signals::seen()) {
        runner.stop_all(); // the handler reached the published workers; these are all
        stop();
        return;
    }
    const port_watch::tracker::change change = tracker.update(port_watch::scan(request.watch));
    for (const port_watch::device &d : change.gone) {
        waiting.removeAll(d);
        const int i = announced.indexOf(d);
        if (i >= 0) {
            const port_watch::device was = announced.takeAt(i);
            view.gone(was.location, serials.take(was.location));
        }
    }
    for (const port_watch::device &d : change.appeared) {
        if (was_reached(d)) {
            announced << d; // its leaving is told as the device it replaced would be
            serials.insert(d.location, d.serial);
        } else if (busy_with(d))
            waiting << d; // two workers must never share a port
        else if (taking())
            take(d);
    }
    reached.clear();
}

void watch_loop::take(const port_watch::device &device)
{
    const QList<port_lookup::entry> present = port_lookup::present();
    jobs.push_back(std::make_unique<flash_job>());
    flash_job &job = *jobs.back();
    job.given = job.port = device.location;
    job.serial = device.serial;
    ++taken;
    prepare_job(request, present, job, view); // the serial number too, for a glob's device
    announced << device;
    serials.insert(device.location, job.serial);
    view.appeared(job);
    if (!job.refusal.isEmpty()) {
        ends.record(job);
        after_end(job);
        return;
    }
    busy.insert(device.location, &job);
    busy.insert(device.port(), &job);
    runner.start(job, firmware);
}

void watch_loop::after_end(flash_job &job)
{
    ++ended;
    const QStringList keys = busy.keys(&job); // none for a device refused before its start
    for (const QString &key : keys)
        busy.remove(key);
    // A device plugged in on this port while the update ran: the update reached it if it
    // succeeded after all (a handshake retried on the new device); otherwise it is new.
    const bool ok = conclude(job).what == job_end::kind::ok;
    if (ok)
        reached << port_watch::device{job.given, QString(), port_lookup::identity(job.given)};
    QList<port_watch::device> next;
    for (int i = waiting.size() - 1; i >= 0; --i)
        if (keys.contains(waiting.at(i).location) || keys.contains(waiting.at(i).port()))
            next.prepend(waiting.takeAt(i));
    for (const port_watch::device &d : qAsConst(next))
        if (!ok && taking() && !busy_with(d))
            take(d);
    if (count_reached())
        stop();
    if (stopping && runner.running() == 0)
        runner.quit();
}

void watch_loop::stop()
{
    stopping = true;
    timer.stop();
    waiting.clear();
    if (runner.running() == 0)
        runner.quit();
}

} // namespace

bool run_watch(const flash_request &request, const image::loaded &firmware, device_ends &ends,
               const QElapsedTimer &clock, job_list &jobs)
{
    watch_loop loop(request, firmware, ends, clock, jobs);
    loop.run();
    return request.count == 0 || loop.count_reached();
}
