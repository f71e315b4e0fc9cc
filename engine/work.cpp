#include "work.h"

#include "frame.h"
#include "image.h"
#include "status_text.h"
#include "update_settings.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QSerialPort>
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

void work::log_rejection(int line) const
{
    qDebug() << "ERROR" << "..\\korvanev2\\work" << line;
}

// ---- sequence -------------------------------------------------------------------------

void work::start()
{
    status(status_text::connecting);
    open_serial(); // a failure has reported -1; the handshake reopens the port anyway
    emit progress_set(5);

    status(status_text::restarting);
    modbus_restart();
    if (stop_requested())
        return;
    emit progress_set(10);

    status(status_text::handshaking);
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const int r = handshake();
        if (r < 0) {
            emit result(-3);
            return;
        }
        if (stop_requested())
            return;
        // Checked before r: an answer that comes after the limit still counts as none.
        if (clock.elapsed() > handshake_limit_ms) {
            emit result(-4);
            return;
        }
        if (r > 0)
            break;
    }
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
    switch (write_all()) {
    case transfer::written:
        break;
    case transfer::rejected:
        emit result(-3);
        return;
    case transfer::no_answer:
        emit result(-4);
        return;
    case transfer::stopped:
        return;
    }
    emit progress_set(100);

    if (settings().auto_start) {
        status(status_text::starting);
        start_program(); // the image is in place whether or not the start is confirmed
    }
    emit result(0);
}

bool work::goes_on(int status)
{
    if (status < 0) {
        emit result(-3);
        return false;
    }
    if (stop_requested())
        return false;
    if (status == 0) {
        emit result(-4);
        return false;
    }
    return true;
}

template <typename Step> int work::attempt(int attempts, Step step)
{
    for (int i = 0; i < attempts; ++i) {
        if (stop_requested())
            return 0;
        const int r = step();
        if (r != 0)
            return r;
    }
    return 0;
}

// ---- serial port ------------------------------------------------------------------------

bool work::open_serial()
{
    const UpdateSettings &s = settings();
    serial = new QSerialPort(this);
    serial->setPortName(s.port_name);
    serial->setBaudRate(s.baud_rate, QSerialPort::AllDirections);
    serial->setDataBits(QSerialPort::Data8);
    if (s.parity == QLatin1String("N"))
        serial->setParity(QSerialPort::NoParity);
    else if (s.parity == QLatin1String("E"))
        serial->setParity(QSerialPort::EvenParity);
    else if (s.parity == QLatin1String("O"))
        serial->setParity(QSerialPort::OddParity);
    if (s.stop_bits == 1)
        serial->setStopBits(QSerialPort::OneStop);
    else if (s.stop_bits == 2)
        serial->setStopBits(QSerialPort::TwoStop);
    serial->setFlowControl(QSerialPort::NoFlowControl);
    if (!serial->open(QIODevice::ReadWrite)) {
        emit result(-1);
        return false;
    }
    return true;
}

// ---- bootloader frames ----------------------------------------------------------------

// A closed port has nothing to read and takes nothing; skipping the calls keeps Qt's
// "device not open" warnings out of the log.
QByteArray work::read_port(wire kind)
{
    if (!serial || !serial->isOpen())
        return {};
    QByteArray bytes = serial->readAll();
    if (trace && !bytes.isEmpty())
        trace(kind, bytes);
    return bytes;
}

void work::write_port(const QByteArray &bytes)
{
    if (!serial || !serial->isOpen())
        return;
    if (trace)
        trace(wire::sent, bytes);
    serial->write(bytes.constData(), bytes.size());
    // QSerialPort only queues the bytes. A wait for input that finds bytes already waiting
    // returns before it writes them, and the handshake's close would then drop the queued
    // request (seen with the second restart value); so hand them to the system now.
    serial->waitForBytesWritten(write_flush_ms);
}

void work::send(const QByteArray &request)
{
    // readAll() only sees what Qt has pulled from the system, and no event loop pulls it
    // while an update runs: take a late reply out of the system's buffer first, so it is
    // discarded here instead of spoiling the answer to this request.
    if (serial && serial->isOpen())
        for (int i = 0; i < max_drain_reads && serial->waitForReadyRead(0); ++i) {
        }
    read_port(wire::discarded);
    write_port(request);
}

QByteArray work::exchange(const QByteArray &request, int timeout_ms)
{
    send(request);
    return receive_frame(timeout_ms);
}

QByteArray work::receive_frame(int timeout_ms)
{
    if (!serial)
        return {};
    const int limit = timeout_ms / poll_ms;
    QByteArray reply;
    for (int count = 0;;) {
        serial->waitForReadyRead(poll_ms);
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
        return 0;
    if (serial->isOpen())
        serial->close();
    QThread::msleep(20);
    if (!serial->open(QIODevice::ReadWrite))
        return 0;
    return frame::judge_handshake(exchange(frame::handshake_request(), frame::handshake_wait_ms))
        .status;
}

int work::sync_info()
{
    const frame::verdict v = frame::judge_info(exchange(frame::info_request(), frame::info_wait_ms));
    if (v.log_line)
        log_rejection(v.log_line);
    if (v.status == 1)
        base_address = v.address;
    return v.status;
}

int work::erase_flash()
{
    const quint32 end = base_address + quint32(firmware.size());
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
        return -3; // a block the length byte cannot describe is never sent
    qDebug() << "data length = " << request.size();
    const frame::verdict v = frame::judge_write(exchange(request, frame::write_wait_ms));
    if (v.log_line)
        log_rejection(v.log_line);
    return v.status;
}

work::transfer work::write_all()
{
    const qint64 size = firmware.size();
    for (qint64 offset = 0; offset < size;) {
        const int length = int(std::min<qint64>(size - offset, frame::block_size));
        const int progress = int(double(offset) / double(size) * 70.0 + 30.0);
        int status = 0;
        for (int i = 0; i < block_attempts && status == 0; ++i) {
            if (stop_requested())
                return transfer::stopped;
            status = write_block(base_address + quint32(offset), firmware.constData() + offset,
                                 length);
            emit progress_set(progress);
        }
        if (status < 0)
            return transfer::rejected;
        if (status == 0)
            return stop_requested() ? transfer::stopped : transfer::no_answer;
        offset += length;
    }
    return transfer::written;
}

bool work::write_firmware()
{
    return write_all() == transfer::written;
}

bool work::start_program()
{
    return frame::judge_start(exchange(frame::start_request(base_address), frame::start_wait_ms))
               .status == 1;
}

// ---- firmware file --------------------------------------------------------------------

bool work::read_firmware()
{
    const image::loaded loaded = image::load(settings().firmware_path);
    if (!loaded.ok()) {
        emit result(-5);
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
    if (!serial)
        return false;
    const int limit = timeout_ms / poll_ms;
    for (int i = 0; i <= limit; ++i) {
        if (stop_requested())
            return false;
        ++polls;
        if (serial->waitForReadyRead(poll_ms))
            return true;
        if (!read_port(wire::discarded).isEmpty())
            return true;
    }
    return false;
}
