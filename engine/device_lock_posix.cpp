#include "device_lock.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// Opened without becoming our controlling terminal and without waiting for a carrier; an
// open the terminal's exclusive mode refuses is the port's own open to tell.
int open_device(const QString &location)
{
    return ::open(QFile::encodeName(location).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

} // namespace

device_lock::result device_lock::take(const QString &location)
{
    release();
    const int fd = open_device(location);
    if (fd < 0)
        return result::untold;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        handle = fd;
        return result::taken;
    }
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    return held ? result::held_elsewhere : result::untold;
}

void device_lock::release()
{
    if (handle >= 0)
        ::close(int(handle)); // and the lock with it
    handle = -1;
}

bool device_lock::held_elsewhere(const QString &location)
{
    const int fd = open_device(location);
    if (fd < 0)
        return false;
    // A shared lock fails only against an exclusive one, and two lookers never stop each other.
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}
