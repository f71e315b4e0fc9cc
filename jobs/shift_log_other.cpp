// The shift log's file where POSIX is not there: a QFile, with no way to open a FIFO
// without waiting and, for anything but a regular file, no way to know how much of a
// failed write got out.
#include "shift_log.h"

#include <QFile>
#include <QFileInfo>

namespace {

class file_sink : public shift_log::sink
{
public:
    explicit file_sink(const QString &path) : file(path) {}
    bool open() { return file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered); }
    QString error() const { return file.errorString(); }

    qint64 write(const QByteArray &bytes, QString *why) override
    {
        const bool regular = QFileInfo(file.fileName()).isFile();
        const qint64 before = regular ? file.size() : 0;
        const qint64 n = file.write(bytes);
        if (n == bytes.size())
            return n;
        *why = file.errorString();
        // Where the count is unknown, some bytes are taken to have got out, so that the
        // next record starts on a line of its own.
        return regular ? file.size() - before : qMax<qint64>(n, 1);
    }

    bool take_back(qint64 count) override
    {
        return QFileInfo(file.fileName()).isFile() && file.resize(file.size() - count);
    }

    bool ends_mid_line() override
    {
        QFile look(file.fileName());
        if (!QFileInfo(look).isFile() || !look.open(QIODevice::ReadOnly) || look.size() == 0)
            return false;
        char last = '\n';
        return look.seek(look.size() - 1) && look.read(&last, 1) == 1 && last != '\n';
    }

private:
    QFile file;
};

} // namespace

std::unique_ptr<shift_log::sink> shift_log::open_file(const QString &path, QString *why)
{
    auto sink = std::make_unique<file_sink>(path);
    if (sink->open())
        return sink;
    *why = sink->error();
    return nullptr;
}
