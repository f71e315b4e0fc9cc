#pragma once
// The production line's bookkeeping, without widgets: which ports are watched, which
// devices to update and when, how each one's update stands, the tally and the shift log.
// The window only shows what this decides, so all of it can be tried without a screen.
#include "image.h"
#include "job.h"
#include "job_runner.h"
#include "modbus.h"
#include "port_watch.h"
#include "shift_log.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

// A watched port as the operator writes it: a glob (/dev/ttyUSB*, or ttyUSB* for one in
// /dev), usb:VID:PID[:SERIAL] or a plain name (ttyS0). False with the reason in *why when
// it cannot match anything.
bool parse_station_pattern(const QString &text, port_watch::pattern *out, QString *why);

// Ports in the order people count them: ttyUSB2 before ttyUSB10.
bool port_order(const QString &a, const QString &b);

// The firmware every device of the line gets: loaded once, the same bytes for all.
struct station_firmware
{
    QString path; // as given
    image::loaded image;

    bool ok() const { return image.ok(); }
};

// One device position, as one tile shows it.
struct station_tile
{
    // written: a success the device never confirmed (no start, so no check of its own).
    enum class state { idle, running, ok, written, failed };

    QString location;     // the port the update opens
    QString serial;       // the USB serial number, empty when unknown
    // The board's own, scanned before its first update; kept while it stays plugged in.
    QString board_serial;
    quint64 plug_in = 0;  // which plugging-in of a device this is: a new number each time
    bool present = true;  // still plugged in
    bool replugged = false; // a new device came while the last one's update still ran
    state what = state::idle;
    QString reason;       // why it failed, in few enough words for the tile
    QString reason_whole; // the same with all that is known, for its tooltip and the run log
    bool passed() const { return what == state::ok || what == state::written; }
    std::unique_ptr<flash_job> job; // the running or last update; null before the first
    // The firmware this device got, for the shift log: the file may change meanwhile.
    QString firmware_path;
    qint64 firmware_size = 0;
    QByteArray firmware_sha256;
    QString firmware_format;
    QStringList firmware_warnings;
    std::optional<quint32> firmware_address; // a converted file's own
};

// The count of boards, not of updates: each board counts once, with its latest verdict, so
// a board that failed and then passed is one 成功. A board is known by its scanned serial
// number, or else by its plugging-in (the same device on the same port, not unplugged
// since): without a label nothing tells a board plugged in again from a new one.
class board_tally
{
public:
    void add(const station_tile &t);
    void clear() { *this = {}; }
    int ok = 0;      // with their image on the device, written ones included
    int written = 0; // of those, never confirmed by the device
    int failed = 0;

private:
    void count(station_tile::state what, int sign);
    std::vector<station_tile::state> verdicts;
    QHash<QString, int> by_serial;
    QHash<quint64, int> by_plug_in;
};

class station_line : public QObject
{
    Q_OBJECT

public:
    explicit station_line(QObject *parent = nullptr);
    // Stops what still runs and waits for it (the runner's own destructor).
    ~station_line() override = default;

    // Ports as globs (/dev/ttyUSB*), usb:VID:PID[:SERIAL] or plain names (ttyS0). False
    // with the reason in *why when one cannot match anything; the old ones then stay.
    bool set_patterns(const QStringList &texts, QString *why);
    // Loads the file once for every device started from now on. A file that cannot
    // become an image leaves the line without firmware, so nothing stale is written.
    bool load_firmware(const QString &path);
    // The operator says the firmware is a binary image whatever it holds (--raw).
    void set_raw(bool on) { raw = on; }
    const station_firmware &firmware() const { return loaded; }
    void set_line(const line_settings &s) { line = s; }
    // For bootloaders that start the program without answering: a start request left
    // unanswered counts as success, not verified. Off unless set.
    void set_accept_silent_start(bool on) { silent_start_ok = on; }
    // The lines give back what korvane sends (RS-485 adapters without echo suppression).
    void set_line_echoes(bool on) { line_echoes = on; }
    // Why `path` must not take the shift log, to follow "it is ": `firmware`, a port the
    // patterns find now or another serial port (log_clash()). Empty when it may.
    QString log_clash(const QString &path, const QString &firmware) const;
    // Appends one JSON line per finished device to `path`; false with the reason in *why.
    bool open_log(const QString &path, QString *why);

