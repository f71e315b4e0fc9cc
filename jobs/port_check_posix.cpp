#include "port_check.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace port_check {

namespace {

bool stat_of(const QString &location, struct stat *st)
{
    return ::stat(QFile::encodeName(location).constData(), st) == 0;
}

// A character device is a serial port only if it is a terminal. Opened without becoming
// our controlling terminal and without waiting for a carrier, and closed at once.
bool may_be_terminal(const QString &location)
{
    const int fd = ::open(QFile::encodeName(location).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return true; // busy, gone or the like: the update's own open decides
    const bool terminal = ::isatty(fd) == 1;
    ::close(fd);
    return terminal;
}

} // namespace

QString canonical(const QString &location)
{
    return QFileInfo(location).canonicalFilePath();
}

bool exists(const QString &location)
{
    return QFileInfo::exists(location);
}

// Device nodes and links to them whose names match: a regular file beside them (a log
// named like the ports) is no port, nor is a link whose device has gone (an unplugged
// adapter's by-id name).
QStringList glob(const QString &pattern)
{
    const QFileInfo where(pattern);
    const QDir dir(where.path());
    QStringList out;
    for (const QString &name : dir.entryList({where.fileName()}, QDir::System, QDir::Name)) {
        const QFileInfo entry(dir.filePath(name));
        if (entry.exists())
            out << entry.filePath();
    }
    return out;
}

verdict examine(const QString &location)
{
    struct stat st = {};
    if (!stat_of(location, &st))
        return verdict::absent;
    // Regular files, folders, FIFOs and sockets are refused without being opened: opening
    // a FIFO could wait for a writer.
    if (!S_ISCHR(st.st_mode))
        return verdict::not_serial;
    if (::access(QFile::encodeName(location).constData(), R_OK | W_OK) != 0 && errno == EACCES)
        return verdict::denied;
    return may_be_terminal(location) ? verdict::unknown : verdict::not_serial;
}

bool device_number(const QString &location, quint64 *number)
{
    struct stat st = {};
    if (!stat_of(location, &st) || !S_ISCHR(st.st_mode))
        return false;
    *number = quint64(st.st_rdev);
    return true;
}

QString kind_of(const QString &location)
{
    struct stat st = {};
    if (!stat_of(location, &st))
        return QStringLiteral("not there");
    if (S_ISREG(st.st_mode))
        return QStringLiteral("a regular file");
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("a directory");
    if (S_ISFIFO(st.st_mode))
        return QStringLiteral("a FIFO");
    if (S_ISSOCK(st.st_mode))
        return QStringLiteral("a socket");
    if (S_ISBLK(st.st_mode))
        return QStringLiteral("a block device");
    return QStringLiteral("a character device but not a terminal");
}

QString busy_words(const QString &location)
{
    const QStringList who = holders(location);
    QString text = QStringLiteral("held by another process");
    if (!who.isEmpty())
        text += QStringLiteral(" (open in %1)").arg(who.join(QStringLiteral(", ")));
    return text;
}

QStringList holders(const QString &location)
{
    const QString target = QFileInfo(location).canonicalFilePath();
    QStringList out;
    if (target.isEmpty())
        return out;
    const QString self = QString::number(::getpid());
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        if (pid == self || !pid.at(0).isDigit())
            continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QFileInfo &fd : fds.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
            if (fd.symLinkTarget() != target)
                continue;
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            const QString name = comm.open(QIODevice::ReadOnly)
                                     ? QString::fromLocal8Bit(comm.readAll()).trimmed()
                                     : QString();
            out << (name.isEmpty() ? pid : QStringLiteral("%1 (%2)").arg(pid, name));
            break;
        }
    }
    return out;
}

} // namespace port_check
