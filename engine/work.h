#pragma once

#include "modbus.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>

class QSerialPort;
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

    QByteArray receive_frame(int timeout_ms);
    int write_block(quint32 address, const char *data, int length);
    static qint32 parse_number(const QString &text);
    bool modbus_write_register(int address, int reg, int value);
    bool wait_any_reply(int timeout_ms);
    static QByteArray descramble(const QByteArray &data);

    // What the steps left behind, for tools and tests.
    quint32 device_address() const { return base_address; }
    const QByteArray &image() const { return firmware; }
    QSerialPort *port() const { return serial; }
    // Every 5 ms wait on the port so far; tests count these instead of timing.
    quint64 poll_count() const { return polls; }

    // Every byte that crosses the port, for an engineer chasing a misbehaving device.
    // Called on the worker's thread; costs nothing while unset.
    enum class wire { sent, received, discarded };
    using trace_fn = std::function<void(wire, const QByteArray &)>;
    void set_trace(trace_fn fn) { trace = std::move(fn); }

    // How long the handshake loop keeps trying; 30 s unless a test shortens it.
    void set_handshake_limit_ms(int ms) { handshake_limit_ms = ms; }

    static constexpr int poll_ms = 5;
    static constexpr int write_flush_ms = 1000;
    static constexpr int max_drain_reads = 64; // a chattering line cannot hold up a request
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
    QByteArray read_port(wire kind);
    void write_port(const QByteArray &bytes);
    // Discards what is pending, then writes the whole request at once.
    void send(const QByteArray &request);
    QByteArray exchange(const QByteArray &request, int timeout_ms);
    void log_rejection(int line) const;
    void status(const char *text);
    // Outcome of the block loop: 1 written, 0 a block never answered, -3 a block
    // rejected, or stopped on request.
    enum class transfer { written, no_answer, rejected, stopped };
    transfer write_all();
    // Repeats a command while it gets no answer; 0 after the last attempt or a stop.
    template <typename Step> int attempt(int attempts, Step step);
    // The sequence's verdict on a repeated command: a wrong answer ends it with -3, a stop
    // without a code, no answer at all with -4; true when the update goes on.
    bool goes_on(int status);

    std::atomic<bool> stop_flag{false};
    QSerialPort *serial = nullptr;
    quint32 base_address = 0;
    QByteArray firmware;
    modbus::crc_table crc_table_hi;
    modbus::crc_table crc_table_lo;

    const UpdateSettings *settings_record;
    trace_fn trace;
    quint64 polls = 0;
    int handshake_limit_ms = default_handshake_limit_ms;
};
