#include "net_connect.h"

#include <QElapsedTimer>
#include <QTcpSocket>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace net_connect {

namespace {

constexpr int slice_ms = 10; // how often the wait looks at the stop flag

// The address as the system takes it, with the scope of a link-local IPv6 one.
bool socket_address(const QHostAddress &address, quint16 port, sockaddr_storage *out, socklen_t *size)
{
    addrinfo hints = {};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(address.toString().toLatin1().constData(), QByteArray::number(port).constData(),
                      &hints, &found) != 0)
        return false;
    const bool fits = found && found->ai_addrlen <= sizeof(*out);
    if (fits) {
        std::memcpy(out, found->ai_addr, found->ai_addrlen);
        *size = found->ai_addrlen;
    }
    ::freeaddrinfo(found);
    return fits;
}

// Waits for the connect in progress on fd to end: 0 once connected, otherwise the
// system's error, EINPROGRESS while it goes on.
int settle(int fd, int wait_ms)
{
    pollfd watch = {fd, POLLOUT, 0};
    if (::poll(&watch, 1, wait_ms) <= 0)
        return EINPROGRESS;
    int error = 0;
    socklen_t size = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        return errno;
    return error;
}

} // namespace

ending reach(QTcpSocket *socket, const QHostAddress &address, quint16 port, qint64 limit_ms,
             const std::function<bool()> &stop_asked, QString *why)
{
    QElapsedTimer clock;
    clock.start();
    sockaddr_storage to = {};
    socklen_t size = 0;
    if (!socket_address(address, port, &to, &size)) {
        *why = QStringLiteral("%1 is not an address to connect to").arg(address.toString());
        return ending::failed;
    }
    const int fd = ::socket(to.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = qt_error_string(errno);
        return ending::failed;
    }
    // Interrupted, a non-blocking connect goes on by itself, as one in progress does.
    int error = ::connect(fd, reinterpret_cast<const sockaddr *>(&to), size) == 0 ? 0 : errno;
    while (error == EINPROGRESS || error == EINTR) {
        const qint64 left = limit_ms - clock.elapsed();
        if (left <= 0 || stop_asked()) {
            ::close(fd);
            return left <= 0 ? ending::timed_out : ending::stopped;
        }
        error = settle(fd, int(std::min<qint64>(left, slice_ms)));
    }
    if (error != 0) {
        ::close(fd);
        *why = qt_error_string(error);
        return ending::failed;
    }
    if (!socket->setSocketDescriptor(fd)) {
        ::close(fd);
        *why = socket->errorString();
        return ending::failed;
    }
    return ending::connected;
}

} // namespace net_connect
