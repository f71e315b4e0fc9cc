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
    since_created.start();
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
    if (!read_firmware() || !fits_device())
        return;
    emit progress_set(25);

    status(status_text::erasing);
    quint32 end = 0;
    if (!frame::erase_range(base_address, firmware.size(), &end)) {
        fail(outcome::firmware_unusable,
             QStringLiteral("the image (%1 bytes) does not fit the device's address space at its "
                            "base address 0x%2")
                 .arg(firmware.size())
                 .arg(base_address, 8, 16, QLatin1Char('0')));
        return;
    }
    if (!goes_on(attempt(erase_attempts, [this] { return erase_flash(); })))
        return;
    emit progress_set(30);

    status(status_text::writing);
    if (!goes_on(write_all()))
        return;
    emit progress_set(100);

    if (settings().auto_start) {
        status(status_text::starting);
        if (!confirm_start())
            return;
    }
    emit result(outcome::success);
}

// The device's answer to the start is the only proof that it holds the image: it checks
// the image's length stamp and sum before it jumps into it.
bool work::confirm_start()
{
    const outcome::status status = attempt(start_attempts, [this] { return start_command(); });
    if (status == outcome::rejected) {
        fail(outcome::wrong_answer,
             QStringLiteral("the device refused to start the image: its own check found it bad"));
        return false;
    }
    if (stop_requested())
        return false;
    if (status == outcome::no_reply && !silent_start_ok) {
        const QString why = silence_reason();
        fail(outcome::no_answer, QStringLiteral("the image was written, but the device never "
                                                "confirmed it: no answer to the start request")
                                     + (why.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(why)));
        return false;
    }
    confirmed_start = status == outcome::accepted;
    return true;
}

