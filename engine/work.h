#pragma once

#include "line.h"
#include "modbus.h"
#include "outcome.h"
#include "reply_ledger.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <optional>

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
    // `address` is where a converted file's image belongs; the update then refuses a
    // device whose program starts elsewhere.
    void set_image(const QByteArray &loaded, std::optional<quint32> address = std::nullopt)
    {
        preloaded = loaded;
        preloaded_address = address;
    }

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
    // How often a block waited for replies still owed to earlier ones.
    int settle_count() const { return ledger.settle_count(); }
    // Write replies set aside because they came far later than this line answers.
    int suspect_count() const { return ledger.count(reply_ledger::verdict::suspect); }
    // True once the device answered the start request with its acceptance: its own check
    // of the image it holds passed. Without a start nothing proves the image, and an update
    // that ends with success is then written, not verified.
    bool start_confirmed() const { return confirmed_start; }
    // Some bootloaders jump into the new program without answering the start request. With
    // this set, silence after every start attempt ends the update with success all the same
    // (start_confirmed() stays false); otherwise it ends with no_answer. Off by default.
    void set_silent_start_ok(bool ok) { silent_start_ok = ok; }
    // The line gives back every byte sent before the device's reply (an RS-485 adapter
    // without echo suppression): each request's own bytes are checked and dropped first, and
    // bytes other than those spoil the exchange. Off by default.
    void set_line_echoes(bool on) { ledger.set_line_echoes(on); }
    // Words the operator must see while the update runs, told at most once, on the worker's
    // thread: an echo on a line not said to echo.
    using warning_fn = std::function<void(const QString &)>;
    void set_warning(warning_fn fn) { warn = std::move(fn); }
    // Frames set aside because they were byte for byte the request just sent.
    int echo_count() const { return ledger.count(reply_ledger::verdict::echo); }
    static constexpr const char *echo_warning =
        "the line echoes what korvane sends (an RS-485 adapter without echo suppression?): use --echo";
    // Why the update failed, in English words, where the result code alone does not say it
    // ("firmware built for 0x08004000, the device's program starts at 0x00008000"); empty
    // otherwise. Set on the worker's thread before the code is emitted.
    const QString &failure_detail() const { return detail; }
    // The restart requests sent to the application and how many of them got any reply:
    // when the bootloader is never found, an answer says the line and baud rate are right.
    int restart_requests() const { return restart_sent; }
    int restart_replies() const { return restart_heard; }
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

    // Microseconds on a clock that only goes forward; a steady clock unless a fuzz target
    // puts its virtual one here.
    using clock_fn = std::function<qint64()>;
    void set_clock(clock_fn now) { clock = std::move(now); }
    // Sleeps `ms` for the handshake's reopen and between restart requests; a virtual clock's
    // owner makes the time pass on that clock instead.
    using pause_fn = std::function<void(int ms)>;
    void set_pause(pause_fn fn) { pause = std::move(fn); }
    // With this set, progress_set carries a percentage only when it differs from the last
    // one sent: one percentage spans many blocks, and each emission wakes the
    // receiving thread. Off by default, so the window's dialog gets every value.
    void set_progress_changes_only(bool on) { progress_changes_only = on; }

    // How long the handshake loop keeps trying; 30 s unless a test shortens it.
    void set_handshake_limit_ms(int ms) { handshake_limit_ms = ms; }

    static constexpr int poll_ms = 5;
    static constexpr int write_flush_ms = 1000;
    static constexpr int max_drain_reads = 64; // a chattering line cannot hold up a request
    static constexpr int info_attempts = 11;
    static constexpr int erase_attempts = 4;
    static constexpr int block_attempts = 6;
    static constexpr int start_attempts = 3;
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
    // Takes what the system holds for the port, and throws it away.
    void drain();
    // Sends a request, after what the ledger says is owed has come, and waits for the reply
    // to its command.
    reply_ledger::heard exchange(const QByteArray &request, int timeout_ms);
    reply_ledger::heard receive_reply(int timeout_ms);
    // Why a command got no answer it could take, where the line showed more than silence.
    QString silence_reason() const;
    bool poll_port(int ms);
    // Takes in and throws away what arrives until what is owed has come or its time passed.
    void settle_owed(const QByteArray &request);
    qint64 now_us() const;
    void sleep_ms(int ms);
    void log_rejection(int line) const;
    void status(const char *text);
    // Emits a failure code with the words that explain it (failure_detail()).
    void fail(outcome::result code, const QString &why);
    bool find_bootloader();
    outcome::status write_all();
    outcome::status start_command();
    // The start step of the sequence: true when the update ends with success.
    bool confirm_start();
    // Repeats a command while it gets no answer; no_reply after the last attempt that counts,
    // or a stop.
    template <typename Step> outcome::status attempt(int attempts, Step step);
    // The sequence's verdict on a command: a wrong answer ends it with wrong_answer, a stop
    // without a code, no answer at all with no_answer; true when the update goes on.
    bool goes_on(outcome::status status);
    // A converted image must start where the device's program does: written elsewhere it
    // would never run. Fails with firmware_unusable before anything is erased.
    bool fits_device();
    // Whether the transfer's progress value is worth emitting; notes it as sent.
    bool progress_is_news(int value)
    {
        const bool news = !progress_changes_only || value != progress_sent;
        progress_sent = value;
        return news;
    }

    std::atomic<bool> stop_flag{false};
    line *serial = nullptr;
    quint32 base_address = 0;
    QByteArray firmware;
    modbus::crc_table crc_table_hi;
    modbus::crc_table crc_table_lo;

    const UpdateSettings *settings_record;
    QByteArray preloaded;
    std::optional<quint32> preloaded_address;
    std::optional<quint32> firmware_address; // of `firmware`, when it was converted
    trace_fn trace;
    port_factory make_port;
    notice_fn notice;
    bool latency_told = false;
    quint64 polls = 0;
    std::atomic<qint64> confirmed{0};
    bool confirmed_start = false;
    QString detail;
    int restart_sent = 0;
    int restart_heard = 0;
    bool silent_start_ok = false;
    bool progress_changes_only = false;
    int progress_sent = -1;
    int handshake_limit_ms = default_handshake_limit_ms;
    clock_fn clock;
    pause_fn pause;
    QElapsedTimer since_created;
    warning_fn warn;
    reply_ledger ledger; // what is owed, and what each frame that arrives is
};
