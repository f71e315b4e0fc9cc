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
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const int r = handshake();
        if (r < 0) {
            fail(outcome::wrong_answer, detail);
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
        // A network line that went away says why, and so does one that echoed or answered
        // twice; a quiet device leaves nothing to add.
        fail(outcome::no_answer, silence_reason());
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
        if (busy_with_earlier())
            --i;
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
    latest_sent = bytes;
    if (echo_expected)
        echo_due = bytes;
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

void work::send(const QByteArray &request)
{
    // readAll() only sees what Qt has pulled from the system, and no event loop pulls it
    // while an update runs: take a late reply out of the system's buffer first, so it is
    // discarded here instead of spoiling the answer to this request.
    if (port_open())
        for (int i = 0; i < max_drain_reads && serial->waitForReadyRead(0); ++i) {
        }
    count_discarded(read_port(wire::discarded), false);
    retrying = request == latest_sent;
    write_port(request);
    sent_us = now_us();
}

// Retries of one request go out back to back: a late reply to any of them answers it as
// well as the last one's own. A block with new bytes first waits for what is owed.
QByteArray work::exchange(const QByteArray &request, int timeout_ms)
{
    const quint8 command = quint8(request[2]);
    if (command == frame::cmd_write && owed.command == command && request != last_request)
        settle_owed();
    send(request);
    last_request = request;
    if (command != frame::cmd_handshake) {
        if (command != owed.command) {
            if (owed.count > 0)
                earlier = owed;
            owed = {command, 0, 0};
        }
        ++owed.count;
        owed.until_us = sent_us + qint64(late_reply_waits) * timeout_ms * 1000;
    }
    QByteArray reply = receive_reply(timeout_ms, command);
    if (!reply.isEmpty()) {
        pay_one(command);
        since_answer = {};
    }
    return reply;
}

bool work::poll_port(int ms)
{
    return serial->waitForReadyRead(ms);
}

void work::count_discarded(const QByteArray &bytes, bool keep_unfinished)
{
    discarded_bytes.append(bytes);
    if (!discarded_bytes.isEmpty())
        pay(frame::take_replies(discarded_bytes, latest_sent));
    if (!keep_unfinished)
        discarded_bytes.clear();
}

void work::pay(const QByteArray &answered)
{
    for (const char code : answered)
        pay_one(quint8(code));
}

void work::pay_one(quint8 command)
{
    owed_replies &debt = command == owed.command ? owed : earlier;
    if (command == debt.command)
        debt.count = std::max(0, debt.count - 1);
}

bool work::busy_with_earlier() const
{
    return earlier.count > 0 && now_us() < earlier.until_us && !stop_requested();
}

// Takes in and throws away what arrives until every owed reply has come or none can come
// any more; a line that chatters on is bounded by the same deadline.
void work::settle_owed()
{
    if (owed.count == 0 || !port_open())
        return;
    ++settles;
    while (owed.count > 0 && now_us() < owed.until_us && !stop_requested()) {
        poll_port(poll_ms);
        count_discarded(read_port(wire::discarded), true);
    }
    discarded_bytes.clear();
    owed.count = 0; // what has not come by now is taken as never sent
}

QByteArray work::receive_frame(int timeout_ms)
{
    return receive_reply(timeout_ms, 0);
}

// Polls as the protocol prescribes: whatever has arrived since the request must be exactly
// one frame. Whole frames of other commands at its front are late replies to earlier
// requests, set aside without ending the wait.
QByteArray work::receive_reply(int timeout_ms, quint8 awaited)
{
    if (!port_open())
        return {};
    const int limit = timeout_ms / poll_ms;
    QByteArray reply;
    QByteArray early;     // a late answer to an earlier attempt, ahead of this one's echo
    bool spoiled = false; // by bytes where the line's echo was due: nothing after them counts
    for (int count = 0;;) {
        poll_port(poll_ms);
        ++polls;
        reply.append(read_port(wire::received));
        spoiled = spoiled || (!echo_due.isEmpty() && !take_before_echo(reply, awaited, &early));
        if (!spoiled && echo_due.isEmpty()) {
            if (!early.isEmpty()) {
                pay(frame::take_replies(reply, latest_sent)); // this attempt's own, if in already
                return early;
            }
            const QByteArray answer = take_answer(reply, awaited);
            if (!answer.isEmpty())
                return answer;
        }
        if (++count > limit || stop_requested()) {
            since_answer.echo_spoiled = since_answer.echo_spoiled || spoiled;
            since_answer.echo_missing = since_answer.echo_missing || (!spoiled && !echo_due.isEmpty());
            return {};
        }
    }
}

// The echo orders the line: what comes ahead of it was sent before this request went out.
bool work::take_before_echo(QByteArray &arrived, quint8 awaited, QByteArray *early)
{
    for (;;) {
        int length = 0;
        switch (frame::echo_at_front(arrived, echo_due, &length)) {
        case frame::echo_front::waiting:
            return true;
        case frame::echo_front::spoiled:
            return false;
        case frame::echo_front::echo:
            arrived.remove(0, length);
            echo_due.clear();
            return true;
        case frame::echo_front::frame:
            break;
        }
        QByteArray ahead = arrived.left(length);
        arrived.remove(0, length);
        // An earlier attempt at this very request is answered by it; any other request's
        // reply only pays what that request is owed.
        if (retrying && early->isEmpty() && !frame::is_stale(ahead, awaited) && quint8(ahead[2]) == awaited)
            *early = ahead;
        else
            pay(frame::take_replies(ahead));
    }
}

QByteArray work::take_answer(QByteArray &arrived, quint8 awaited)
{
    // A handshake that comes back unchanged is its wrong answer, whatever follows it: the
    // line echoes, and the device's own answer behind the copy must not hide that.
    if (awaited == frame::cmd_handshake && arrived.startsWith(latest_sent) && !latest_sent.isEmpty())
        return latest_sent;
    if (awaited != 0 && !arrived.isEmpty()) {
        const QByteArray own = awaited == frame::cmd_handshake ? QByteArray() : latest_sent;
        int echoed = 0;
        pay(frame::drop_stale_front(arrived, awaited, own, &echoed));
        note_echoes(echoed);
    }
    if (frame::is_complete(arrived))
        return arrived;
    // Two answers at once to a request sent twice, or a device that says it twice: any
    // reply to the other commands answers alike. A block's names no block, so a second copy
    // may be an earlier block's late reply; only the device's own check of the image at the
    // start can prove the block arrived.
    const int copies = frame::repeats(arrived);
    if (copies < 2 || quint8(arrived[2]) != awaited)
        return {};
    if (awaited == frame::cmd_write && !settings().auto_start) {
        since_answer.doubled = true;
        return {};
    }
    for (int i = 1; i < copies; ++i)
        pay_one(awaited);
    return arrived.left(arrived.size() / copies);
}

void work::note_echoes(int count)
{
    if (count == 0)
        return;
    echoes += count;
    since_answer.echoes += count;
    if (!echo_expected && !echo_told && warn)
        warn(QString::fromLatin1(echo_warning));
    echo_told = true;
}

QString work::silence_reason() const
{
    if (serial && !serial->lost().isEmpty())
        return serial->lost();
    if (since_answer.echo_spoiled)
        return QStringLiteral("the line gave back other bytes than korvane sent, where its echo was "
                              "due: noise on the line, or another sender on it");
    if (since_answer.echo_missing)
        return QStringLiteral("korvane's own bytes did not come back ahead of the answer, though the "
                              "line was said to echo them: leave out --echo for a line that does not "
                              "echo");
    if (since_answer.echoes > 0)
        return QStringLiteral("the line only echoed what korvane sent, and nothing answered: the "
                              "device is gone or does not hear (a loopback left on the line?)");
    if (since_answer.doubled)
        return QStringLiteral("every answer to the block came twice at once, which cannot be told "
                              "from an earlier block's late answer unless the device checks the "
                              "image: update with the program start");
    return {};
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
    const QByteArray request = frame::handshake_request();
    const QByteArray reply = exchange(request, frame::handshake_wait_ms);
    // Wrong all the same, but the commonest cause has a remedy.
    if (reply == request && !echo_expected)
        detail = QString::fromLatin1(echo_warning);
    else if (reply.isEmpty())
        detail = silence_reason(); // should the bootloader never be found
    return frame::judge_handshake(reply).status;
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
    bool suspect_seen = false;
    return write_attempt(address, data, length, &suspect_seen);
}

int work::write_attempt(quint32 address, const char *data, int length, bool *suspect_seen)
{
    const QByteArray request = frame::write_request(address, data, length);
    if (request.isEmpty())
        return outcome::rejected; // a block the length byte cannot describe is never sent
    qDebug() << "data length = " << request.size();
    QByteArray reply = exchange(request, frame::write_wait_ms);
    // The only reply owed: its time since the request is this line's round trip.
    const bool alone = owed.count == 0;
    if (!reply.isEmpty() && !plausible_write_reply(now_us() - sent_us, alone, suspect_seen)) {
        last_request.clear(); // sent again as a new block, after what is owed has come
        return outcome::no_reply;
    }
    const frame::verdict v = frame::judge_write(reply);
    if (v.log_line)
        log_rejection(v.log_line);
    return v.status;
}

// A reply far later than this line answers is set aside once per block; should the block's
// next attempt be as slow, the line has slowed down. The pace is learnt only from replies
// that were the only one owed, and not from one set aside: either may answer an earlier
// request, and says nothing of this line's pace.
bool work::plausible_write_reply(qint64 us, bool alone, bool *suspect_seen)
{
    const bool suspect = !*suspect_seen && write_pace.suspect(us);
    if (alone && !suspect)
        write_pace.add(us);
    if (suspect) {
        ++suspects;
        *suspect_seen = true;
    }
    return !suspect;
}

outcome::status work::write_all()
{
    const qint64 size = firmware.size();
    for (qint64 offset = 0; offset < size;) {
        const int length = int(std::min<qint64>(size - offset, frame::block_size));
        const int progress = int(double(offset) / double(size) * 70.0 + 30.0);
        int status = outcome::no_reply;
        bool suspect_seen = false;
        // Attempts at one block go out back to back: a late reply to any of them answers
        // the block as well as the last one's own.
        for (int i = 0; i < block_attempts && status == outcome::no_reply; ++i) {
            if (stop_requested())
                return outcome::no_reply;
            const bool suspect_before = suspect_seen;
            status = write_attempt(base_address + quint32(offset), firmware.constData() + offset,
                                   length, &suspect_seen);
            if (progress_is_news(progress))
                emit progress_set(progress);
            // A reply set aside as too late did arrive: its block goes again without using
            // up an attempt. Nor does one made while the device is busy with an earlier
            // request.
            if (status == outcome::no_reply && (suspect_seen != suspect_before || busy_with_earlier()))
                --i;
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
        QThread::msleep(modbus::pause_ms);
    }
    return true;
}

bool work::modbus_write_register(int address, int reg, int value)
{
    const QByteArray request =
        modbus::write_register_request(address, reg, value, crc_table_hi, crc_table_lo);
    write_port(request);
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
        if (!echo_due.isEmpty()) {
            // The request's own bytes coming back are no reply; anything else is.
            QByteArray bytes = read_port(wire::received);
            if (!frame::take_echo(bytes, echo_due) || !bytes.isEmpty()) {
                echo_due.clear();
                return true;
            }
            continue;
        }
        if (arrived)
            return true;
        if (!read_port(wire::discarded).isEmpty())
            return true;
    }
    return false;
}
