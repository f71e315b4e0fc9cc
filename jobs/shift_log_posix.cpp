// The shift log's file on POSIX systems: written with write(2), so a short write is known
// byte for byte and can be cut back, and failures carry the system's own words.
#include "shift_log.h"

#include "port_check.h"

#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A FIFO (or a terminal) whose reader takes nothing holds a record up this long at most:
// the devices' events wait on the same thread.
constexpr int patience_ms = 2000;

QString system_words(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool appendable(mode_t mode)
{
    return S_ISREG(mode) || S_ISFIFO(mode) || S_ISCHR(mode);
}

// A FIFO's reader that went away, or a file grown to the size limit, would end the
// process (SIGPIPE, SIGXFSZ); held back during a write, they cost the record only, and
// the write's error says what happened.
class signals_held
{
public:
    signals_held()
    {
        sigemptyset(&held);
        for (const int s : caught)
            sigaddset(&held, s);
        pthread_sigmask(SIG_BLOCK, &held, &previous);
        sigpending(&before);
    }
    ~signals_held()
    {
        sigset_t now;
        sigpending(&now);
        const timespec none = {0, 0};
        for (const int s : caught) {
            if (!sigismember(&now, s) || sigismember(&before, s))
                continue; // only what the write raised is taken
            sigset_t one;
            sigemptyset(&one);
            sigaddset(&one, s);
            sigtimedwait(&one, nullptr, &none);
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    signals_held(const signals_held &) = delete;
    signals_held &operator=(const signals_held &) = delete;

private:
    static constexpr int caught[] = {SIGPIPE, SIGXFSZ};
    sigset_t held;
    sigset_t previous;
    sigset_t before;
};

class file_sink : public shift_log::sink
{
public:
    explicit file_sink(int fd) : fd(fd) {}
    ~file_sink() override { ::close(fd); }
    file_sink(const file_sink &) = delete;
    file_sink &operator=(const file_sink &) = delete;

    qint64 write(const QByteArray &bytes, QString *why) override
    {
        const signals_held held;
        QElapsedTimer waited;
        waited.start();
        qint64 done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
            const int error = errno;
            if (n > 0) {
                done += n;
            } else if (n < 0 && error == EAGAIN) {
                if (!writable(int(patience_ms - waited.elapsed()))) {
                    *why = QStringLiteral("nothing could be written to it for %1 s (its reader takes "
                                          "nothing)")
                               .arg(patience_ms / 1000);
                    break;
                }
            } else if (n < 0 && error != EINTR) {
                *why = system_words(error);
                break;
            } else if (n == 0) {
                *why = QStringLiteral("it takes no more bytes");
                break;
            }
        }
        return done;
    }

    bool take_back(qint64 count) override
    {
        struct stat st = {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
            return false;
        // Appending leaves the offset just past what this log wrote; anything beyond it
        // is someone else's.
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        if (end < count || st.st_size != end)
            return false;
        return ::ftruncate(fd, end - off_t(count)) == 0;
    }

    bool ends_mid_line() override
    {
        struct stat st = {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
            return false;
        char last = '\n';
        return ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n';
    }

    // Deleted: no name is left for the file (its link count is 0). Moved: another file,
    // or none, has its name.
    place where(const QString &path) const override
    {
        struct stat mine = {};
        if (::fstat(fd, &mine) != 0 || !S_ISREG(mine.st_mode))
            return place::there;
        if (mine.st_nlink == 0)
            return place::deleted;
        struct stat named = {};
        if (::stat(QFile::encodeName(path).constData(), &named) != 0)
            return errno == ENOENT ? place::moved : place::there;
        return named.st_dev == mine.st_dev && named.st_ino == mine.st_ino ? place::there : place::moved;
    }

private:
    bool writable(int ms) const
    {
        pollfd p = {fd, POLLOUT, 0};
        return ms > 0 && ::poll(&p, 1, ms) > 0;
    }

    const int fd;
};

} // namespace

std::unique_ptr<shift_log::sink> shift_log::open_file(const QString &path, QString *why)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st = {};
    const bool exists = ::stat(name.constData(), &st) == 0;
    // A block device or a socket is no place for records (and a disk is ruined by them).
    if (exists && !appendable(st.st_mode)) {
        *why = QStringLiteral("it is %1, not a file, a FIFO or a character device").arg(port_check::kind_of(path));
        return nullptr;
    }
    // Opening a FIFO for writing would otherwise wait for a reader, for ever if none comes.
    // A regular file is opened for reading too, to see how its last line ends; a FIFO
    // never is, or this process would become its reader.
    const int flags = O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const bool regular = !exists || S_ISREG(st.st_mode);
    int fd = ::open(name.constData(), flags | (regular ? O_RDWR : O_WRONLY), 0666);
    if (fd < 0 && regular && errno == EACCES) // writable only: its last line goes unseen
        fd = ::open(name.constData(), flags | O_WRONLY, 0666);
    if (fd < 0) {
        const int error = errno;
        *why = exists && S_ISFIFO(st.st_mode) && error == ENXIO
                   ? QStringLiteral("it is a FIFO that no process is reading; start its reader first")
                   : system_words(error);
        return nullptr;
    }
    // Replaced since it was looked at (a FIFO opened for reading too would be its own reader).
    if (::fstat(fd, &st) != 0 || !appendable(st.st_mode) || (regular && !S_ISREG(st.st_mode))) {
        ::close(fd);
        *why = QStringLiteral("it is not a file, a FIFO or a character device");
        return nullptr;
    }
    return std::make_unique<file_sink>(fd);
}
