#pragma once
// A log that survives the shift: one JSON object per line for every device whose update
// has ended, appended as it ends, so a crash loses nothing already finished. Read by
// people and by scripts (jq), kept across runs: a record is on a line of its own, whole,
// or not there at all.
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <memory>

struct shift_record
{
    QDateTime time;       // when the update ended
    QString port;
    QString serial;       // the USB serial number, empty when unknown
    QString board_serial; // the board's own serial number as scanned, empty when none
    QString firmware;     // the path as given
    qint64 firmware_size = 0;
    QByteArray firmware_sha256; // of the file, as 32 raw bytes; empty when it could not be read
    QString firmware_format;    // "Intel HEX", "binary", ...; empty when it could not be read
    QStringList warnings;       // about the firmware's image (image::warnings)
    bool has_code = false;
    int code = 0;         // the result code, when the update ended with one
    QString result;       // "ok", "failed", "interrupted", "no result"
    bool verified = false; // the device accepted the start, so its own check of the image passed
    QString reason;        // "unplugged", or why it failed or why a success is not verified
    qint64 duration_ms = 0;
    qint64 bytes = 0;     // data bytes the device confirmed
};

struct flash_job;
struct job_end;

// The record of a device whose update has just ended, with the firmware it was given.
shift_record record_of(const flash_job &job, const job_end &end, const QString &firmware,
                       qint64 firmware_size, const QByteArray &firmware_sha256);

// Why `path` must not take the shift log, to follow "it is ": the firmware file (records
// appended to it would be flashed with it), one of the run's `ports` or any serial port
// the system lists (records would go down a device's line), by whatever name. Empty when
// it may.
QString log_clash(const QString &path, const QString &firmware, const QStringList &ports);

class shift_log
{
public:
    // Where the records go, as the system has it (shift_log_posix.cpp, shift_log_other.cpp).
    class sink
    {
    public:
        virtual ~sink() = default;
        // Writes all of `bytes` and returns how many reached the file; when that is not
        // all, *why says what stopped the rest in the system's words.
        virtual qint64 write(const QByteArray &bytes, QString *why) = 0;
        // Takes back the last `count` bytes written, where the file allows it (a regular
        // file nobody has appended to since); false otherwise.
        virtual bool take_back(qint64 count) = 0;
        // The file ends inside a line: a record cut short by a crash or a power cut.
        virtual bool ends_mid_line() { return false; }
        // What became of the file at `path` since it was opened.
        enum class place { there, deleted, moved };
        virtual place where(const QString &path) const
        {
            Q_UNUSED(path)
            return place::there;
        }
    };

    // Opens the file for appending, creating a regular file where there is none. A FIFO
    // is opened without waiting: one that no process reads is refused at once, as is
    // anything that is neither a regular file, a FIFO nor a character device.
    bool open(const QString &path, QString *why);
    // Writes to `to` instead of a file.
    void open(std::unique_ptr<sink> to);
    bool is_open() const { return out != nullptr; }
    // False when the record could not be written whole; *why says why. What part of it
    // got out is taken back, or the next record starts on a line of its own. A file that
    // was deleted or moved away since is made again at its path first.
    bool append(const shift_record &r, QString *why);
    // Records this log wrote to a file that was deleted afterwards: they went with it.
    int lost_count() const { return lost; }

    static QByteArray line(const shift_record &r);

private:
    static std::unique_ptr<sink> open_file(const QString &path, QString *why);
    bool follow_path(QString *why);

    std::unique_ptr<sink> out;
    QString file_path; // empty for a sink given to open()
    bool owes_newline = false; // a record was cut short where it could not be taken back
    int in_file = 0; // records written to the file now open
    int lost = 0;
};
