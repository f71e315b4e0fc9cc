#include "work.h"

#include "frame.h"
#include "image.h"
#include "status_text.h"
#include "update_settings.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>

work::work(QObject *parent) : work(UpdateSettings::instance(), parent)
{
}

work::work(const UpdateSettings &own, QObject *parent)
    : QObject(parent),
      crc_table_hi(modbus::crc_table_hi),
      crc_table_lo(modbus::crc_table_lo),
      settings_record(&own)
{
}

work::~work()
{
    if (serial)
        serial->deleteLater();
}

void work::request_stop()
{
    stop_flag.store(true, std::memory_order_relaxed);
}

bool work::stop_requested() const
{
    return stop_flag.load(std::memory_order_relaxed);
}

void work::stop()
{
    request_stop();
}

void work::status(const char *text)
{
    emit work_status_str(tr(text));
}

void work::fail(outcome::result code, const QString &why)
{
    detail = why;
    emit result(code);
}

void work::log_rejection(int line) const
{
    qDebug() << "ERROR" << "..\\korvanev2\\work" << line;
}

// ---- sequence -------------------------------------------------------------------------

void work::start()
{
    status(status_text::connecting);
    open_serial(); // a failure has reported port_not_opened; the handshake reopens the port
    emit progress_set(5);

    status(status_text::restarting);
    modbus_restart();
    if (stop_requested())
        return;
    emit progress_set(10);

    status(status_text::handshaking);
    if (!find_bootloader())
        return;
    emit progress_set(15);

    status(status_text::syncing);
    if (!goes_on(attempt(info_attempts, [this] { return sync_info(); })))
        return;
    emit progress_set(20);

    status(status_text::reading);
    if (!read_firmware())
        return;
    emit progress_set(25);

    status(status_text::erasing);
    if (!goes_on(attempt(erase_attempts, [this] { return erase_flash(); })))
        return;
    emit progress_set(30);

    status(status_text::writing);
    if (!goes_on(write_all()))
        return;
    emit progress_set(100);

    // The image is in place whether or not the start is confirmed; only a refusal counts.
    if (settings().auto_start) {
        status(status_text::starting);
        if (start_command() == outcome::rejected) {
            emit result(outcome::wrong_answer);
            return;
        }
    }
    emit result(outcome::success);
}

bool work::find_bootloader()
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const int r = handshake();
        if (r < 0) {
            emit result(outcome::wrong_answer);
            return false;
        }
        if (stop_requested())
            return false;
        // Checked before r: an answer that comes after the limit still counts as none.
        if (clock.elapsed() > handshake_limit_ms) {
            emit result(outcome::no_answer);
            return false;
        }
        if (r > 0)
            return true;
    }
}

bool work::goes_on(outcome::status status)
{
    if (status == outcome::rejected) {
        emit result(outcome::wrong_answer);
        return false;
    }
    if (stop_requested())
        return false;
    if (status == outcome::no_reply) {
        // A network line that went away says why; a quiet device leaves nothing to add.
        fail(outcome::no_answer, serial ? serial->lost() : QString());
        return false;
    }
    return true;
}

template <typename Step> outcome::status work::attempt(int attempts, Step step)
{
    for (int i = 0; i < attempts; ++i) {
        if (stop_requested())
            return outcome::no_reply;
        const outcome::status r = outcome::status(step());
        if (r != outcome::no_reply)
            return r;
    }
    return outcome::no_reply;
}

// ---- serial port ------------------------------------------------------------------------

bool work::open_serial()
{
    const UpdateSettings &s = settings();
    serial = make_port ? make_port(this) : line::make(s.port_name, this);
    serial->set_stop_flag(&stop_flag);
    line_setup setup;
    setup.name = s.port_name;
    setup.baud_rate = s.baud_rate;
    if (s.parity == QLatin1String("N"))
        setup.parity = QSerialPort::NoParity;
    else if (s.parity == QLatin1String("E"))
        setup.parity = QSerialPort::EvenParity;
    else if (s.parity == QLatin1String("O"))
        setup.parity = QSerialPort::OddParity;
    if (s.stop_bits == 1)
        setup.stop_bits = QSerialPort::OneStop;
    else if (s.stop_bits == 2)
        setup.stop_bits = QSerialPort::TwoStop;
    serial->set_setup(setup);
    if (!open_port()) {
        fail(outcome::port_not_opened, serial->errorString());
        return false;
    }
    return true;
}

