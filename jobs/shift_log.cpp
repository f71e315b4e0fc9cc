#include "shift_log.h"

#include "job.h"

#include <QJsonDocument>
#include <QJsonObject>

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

bool shift_log::open(const QString &path, QString *why)
{
    out = open_file(path, why);
    owes_newline = false;
    return out != nullptr;
}

void shift_log::open(std::unique_ptr<sink> to)
{
    out = std::move(to);
    owes_newline = false;
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
    o[QStringLiteral("result")] = r.result;
    o[QStringLiteral("code")] = r.has_code ? QJsonValue(r.code) : QJsonValue();
    o[QStringLiteral("verified")] = r.verified;
    o[QStringLiteral("reason")] = or_null(r.reason);
    o[QStringLiteral("duration_ms")] = double(r.duration_ms);
    o[QStringLiteral("bytes")] = double(r.bytes);
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

bool shift_log::append(const shift_record &r, QString *why)
{
    QByteArray bytes = line(r);
    if (owes_newline)
        bytes.prepend('\n');
    const qint64 written = out->write(bytes, why);
    if (written == bytes.size()) {
        owes_newline = false;
        return true;
    }
    // Half a record glued to the next would spoil a good device's record as well.
    if (written > 0 && !out->take_back(written))
        owes_newline = true;
    return false;
}
