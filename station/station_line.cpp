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
    connect(&runner, &job_runner::warning, this, [this](flash_job *job, const QString &) {
        // The only warning there is: a line that echoes.
        emit logged(tr("%1  %2  线路回显了发出的数据（RS-485 转换器没有回显抑制？）：请加 --echo 启动")
                        .arg(now_text(), job->port));
    });
    connect(&watch, &QTimer::timeout, this, &station_line::poll);
}

bool parse_station_pattern(const QString &text, port_watch::pattern *out, QString *why)
{
    // A plain name is a port in /dev, as the serial port class takes it.
    const bool as_given = port_lookup::is_usb(text) || net_address::is_network(text);
    const QString given = as_given ? text : port_lookup::location_of(text);
    return port_watch::parse(given, out, why);
}

bool port_order(const QString &a, const QString &b)
{
    int i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            int ei = i, ej = j;
            while (ei < a.size() && a.at(ei).isDigit())
                ++ei;
            while (ej < b.size() && b.at(ej).isDigit())
                ++ej;
            // Port names carry no leading zeros: the longer run of digits is the larger number.
            const QStringRef x = a.midRef(i, ei - i), y = b.midRef(j, ej - j);
            const int by_length = (ei - i) - (ej - j);
            if (by_length != 0 || x != y)
                return by_length != 0 ? by_length < 0 : x < y;
            i = ei;
            j = ej;
            continue;
        }
        if (a.at(i) != b.at(j))
            return a.at(i) < b.at(j);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
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
    loaded.image = image::load(path, image::max_file_size, raw);
    if (loaded.ok())
        start_waiting();
    return loaded.ok();
}

QString station_line::log_clash(const QString &path, const QString &firmware) const
{
    QStringList ports;
    for (const port_watch::device &d : port_watch::scan(patterns))
        ports << d.location;
    return ::log_clash(path, firmware, ports);
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
                                             return port_order(x->location, l);
                                         });
        t = tile_list.insert(at, std::move(made))->get();
    }
    t->serial = d.serial.isEmpty() ? port_watch::usb_serial(d.location) : d.serial;
    t->plug_in = ++plug_ins;
    t->what = station_tile::state::idle;
    t->reason.clear();
    t->reason_whole.clear();
    t->board_serial.clear();
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
    if (stop_asked || log_stop || !loaded.ok() || !t.present || t.what == station_tile::state::running)
        return false;
    t.job = std::make_unique<flash_job>();
    flash_job &job = *t.job;
    job.given = job.port = t.location;
    job.serial = t.serial;
    // A scanned label belongs to one board: the first to start without one takes it.
    if (t.board_serial.isEmpty() && !next_board_serial.isEmpty()) {
        t.board_serial = next_board_serial;
        next_board_serial.clear();
        emit board_serial_changed();
    }
    job.board_serial = t.board_serial;
    fill_settings(job.settings, line, t.location, loaded.path);
    job.accept_silent_start = silent_start_ok;
    job.line_echoes = line_echoes;
    t.firmware_path = loaded.path;
    t.firmware_size = loaded.image.file_size;
    t.firmware_sha256 = loaded.image.file_sha256;
    t.firmware_format = image::format_name(loaded.image);
    t.firmware_warnings = image::warnings(loaded.image);
    t.firmware_address = loaded.image.address;
    t.what = station_tile::state::running;
    t.reason.clear();
    t.reason_whole.clear();
    t.replugged = false;
    runner.start(job, loaded.image.bytes, loaded.image.address);
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
    if (on && !automatic) {
        batch.clear();
        emit tally_changed();
    }
    automatic = on;
    start_waiting();
}

int station_line::passed_count() const
{
    int n = 0;
    for (const auto &t : tile_list)
        n += t->present && t->passed();
    return n;
}

int station_line::start_now(bool again)
{
    poll();
    batch.clear();
    emit tally_changed();
    int started = 0;
    for (const auto &t : tile_list)
        if (again || !(t->present && t->passed()))
            started += start(*t);
    return started;
}

void station_line::set_board_serial(const QString &text)
{
    next_board_serial = text.trimmed();
    emit board_serial_changed();
}

const station_tile *station_line::board_serial_taker() const
{
    for (const auto &t : tile_list) {
        const bool startable = t->present && t->what != station_tile::state::running
                               && t->board_serial.isEmpty();
        // In automatic mode only a device not yet updated waits to start (for the firmware,
        // or for the log to be acknowledged); 开始 also repeats failed ones.
        if (startable && (automatic ? t->what == station_tile::state::idle : !t->passed()))
            return t.get();
    }
    return nullptr;
}

