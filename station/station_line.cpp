#include "station_line.h"

#include "outcome.h"
#include "telnet.h"

#include <QCoreApplication>
#include <QDateTime>

#include <algorithm>

station_line::station_line(QObject *parent) : QObject(parent), runner(clock)
{
    clock.start();
    connect(&runner, &job_runner::status, this, &station_line::changed);
    connect(&runner, &job_runner::progress, this, &station_line::changed);
    connect(&runner, &job_runner::ended, this, &station_line::on_ended);
    connect(&watch, &QTimer::timeout, this, &station_line::poll);
}

bool parse_station_pattern(const QString &text, port_watch::pattern *out, QString *why)
{
    // A plain name is a port in /dev, as the serial port class takes it.
    const bool as_given = port_lookup::is_usb(text) || net_address::is_network(text);
    const QString given = as_given ? text : port_lookup::location_of(text);
    return port_watch::parse(given, out, why);
}

bool station_line::set_patterns(const QStringList &texts, QString *why)
{
    QList<port_watch::pattern> parsed;
    for (const QString &text : texts) {
        port_watch::pattern p;
        if (!parse_station_pattern(text, &p, why))
            return false;
        parsed << p;
    }
    patterns = parsed;
    return true;
}

bool station_line::load_firmware(const QString &path)
{
    loaded.path = path;
    loaded.image = image::load(path);
    if (loaded.ok())
        start_waiting();
    return loaded.ok();
}

bool station_line::open_log(const QString &path, QString *why)
{
    return log.open(path, why);
}

void station_line::start_watching(int interval_ms)
{
    watch.start(interval_ms);
    poll();
}

qint64 station_line::elapsed_ms(const station_tile &t) const
{
    return t.job ? t.job->elapsed_ms(clock.elapsed()) : 0;
}

// ---- devices coming and going ---------------------------------------------------------

station_tile *station_line::find(const QString &location)
{
    for (const auto &t : tile_list)
        if (t->location == location)
            return t.get();
    return nullptr;
}

void station_line::poll()
{
    ++poll_total;
    if (stop_asked)
        return;
    const port_watch::tracker::change c = tracker.update(port_watch::scan(patterns));
    for (const port_watch::device &d : c.gone)
        leave(d);
    for (const port_watch::device &d : c.appeared)
        arrive(d);
    if (!c.gone.isEmpty() || !c.appeared.isEmpty())
        emit tiles_changed();
    // The running tiles' clocks move on.
    for (int i = 0; i < int(tile_list.size()); ++i)
        if (tile_list[size_t(i)]->what == station_tile::state::running)
            emit tile_changed(i);
}

// The next device goes in: the results of those unplugged since the last one have been
// seen, and their tiles make room.
void station_line::drop_unplugged()
{
    tile_list.erase(std::remove_if(tile_list.begin(), tile_list.end(),
                                   [](const std::unique_ptr<station_tile> &t) {
                                       return !t->present && t->what != station_tile::state::running;
                                   }),
                    tile_list.end());
}

void station_line::arrive(const port_watch::device &d)
{
    // A glob also matches whatever else lies beside the ports (a log file next to a link,
    // say): only a serial port is written to.
    if (port_lookup::check(d.location, {}) == port_lookup::problem::not_serial) {
        emit logged(tr("%1  %2  不是串口，不更新").arg(now_text(), d.location));
        return;
    }
    station_tile *t = find(d.location);
    if (t && t->what == station_tile::state::running) {
        // Its update is not over: the new device waits for it, then starts afresh.
        t->present = true;
        t->replugged = true;
        return;
    }
    if (t)
        t->present = true; // kept out of drop_unplugged(), reset below
    drop_unplugged();
    if (!t) {
        auto made = std::make_unique<station_tile>();
        made->location = d.location;
        const auto at = std::lower_bound(tile_list.begin(), tile_list.end(), d.location,
                                         [](const std::unique_ptr<station_tile> &x, const QString &l) {
                                             return x->location < l;
                                         });
        t = tile_list.insert(at, std::move(made))->get();
    }
    t->serial = d.serial.isEmpty() ? port_watch::usb_serial(d.location) : d.serial;
    t->what = station_tile::state::idle;
    t->reason.clear();
    t->job.reset();
    if (automatic)
        start(*t);
}

