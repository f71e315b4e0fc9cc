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
#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

// A watched port as the operator writes it: a glob (/dev/ttyUSB*, or ttyUSB* for one in
// /dev), usb:VID:PID[:SERIAL] or a plain name (ttyS0). False with the reason in *why when
// it cannot match anything.
bool parse_station_pattern(const QString &text, port_watch::pattern *out, QString *why);

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
    enum class state { idle, running, ok, failed };

    QString location;     // the port the update opens
    QString serial;       // the USB serial number, empty when unknown
    bool present = true;  // still plugged in
    bool replugged = false; // a new device came while the last one's update still ran
    state what = state::idle;
    QString reason;       // why it failed, in the window's words
    std::unique_ptr<flash_job> job; // the running or last update; null before the first
    // The firmware this device got, for the shift log: the file may change meanwhile.
    QString firmware_path;
    qint64 firmware_size = 0;
    QByteArray firmware_sha256;
    QString firmware_format;
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
    // Appends one JSON line per finished device to `path`; false with the reason in *why.
    bool open_log(const QString &path, QString *why);

    // Scans a few times a second until stop_all().
    void start_watching(int interval_ms = 250);
    // One scan: a tile for each device that appeared, updated at once in automatic mode.
    void poll();
    // Updates every device the patterns match now that is not already being updated;
    // returns how many started.
    int start_now();
    // Automatic mode: each device is updated as it appears, once while it stays plugged in.
    void set_auto(bool on);
    bool auto_on() const { return automatic; }
    // Every update ends at its next wait and nothing new starts; finished() follows once
    // the last one has ended (at once when none runs).
    void stop_all();
    bool stopping() const { return stop_asked; }
    int running() const { return runner.running(); }

    const std::vector<std::unique_ptr<station_tile>> &tiles() const { return tile_list; }
    qint64 elapsed_ms(const station_tile &t) const;
    int ok_count() const { return ok_total; }
    int failed_count() const { return failed_total; }
    quint64 polls() const { return poll_total; }

    // How a tile's state and result read in the window.
    static QString state_text(station_tile::state what);
    static QString reason_text(const job_end &end);

signals:
    void tiles_changed();        // tiles came or went: the layout changes
    void tile_changed(int index);
    void tally_changed();
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
    void changed(const flash_job *job);
    int index_of(const flash_job *job) const;
    // The run log's time of day.
    static QString now_text(const QDateTime &when = QDateTime::currentDateTime());

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
    bool stop_asked = false;
    int ok_total = 0;
    int failed_total = 0;
    quint64 poll_total = 0;
};