// ---- bootloader frames ----------------------------------------------------------------

// A port that failed to open may still hold a stale descriptor inside Qt, which another
// open can reuse: nothing waits on, reads or writes a port that is not open.
bool work::port_open() const
{
    return serial && serial->isOpen();
}

bool work::open_port()
{
    if (!serial->open())
        return false;
    if (notice && !latency_told)
        notice(serial->open_notice());
    latency_told = true;
    return true;
}

void work::close_port()
{
    serial->close();
}

QByteArray work::read_port(wire kind)
{
    if (!port_open())
        return {};
    QByteArray bytes = serial->readAll();
    if (trace && !bytes.isEmpty())
        trace(kind, bytes);
    return bytes;
}

void work::write_port(const QByteArray &bytes)
{
    if (!port_open())
        return;
    if (trace)
        trace(wire::sent, bytes);
    serial->write(bytes.constData(), bytes.size());
    // QSerialPort only queues the bytes. A wait for input that finds bytes already waiting
    // returns before it writes them, and the handshake's close would then drop the queued
    // request (seen with the second restart value); so hand them to the system now.
    serial->waitForBytesWritten(write_flush_ms);
}

void work::send(const QByteArray &request, bool settle)
{
    if (settle && settle_until >= 0) {
        settle_line();
        settle_until = -1;
    }
    // readAll() only sees what Qt has pulled from the system, and no event loop pulls it
    // while an update runs: take a late reply out of the system's buffer first, so it is
    // discarded here instead of spoiling the answer to this request.
    if (port_open())
        for (int i = 0; i < max_drain_reads && serial->waitForReadyRead(0); ++i) {
        }
    read_port(wire::discarded);
    write_port(request);
}

QByteArray work::exchange(const QByteArray &request, int timeout_ms, bool settle)
{
    send(request, settle);
    const qint64 sent = idle_ms;
    const bool owed = settle_until >= 0;
    QByteArray reply = receive_frame(timeout_ms);
    if (reply.isEmpty() || owed)
        settle_until = std::max(settle_until, sent + qint64(late_reply_waits) * timeout_ms);
    return reply;
}

bool work::poll_port(int ms)
{
    const bool arrived = serial->waitForReadyRead(ms);
    if (!arrived)
        idle_ms += ms;
    return arrived;
}

// Takes in and throws away whatever arrives until no owed reply can come any more. A line
// that chatters on never stands idle: it is given up on after twice the polls needed.
void work::settle_line()
{
    if (!port_open())
        return;
    ++settles;
    const qint64 most_polls = 2 * std::max<qint64>(1, (settle_until - idle_ms) / poll_ms);
    for (qint64 i = 0; i < most_polls && idle_ms < settle_until && !stop_requested(); ++i) {
        poll_port(poll_ms);
        read_port(wire::discarded);
    }
}

QByteArray work::receive_frame(int timeout_ms)
{
    if (!port_open())
        return {};
    const int limit = timeout_ms / poll_ms;
    QByteArray reply;
    for (int count = 0;;) {
        poll_port(poll_ms);
        ++polls;
        reply.append(read_port(wire::received));
        if (frame::is_complete(reply))
            return reply;
        if (++count > limit || stop_requested())
            return {};
    }
}

// ---- bootloader commands ----------------------------------------------------------------

int work::handshake()
{
    if (!serial)
        return outcome::no_reply;
    if (serial->isOpen())
        close_port();
    QThread::msleep(20);
    if (!open_port()) {
        detail = serial->errorString(); // why, should the bootloader never be found
        return outcome::no_reply;
    }
    detail.clear();
    return frame::judge_handshake(
               exchange(frame::handshake_request(), frame::handshake_wait_ms, false))
        .status;
}