void station_line::acknowledge_log()
{
    if (!log_stop)
        return;
    log_stop = false;
    emit log_changed();
    // What came while it was stopped gets its turn now.
    start_waiting();
}

std::vector<int> station_line::display_order() const
{
    std::vector<int> order;
    for (int failed_pass = 1; failed_pass >= 0; --failed_pass)
        for (int i = 0; i < int(tile_list.size()); ++i)
            if ((tile_list[size_t(i)]->what == station_tile::state::failed) == bool(failed_pass))
                order.push_back(i);
    return order;
}

void board_tally::count(station_tile::state what, int sign)
{
    ok += sign * (what == station_tile::state::ok || what == station_tile::state::written);
    written += sign * (what == station_tile::state::written);
    failed += sign * (what == station_tile::state::failed);
}

void board_tally::add(const station_tile &t)
{
    int board = t.board_serial.isEmpty() ? -1 : by_serial.value(t.board_serial, -1);
    if (board < 0)
        board = by_plug_in.value(t.plug_in, -1);
    if (board < 0) {
        board = int(verdicts.size());
        verdicts.push_back(station_tile::state::idle);
    }
    count(verdicts[size_t(board)], -1);
    verdicts[size_t(board)] = t.what;
    count(t.what, 1);
    if (!t.board_serial.isEmpty())
        by_serial.insert(t.board_serial, board);
    by_plug_in.insert(t.plug_in, board);
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
    t.what = !ok           ? station_tile::state::failed
             : end.verified ? station_tile::state::ok
                            : station_tile::state::written;
    if (ok) {
        t.reason.clear();
        t.reason_whole.clear();
    } else {
        explain_failure(t, end);
    }
    shift.add(t);
    batch.add(t);
    record(t, end);
    emit tile_changed(i);
    emit tally_changed();
    emit device_ended(i);
    if (t.replugged && !stop_asked) {
        t.replugged = false;
        arrive({t.location, t.serial, QString()});
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
    case station_tile::state::written:
        return tr("已写入");
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
    if (end.unplugged)
        return tr("已拔出");
    // The same words as the progress dialog's error box, from the same table.
    const outcome::description *d = outcome::describe(end.code);
    if (d && d->window_text)
        return QCoreApplication::translate("diaglogProgress", d->window_text);
    return tr("未知错误(%1)！").arg(end.code);
}

namespace {

QString hex_address(quint32 a)
{
    return QStringLiteral("0x") + QString::number(a, 16).toUpper().rightJustified(8, QLatin1Char('0'));
}

} // namespace

void station_line::explain_failure(station_tile &t, const job_end &end)
{
    const flash_job &job = *t.job;
    // A converted image belongs at its own address: on a device whose program starts
    // elsewhere it was never read wrong, it was built for another device.
    if (end.code == outcome::firmware_unusable && t.firmware_address
        && *t.firmware_address != job.device_address) {
        t.reason = tr("固件地址不符");
        t.reason_whole = tr("%1：固件的起始地址是 %2，设备程序的起始地址是 %3")
                             .arg(t.reason, hex_address(*t.firmware_address), hex_address(job.device_address));
        return;
    }
    t.reason = reason_text(end);
    t.reason_whole = t.reason;
    if (!end.unplugged && !job.failure_detail.isEmpty())
        t.reason_whole += QStringLiteral("：") + job.failure_detail;
}

void station_line::record(const station_tile &t, const job_end &end)
{
    const QDateTime now = QDateTime::currentDateTime();
    QString line = QStringLiteral("%1  %2  %3").arg(now_text(now), t.location, state_text(t.what));
    if (!t.reason_whole.isEmpty())
        line += QStringLiteral("  ") + t.reason_whole;
    emit logged(line);
    if (!log.is_open())
        return;
    shift_record r = record_of(*t.job, end, t.firmware_path, t.firmware_size, t.firmware_sha256);
    r.firmware_format = t.firmware_format;
    r.warnings = t.firmware_warnings;
    r.time = now;
    QString why;
    const int lost = log.lost_count();
    const bool written = log.append(r, &why);
    count_lost(log.lost_count() - lost, now);
    if (written)
        return;
    // Updating on without a record would leave boards nobody can account for.
    emit logged(tr("%1  日志写入失败：%2").arg(now_text(now), why));
    log_stop = true;
    log_why = why;
    ++unlogged;
    emit log_changed();
    emit tally_changed();
}

// Records that went with a log deleted during the shift: those devices are unaccounted for.
void station_line::count_lost(int records, const QDateTime &now)
{
    if (records <= 0)
        return;
    unlogged += records;
    emit logged(tr("%1  日志文件被删除，已在原处重新建立；%2 台设备的记录随之丢失").arg(now_text(now)).arg(records));
    emit tally_changed();
}
