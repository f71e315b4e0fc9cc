#pragma once
// A log that survives the shift: one JSON object per line for every device whose update
// has ended, appended and flushed as it ends, so a crash loses nothing already finished.
// Read by people and by scripts (jq), kept across runs.
#include <QDateTime>
#include <QFile>
#include <QString>

struct shift_record
{
    QDateTime time;       // when the update ended
    QString port;
    QString serial;       // the USB serial number, empty when unknown
    QString firmware;     // the path as given
    qint64 firmware_size = 0;
    QByteArray firmware_sha256; // of the file, as 32 raw bytes; empty when it could not be read
    QString firmware_format;    // "Intel HEX", "binary", ...; empty when it could not be read
    bool has_code = false;
    int code = 0;         // the result code, when the update ended with one
    QString result;       // "ok", "failed", "interrupted", "no result"
    qint64 duration_ms = 0;
    qint64 bytes = 0;     // data bytes the device confirmed
};

struct flash_job;
struct job_end;

// The record of a device whose update has just ended, with the firmware it was given.
shift_record record_of(const flash_job &job, const job_end &end, const QString &firmware,
                       qint64 firmware_size, const QByteArray &firmware_sha256);

class shift_log
{
public:
    // Opens (creating) the file for appending; false with the reason in *why.
    bool open(const QString &path, QString *why);
    bool is_open() const { return file.isOpen(); }
    // False when the line could not be written whole; *why says why.
    bool append(const shift_record &r, QString *why);

    static QByteArray line(const shift_record &r);

private:
    QFile file;
};