void station_line::leave(const port_watch::device &d)
{
    station_tile *t = find(d.location);
    if (!t)
        return;
    t->present = false;
    t->replugged = false;
    if (t->what == station_tile::state::idle) // nothing to show for it
        tile_list.erase(std::find_if(tile_list.begin(), tile_list.end(),
                                     [t](const std::unique_ptr<station_tile> &x) { return x.get() == t; }));
}

// ---- updates ------------------------------------------------------------------------------

bool station_line::start(station_tile &t)
{
    if (stop_asked || !loaded.ok() || !t.present || t.what == station_tile::state::running)
        return false;
    t.job = std::make_unique<flash_job>();
    flash_job &job = *t.job;
    job.given = job.port = t.location;
    job.serial = t.serial;
    fill_settings(job.settings, line, t.location, loaded.path);
    t.firmware_path = loaded.path;
    t.firmware_size = loaded.image.file_size;
    t.firmware_sha256 = loaded.image.file_sha256;
    t.what = station_tile::state::running;
    t.reason.clear();
    t.replugged = false;
    runner.start(job, loaded.image.bytes);
    changed(&job);
    return true;
}

// The devices plugged in and not yet updated: automatic mode has just been switched on,
// or the firmware it waited for has come.
void station_line::start_waiting()
{
    if (!automatic)
        return;
    for (const auto &t : tile_list)
        if (t->what == station_tile::state::idle)
            start(*t);
}

void station_line::set_auto(bool on)
{
    automatic = on;
    start_waiting();
}

int station_line::start_now()
{
    poll();
    int started = 0;
    for (const auto &t : tile_list)
        started += start(*t);
    return started;
}

void station_line::stop_all()
{
    stop_asked = true;
    watch.stop();
    runner.stop_all();
    if (runner.running() == 0)
        emit finished();
}

int station_line::index_of(const flash_job *job) const
{
    for (size_t i = 0; i < tile_list.size(); ++i)
        if (tile_list[i]->job.get() == job)
            return int(i);
    return -1;
}

void station_line::changed(const flash_job *job)
{
    const int i = index_of(job);
    if (i >= 0)
        emit tile_changed(i);
}

void station_line::on_ended(flash_job *job)
{
    const int i = index_of(job);
    if (i < 0)
        return;
    station_tile &t = *tile_list[size_t(i)];
    const job_end end = conclude(*job);
    const bool ok = end.what == job_end::kind::ok;
    t.what = ok ? station_tile::state::ok : station_tile::state::failed;
    t.reason = ok ? QString() : reason_text(end);
    ++(ok ? ok_total : failed_total);
    record(t, end);
    emit tile_changed(i);
    emit tally_changed();
    if (t.replugged && !stop_asked) {
        t.replugged = false;
        arrive({t.location, t.serial});
        emit tiles_changed();
    }
    if (stop_asked && runner.running() == 0)
        emit finished();
}

// ---- texts and records --------------------------------------------------------------------

QString station_line::now_text(const QDateTime &when)
{
    return when.toString(QStringLiteral("HH:mm:ss"));
}

QString station_line::state_text(station_tile::state what)
{
    switch (what) {
    case station_tile::state::idle:
        return tr("待机");
    case station_tile::state::running:
        return tr("更新中");
    case station_tile::state::ok:
        return tr("成功");
    case station_tile::state::failed:
        break;
    }
    return tr("失败");
}

QString station_line::reason_text(const job_end &end)
{
    if (end.what == job_end::kind::interrupted)
        return tr("已停止");
    if (end.what == job_end::kind::no_result)
        return tr("更新未报告结果");
    // The same words as the progress dialog's error box, from the same table.
    const outcome::description *d = outcome::describe(end.code);
    if (d && d->window_text)
        return QCoreApplication::translate("diaglogProgress", d->window_text);
    return tr("未知错误(%1)！").arg(end.code);
}

void station_line::record(const station_tile &t, const job_end &end)
{
    const QDateTime now = QDateTime::currentDateTime();
    QString line = QStringLiteral("%1  %2  %3").arg(now_text(now), t.location, state_text(t.what));
    if (!t.reason.isEmpty())
        line += QStringLiteral("  ") + t.reason;
    emit logged(line);
    if (!log.is_open())
        return;
    shift_record r = record_of(*t.job, end, t.firmware_path, t.firmware_size, t.firmware_sha256);
    r.time = now;
    QString why;
    if (!log.append(r, &why))
        emit logged(tr("日志写入失败：%1").arg(why));
}