int work::sync_info()
{
    const frame::verdict v = frame::judge_info(exchange(frame::info_request(), frame::info_wait_ms));
    if (v.log_line)
        log_rejection(v.log_line);
    if (v.status == outcome::accepted)
        base_address = v.address;
    return v.status;
}

int work::erase_flash()
{
    quint32 end = 0;
    if (!frame::erase_range(base_address, firmware.size(), &end)) {
        log_rejection(frame::line::erase_range);
        return outcome::rejected;
    }
    const frame::verdict v =
        frame::judge_erase(exchange(frame::erase_request(base_address, end), frame::erase_wait_ms));
    if (v.log_line)
        log_rejection(v.log_line);
    return v.status;
}

// ---- transfer -------------------------------------------------------------------------

int work::write_block(quint32 address, const char *data, int length)
{
    const QByteArray request = frame::write_request(address, data, length);
    if (request.isEmpty())
        return outcome::rejected; // a block the length byte cannot describe is never sent
    qDebug() << "data length = " << request.size();
    const frame::verdict v = frame::judge_write(exchange(request, frame::write_wait_ms));
    if (v.log_line)
        log_rejection(v.log_line);
    return v.status;
}

outcome::status work::write_all()
{
    const qint64 size = firmware.size();
    for (qint64 offset = 0; offset < size;) {
        const int length = int(std::min<qint64>(size - offset, frame::block_size));
        const int progress = int(double(offset) / double(size) * 70.0 + 30.0);
        int status = outcome::no_reply;
        for (int i = 0; i < block_attempts && status == outcome::no_reply; ++i) {
            if (stop_requested())
                return outcome::no_reply;
            status = write_block(base_address + quint32(offset), firmware.constData() + offset,
                                 length);
            emit progress_set(progress);
        }
        if (status != outcome::accepted)
            return outcome::status(status);
        confirmed.fetch_add(length, std::memory_order_relaxed);
        offset += length;
    }
    return outcome::accepted;
}

bool work::write_firmware()
{
    return write_all() == outcome::accepted;
}

outcome::status work::start_command()
{
    const frame::verdict v =
        frame::judge_start(exchange(frame::start_request(base_address), frame::start_wait_ms));
    if (v.log_line)
        log_rejection(v.log_line);
    return v.status;
}

bool work::start_program()
{
    return start_command() != outcome::no_reply;
}

// ---- firmware file --------------------------------------------------------------------

bool work::read_firmware()
{
    if (!preloaded.isEmpty()) {
        firmware = preloaded;
        return true;
    }
    const image::loaded loaded = image::load(settings().firmware_path);
    if (!loaded.ok()) {
        emit result(outcome::firmware_unusable);
        return false;
    }
    firmware = loaded.bytes;
    return true;
}

QByteArray work::descramble(const QByteArray &data)
{
    return image::descramble(data);
}

// ---- Modbus restart request -------------------------------------------------------------

qint32 work::parse_number(const QString &text)
{
    return modbus::parse_number(text);
}

bool work::modbus_restart()
{
    const modbus::restart_request request = modbus::parse_descriptor(settings().product_descriptor);
    if (!request.send)
        return true;
    for (const qint32 value : request.values) {
        if (stop_requested())
            break;
        modbus_write_register(request.address, request.reg, value);
        QThread::msleep(modbus::pause_ms);
    }
    return true;
}

bool work::modbus_write_register(int address, int reg, int value)
{
    const QByteArray request =
        modbus::write_register_request(address, reg, value, crc_table_hi, crc_table_lo);
    write_port(request);
    wait_any_reply(modbus::reply_wait_ms);
    return true;
}

bool work::wait_any_reply(int timeout_ms)
{
    if (!port_open())
        return false;
    const int limit = timeout_ms / poll_ms;
    for (int i = 0; i <= limit; ++i) {
        if (stop_requested())
            return false;
        ++polls;
        if (poll_port(poll_ms))
            return true;
        if (!read_port(wire::discarded).isEmpty())
            return true;
    }
    return false;
}