    // Scans a few times a second until stop_all().
    void start_watching(int interval_ms = 250);
    // One scan: a tile for each device that appeared, updated at once in automatic mode.
    void poll();
    // Updates every device the patterns match now that is not already being updated, those
    // that passed since they were plugged in only if `again`; returns how many started.
    int start_now(bool again = true);
    // Devices present that passed since they were plugged in: 开始 asks before repeating them.
    int passed_count() const;
    // Automatic mode: each device is updated as it appears, once while it stays plugged in.
    void set_auto(bool on);
    bool auto_on() const { return automatic; }
    // Every update ends at its next wait and nothing new starts; finished() follows once
    // the last one has ended (at once when none runs).
    void stop_all();
    bool stopping() const { return stop_asked; }
    int running() const { return runner.running(); }

    const std::vector<std::unique_ptr<station_tile>> &tiles() const { return tile_list; }
    // The order the tiles are shown in: failures first, so none hides below the others,
    // then the rest by port. Indices into tiles().
    std::vector<int> display_order() const;
    qint64 elapsed_ms(const station_tile &t) const;
    // Boards whose image is on them (written_count() of them unconfirmed) and that failed,
    // each by its latest update, in the shift and since the last 开始 or 自动 switched on.
    int ok_count() const { return shift.ok; }
    int written_count() const { return shift.written; }
    int failed_count() const { return shift.failed; }
    int batch_ok_count() const { return batch.ok; }
    int batch_written_count() const { return batch.written; }
    int batch_failed_count() const { return batch.failed; }

    // A scanned label: it replaces the one waiting, if any, and goes to the next board to
    // start that has none (one that failed keeps its own for its next attempt). Empty clears it.
    void set_board_serial(const QString &text);
    const QString &board_serial() const { return next_board_serial; }
    // The device that would take it if nothing were plugged in meanwhile: the first in port
    // order that 开始 (or, in automatic mode, the line as soon as it may) would start. Null
    // when that is the next device plugged in.
    const station_tile *board_serial_taker() const;

    // A record the shift log could not take stops every new update until the operator
    // has seen it; devices already running go on.
    bool log_blocked() const { return log_stop; }
    const QString &log_error() const { return log_why; }
    int unlogged_count() const { return unlogged; }
    void acknowledge_log();
    quint64 polls() const { return poll_total; }

    // How a tile's state and result read in the window.
    static QString state_text(station_tile::state what);
    static QString reason_text(const job_end &end);
    // Why a device failed: the tile's words, and the whole text for tooltip and run log.
    static void explain_failure(station_tile &t, const job_end &end);
    // The run log's time of day.
    static QString now_text(const QDateTime &when = QDateTime::currentDateTime());

signals:
    void tiles_changed();        // tiles came or went: the layout changes
    void tile_changed(int index);
    void tally_changed();
    void device_ended(int index); // its tile has its verdict
    void board_serial_changed();
    void log_changed();           // the log failed or was acknowledged
    void logged(const QString &line); // one line of the run log
    void finished();             // after stop_all(), nothing runs any more

private:
    bool raw = false;
    station_tile *find(const QString &location);
    void arrive(const port_watch::device &d);
    void leave(const port_watch::device &d);
    void drop_unplugged();
    bool start(station_tile &t);
    void start_waiting();
    void on_ended(flash_job *job);
    void record(const station_tile &t, const job_end &end);
    void count_lost(int records, const QDateTime &now);
    void changed(const flash_job *job);
    int index_of(const flash_job *job) const;

    QElapsedTimer clock; // before the runner, which times every job with it
    // Before the runner too: its workers read their jobs' settings until it has joined them.
    std::vector<std::unique_ptr<station_tile>> tile_list;
    job_runner runner;
    QTimer watch;
    QList<port_watch::pattern> patterns;
    port_watch::tracker tracker;
    station_firmware loaded;
    line_settings line;
    shift_log log;
    bool automatic = false;
    bool silent_start_ok = false;
    bool line_echoes = false;
    bool stop_asked = false;
    board_tally shift;
    board_tally batch;
    QString next_board_serial;
    quint64 plug_ins = 0;
    bool log_stop = false;
    QString log_why;
    int unlogged = 0;
    quint64 poll_total = 0;
};