bool work::find_bootloader()
{
    const qint64 started_us = now_us();
    for (;;) {
        const int r = handshake();
        if (r < 0) {
            fail(outcome::wrong_answer, detail);
            return false;
        }
        if (stop_requested())
            return false;
        // Checked before r: an answer that comes after the limit still counts as none.
        if (now_us() - started_us > qint64(handshake_limit_ms) * 1000) {
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
        // A network line that went away says why, and so does one that echoed or answered
        // twice; a quiet device leaves nothing to add.
        fail(outcome::no_answer, silence_reason());
        return false;
    }
    return true;
}

template <typename Step> outcome::status work::attempt(int attempts, Step step)
{
    for (int counted = 0; counted < attempts;) {
        if (stop_requested())
            return outcome::no_reply;
        const outcome::status r = outcome::status(step());
        if (r != outcome::no_reply)
            return r;
        if (ledger.attempt_counts(now_us()))
            ++counted;
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

qint64 work::now_us() const
{
    return clock ? clock() : since_created.nsecsElapsed() / 1000;
}

void work::sleep_ms(int ms)
{
    if (pause)
        pause(ms);
    else
        QThread::msleep(ms);
}

// readAll() only sees what Qt has pulled from the system, and no event loop pulls it while an
// update runs: take a late reply out of the system's buffer first, so it is thrown away here
// instead of spoiling the answer to the next request.
void work::drain()
{
    if (port_open())
        for (int i = 0; i < max_drain_reads && serial->waitForReadyRead(0); ++i) {
        }
    ledger.thrown_away(read_port(wire::discarded), false);
}

reply_ledger::heard work::exchange(const QByteArray &request, int timeout_ms)
{
    settle_owed(request);
    drain();
    write_port(request);
    ledger.set_start_follows(settings().auto_start);
    ledger.sent(request, now_us(), timeout_ms);
    return receive_reply(timeout_ms);
}

bool work::poll_port(int ms)
{
    return serial->waitForReadyRead(ms);
}

void work::settle_owed(const QByteArray &request)
{
    const std::optional<qint64> until = ledger.settle_until(request);
    if (!until || !port_open())
        return;
    while (ledger.owed() > 0 && now_us() < *until && !stop_requested()) {
        poll_port(poll_ms);
        ledger.thrown_away(read_port(wire::discarded), true);
    }
    ledger.settled();
}

QByteArray work::receive_frame(int timeout_ms)
{
    ledger.await_any();
    return receive_reply(timeout_ms).reply;
}

// Polls as the protocol prescribes, and asks the ledger what has arrived.
reply_ledger::heard work::receive_reply(int timeout_ms)
{
    if (!port_open())
        return {};
    const int limit = timeout_ms / poll_ms;
    for (int count = 0;;) {
        poll_port(poll_ms);
        ++polls;
        const QByteArray bytes = read_port(wire::received);
        const reply_ledger::heard heard = ledger.arrived(bytes, now_us());
        if (ledger.tell_echo() && warn)
            warn(QString::fromLatin1(echo_warning));
        if (heard.what != reply_ledger::verdict::waiting)
            return heard;
        if (++count > limit || stop_requested()) {
            ledger.gave_up();
            return {};
        }
    }
}

QString work::silence_reason() const
{
    if (serial && !serial->lost().isEmpty())
        return serial->lost();
    return ledger.silence_reason();
}

// ---- bootloader commands ----------------------------------------------------------------

int work::handshake()
{
    if (!serial)
        return outcome::no_reply;
    if (serial->isOpen())
        close_port();
    sleep_ms(20);
    if (!open_port()) {
        detail = serial->errorString(); // why, should the bootloader never be found
        return outcome::no_reply;
    }
    detail.clear();
    const QByteArray request = frame::handshake_request();
    const QByteArray reply = exchange(request, frame::handshake_wait_ms).reply;
    // Wrong all the same, but the commonest cause has a remedy.
    if (reply == request && !ledger.line_echoes())
        detail = QString::fromLatin1(echo_warning);
    else if (reply.isEmpty())
        detail = silence_reason(); // should the bootloader never be found
    return frame::judge_handshake(reply).status;
}

int work::sync_info()
{
    const frame::verdict v = frame::judge_info(exchange(frame::info_request(), frame::info_wait_ms).reply);
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
        frame::judge_erase(exchange(frame::erase_request(base_address, end), frame::erase_wait_ms).reply);
    if (v.log_line)
        log_rejection(v.log_line);
    // A device refuses a range past its flash: the commonest cause is an image too large.
    if (v.log_line == frame::line::erase_error)
        detail = QStringLiteral("the device refused the erase from its base address 0x%1 to 0x%2, for an image "
                                "of %3 bytes with its sum: the image may be too large for the device")
                     .arg(QString::number(base_address, 16).toUpper().rightJustified(8, QLatin1Char('0')),
                          QString::number(end, 16).toUpper().rightJustified(8, QLatin1Char('0')))
                     .arg(firmware.size());
    return v.status;
}

// ---- transfer -------------------------------------------------------------------------

int work::write_block(quint32 address, const char *data, int length)
{
    const QByteArray request = frame::write_request(address, data, length);
    if (request.isEmpty())
        return outcome::rejected; // a block the length byte cannot describe is never sent
    qDebug() << "data length = " << request.size();
    const reply_ledger::heard heard = exchange(request, frame::write_wait_ms);
    if (heard.what == reply_ledger::verdict::suspect)
        return outcome::no_reply; // it did come, so this attempt does not count
    const frame::verdict v = frame::judge_write(heard.reply);
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
        // Attempts at one block go out back to back: a late reply to any of them answers
        // the block as well as the last one's own.
        const outcome::status status = attempt(block_attempts, [&] {
            const int r = write_block(base_address + quint32(offset), firmware.constData() + offset, length);
            if (progress_is_news(progress))
                emit progress_set(progress);
            return r;
        });
        if (status != outcome::accepted)
            return status;
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
        frame::judge_start(exchange(frame::start_request(base_address), frame::start_wait_ms).reply);
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
        firmware_address = preloaded_address;
        return true;
    }
    const UpdateSettings &s = settings();
    const image::loaded loaded = image::load(s.firmware_path, image::max_file_size, s.firmware_raw);
    if (!loaded.ok()) {
        fail(outcome::firmware_unusable,
             QStringLiteral("the firmware file \"%1\" %2").arg(s.firmware_path, image::explain(loaded)));
        return false;
    }
    firmware = loaded.bytes;
    firmware_address = loaded.address;
    return true;
}

bool work::fits_device()
{
    if (!firmware_address || *firmware_address == base_address)
        return true;
    const auto hex = [](quint32 a) {
        return QStringLiteral("0x") + QString::number(a, 16).toUpper().rightJustified(8, QLatin1Char('0'));
    };
    fail(outcome::firmware_unusable, QStringLiteral("firmware built for %1, the device's program starts at %2")
                                         .arg(hex(*firmware_address), hex(base_address)));
    return false;
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
        sleep_ms(modbus::pause_ms);
    }
    return true;
}

bool work::modbus_write_register(int address, int reg, int value)
{
    const QByteArray request =
        modbus::write_register_request(address, reg, value, crc_table_hi, crc_table_lo);
    write_port(request);
    if (port_open())
        ledger.wrote(request);
    restart_sent += port_open();
    if (wait_any_reply(modbus::reply_wait_ms))
        ++restart_heard;
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
        const bool arrived = poll_port(poll_ms);
        if (ledger.echo_due()) {
            if (ledger.beyond_echo(read_port(wire::received)))
                return true;
            continue;
        }
        if (arrived)
            return true;
        if (!read_port(wire::discarded).isEmpty())
            return true;
    }
    return false;
}
