#pragma once

#include "line.h"
#include "modbus.h"
#include "outcome.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>

struct UpdateSettings;

// One firmware update, from the restart request to the program start, run by start() on
// the thread the worker lives on. It reports through its three signals only; failures
// are result codes, never exceptions.
class work : public QObject
{
    Q_OBJECT

public:
    // Reads the window's process-wide record.
    explicit work(QObject *parent = nullptr);
    // Reads `own` instead, which must outlive the worker: one record per device when
    // several are updated at once.
    explicit work(const UpdateSettings &own, QObject *parent = nullptr);
    ~work() override;
    work(const work &) = delete;
    work &operator=(const work &) = delete;

    // Safe from any thread while start() runs: the sequence ends at its next wait point
    // without a result code. A queued stop() would only arrive after the sequence ended.
    void request_stop();
    bool stop_requested() const;

    // The steps of the sequence, each on the worker's thread. Public so that tools and
    // tests can drive one step at a time.
    bool open_serial();
    bool modbus_restart();
    int handshake();
    int sync_info();
    bool read_firmware();
    int erase_flash();
    bool write_firmware();
    bool start_program();

    // An image loaded once for several devices, so that all of them get the same bytes
    // and hold one copy between them: read_firmware() then takes it instead of the file.
    void set_image(const QByteArray &loaded) { preloaded = loaded; }

    QByteArray receive_frame(int timeout_ms);
    int write_block(quint32 address, const char *data, int length);
    static qint32 parse_number(const QString &text);
    bool modbus_write_register(int address, int reg, int value);
    bool wait_any_reply(int timeout_ms);
    static QByteArray descramble(const QByteArray &data);

    // What the steps left behind, for tools and tests.
    quint32 device_address() const { return base_address; }
    const QByteArray &image() const { return firmware; }
    line *port() const { return serial; }
    // Every 5 ms wait for a reply so far; tests count these instead of timing.
    quint64 poll_count() const { return polls; }
    // How often a request waited for the line to fall quiet after an unanswered one.
    int settle_count() const { return settles; }
    // True once the device answered the start request with its acceptance: its own check
    // of the image it holds passed. Without a start nothing proves the image, and an update
    // that ends with success is then written, not verified.
    bool start_confirmed() const { return confirmed_start; }
    // Some bootloaders jump into the new program without answering the start request. With
    // this set, silence after every start attempt ends the update with success all the same
    // (start_confirmed() stays false); otherwise it ends with no_answer. Off by default.
    void set_silent_start_ok(bool ok) { silent_start_ok = ok; }
    // Why the update failed, in English words, where the result code alone does not say it
    // ("firmware built for 0x08004000, the device's program starts at 0x00008000"); empty
    // otherwise. Set on the worker's thread before the code is emitted.
    const QString &failure_detail() const { return detail; }
    // Data bytes of the blocks the device has confirmed. Safe from any thread.
    qint64 confirmed_bytes() const { return confirmed.load(std::memory_order_relaxed); }

    // Every byte that crosses the port, for an engineer chasing a misbehaving device.
    // Called on the worker's thread; costs nothing while unset.
    enum class wire { sent, received, discarded };
    using trace_fn = std::function<void(wire, const QByteArray &)>;
    void set_trace(trace_fn fn) { trace = std::move(fn); }

    // Told once per update, on the worker's thread, what the line's first open made of its
    // latency (a local port's low-latency mode, a network line's): something an engineer
    // chasing a slow line wants to know.
    using notice_fn = std::function<void(const QString &)>;
    void set_notice(notice_fn fn) { notice = std::move(fn); }

    // Makes the line open_serial() configures and opens, instead of line::make() (a serial
    // port, or a network line for rfc2217:// and socket://): a fuzz target puts a scripted
    // line behind the worker this way. The worker owns it.
    using port_factory = std::function<line *(QObject *parent)>;
    void set_port_factory(port_factory make) { make_port = std::move(make); }

    // How long the handshake loop keeps trying; 30 s unless a test shortens it.
    void set_handshake_limit_ms(int ms) { handshake_limit_ms = ms; }

    static constexpr int poll_ms = 5;
    static constexpr int write_flush_ms = 1000;
    static constexpr int max_drain_reads = 64; // a chattering line cannot hold up a request
    // The latest a reply is taken to come, in reply waits after its request.
    static constexpr int late_reply_waits = 3;
    static constexpr int info_attempts = 11;
    static constexpr int erase_attempts = 4;
    static constexpr int block_attempts = 6;
    static constexpr int default_handshake_limit_ms = 30000;

signals:
    void result(int errcode);
    void work_status_str(QString str);
    void progress_set(int value);

public slots:
    void start();
    void stop();

private:
    const UpdateSettings &settings() const { return *settings_record; }
    bool port_open() const;
    bool open_port();
    void close_port();
    QByteArray read_port(wire kind);
    void write_port(const QByteArray &bytes);
    // Discards what is pending, then writes the whole request at once; first waits for a
    // quiet line when an earlier request went unanswered, if `settle` allows.
    void send(const QByteArray &request, bool settle);
    QByteArray exchange(const QByteArray &request, int timeout_ms, bool settle = true);
    bool poll_port(int ms);
    void settle_line();
    void log_rejection(int line) const;
    void status(const char *text);
    // Emits a failure code with the words that explain it (failure_detail()).
    void fail(outcome::result code, const QString &why);
    bool find_bootloader();
    outcome::status write_all();
    outcome::status start_command();
    // Repeats a command while it gets no answer; no_reply after the last attempt or a stop.
    template <typename Step> outcome::status attempt(int attempts, Step step);
    // The sequence's verdict on a command: a wrong answer ends it with wrong_answer, a stop
    // without a code, no answer at all with no_answer; true when the update goes on.
    bool goes_on(outcome::status status);

    std::atomic<bool> stop_flag{false};
    line *serial = nullptr;
    quint32 base_address = 0;
    QByteArray firmware;
    modbus::crc_table crc_table_hi;
    modbus::crc_table crc_table_lo;

    const UpdateSettings *settings_record;
    QByteArray preloaded;
    trace_fn trace;
    port_factory make_port;
    notice_fn notice;
    bool latency_told = false;
    quint64 polls = 0;
    int settles = 0;
    std::atomic<qint64> confirmed{0};
    bool confirmed_start = false;
    QString detail;
    bool silent_start_ok = false;
    int handshake_limit_ms = default_handshake_limit_ms;
    // Time the line stood idle: 5 ms for every poll that ended without data. It never
    // runs ahead of the clock, so a wait measured in it is at least as long as meant.
    qint64 idle_ms = 0;
    // A reply says nothing of which request it answers, so after a request went
    // unanswered its reply may still come, up to late_reply_waits reply waits after the
    // request, and be taken for the answer to the next one. Until then (in idle_ms) the
    // next request first takes in and throws away whatever arrives; -1 when nothing is
    // owed. Handshakes do not wait: every handshake asks the same, so a late answer is
    // as good as a prompt one and the bootloader is looked for without pause; but one
    // sent while an answer was owed may have taken that answer, and is owed its own.
    qint64 settle_until = -1;
};
