#include "shift_log.h"

#include "job.h"
#include "port_check.h"
#include "port_lookup.h"
#include "same_file.h"
#include "telnet.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <utility>

shift_record record_of(const flash_job &job, const job_end &end, const QString &firmware,
                       qint64 firmware_size, const QByteArray &firmware_sha256)
{
    shift_record r;
    r.time = QDateTime::currentDateTime();
    r.port = job.port;
    r.serial = job.serial;
    r.board_serial = job.board_serial;
    r.firmware = firmware;
    r.firmware_size = firmware_size;
    r.firmware_sha256 = firmware_sha256;
    r.has_code = end.has_code;
    r.code = end.code;
    r.result = kind_word(end.what);
    r.verified = end.verified;
    r.reason = reason_field(end);
    r.duration_ms = job.elapsed_ms(job.ended_ms); // 0 for a port refused before its start
    r.bytes = job.bytes();
    return r;
}

namespace {

// One file, or one device by any of its nodes.
bool same_target(const QString &a, const QString &b)
{
    quint64 x = 0, y = 0;
    if (port_check::device_number(a, &x) && port_check::device_number(b, &y))
        return x == y;
    return same_file(a, b);
}

} // namespace

QString log_clash(const QString &path, const QString &firmware, const QStringList &ports)
{
    if (!QFileInfo::exists(path))
        return {};
    if (!firmware.isEmpty() && same_file(path, firmware))
        return QStringLiteral("the firmware file \"%1\": records written to it would be flashed with it")
            .arg(firmware);
    for (const QString &port : ports)
        if (!net_address::is_network(port) && same_target(path, port_lookup::location_of(port)))
            return QStringLiteral("the port \"%1\" being updated: records written to it would go down "
                                  "the device's line")
                .arg(port);
    for (const port_lookup::entry &e : port_lookup::present())
        if (same_target(path, e.location))
            return QStringLiteral("the serial port %1: records written to it would go down a device's line")
                .arg(e.location);
    return {};
}

bool shift_log::open(const QString &path, QString *why)
{
    out = open_file(path, why);
    file_path = path;
    owes_newline = false;
    in_file = 0;
    return out != nullptr;
}

void shift_log::open(std::unique_ptr<sink> to)
{
    out = std::move(to);
    file_path.clear();
    owes_newline = false;
    in_file = 0;
}

QByteArray shift_log::line(const shift_record &r)
{
    const auto or_null = [](const QString &text) { return text.isEmpty() ? QJsonValue() : QJsonValue(text); };
    QJsonObject o;
    o[QStringLiteral("time")] = r.time.toOffsetFromUtc(r.time.offsetFromUtc()).toString(Qt::ISODateWithMs);
    o[QStringLiteral("port")] = r.port;
    o[QStringLiteral("serial")] = or_null(r.serial);
    o[QStringLiteral("board_serial")] = or_null(r.board_serial);
    o[QStringLiteral("firmware")] = r.firmware;
    o[QStringLiteral("firmware_size")] = double(r.firmware_size);
    // A file that could not be read has no digest; an empty one would look like one.
    o[QStringLiteral("firmware_sha256")] = or_null(QString::fromLatin1(r.firmware_sha256.toHex()));
    o[QStringLiteral("firmware_format")] = or_null(r.firmware_format);
    o[QStringLiteral("warnings")] = QJsonArray::fromStringList(r.warnings);
    o[QStringLiteral("result")] = r.result;
    o[QStringLiteral("code")] = r.has_code ? QJsonValue(r.code) : QJsonValue();
    o[QStringLiteral("verified")] = r.verified;
    o[QStringLiteral("reason")] = or_null(r.reason);
    o[QStringLiteral("duration_ms")] = double(r.duration_ms);
    o[QStringLiteral("bytes")] = double(r.bytes);
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

// A log deleted during a shift would take every later record with it, and one moved
// away (rotated) would keep growing where nobody looks: it is made again at its path.
// What this log had written to a deleted file went with it, and is counted.
bool shift_log::follow_path(QString *why)
{
    if (file_path.isEmpty())
        return true;
    const sink::place now = out->where(file_path);
    if (now == sink::place::there)
        return true;
    if (now == sink::place::deleted)
        lost += std::exchange(in_file, 0);
    QString reason;
    std::unique_ptr<sink> again = open_file(file_path, &reason);
    if (!again) {
        *why = QStringLiteral("it was %1 and cannot be made again: %2")
                   .arg(now == sink::place::deleted ? QStringLiteral("deleted") : QStringLiteral("moved away"),
                        reason);
        return false;
    }
    out = std::move(again);
    in_file = 0;
    owes_newline = false;
    return true;
}

bool shift_log::append(const shift_record &r, QString *why)
{
    if (!follow_path(why))
        return false;
    QByteArray bytes = line(r);
    // After a line cut short (a crash, a power cut) the record starts on a line of its
    // own: only the cut line is lost, never a good record glued to it.
    if (owes_newline || out->ends_mid_line())
        bytes.prepend('\n');
    const qint64 written = out->write(bytes, why);
    if (written == bytes.size()) {
        owes_newline = false;
        ++in_file;
        return true;
    }
    // Half a record glued to the next would spoil a good device's record as well.
    if (written > 0 && !out->take_back(written))
        owes_newline = true;
    return false;
}
