#include "net_connect.h"

#include <QTcpSocket>

// Without the system's own wait on a connect in progress the attempt gets its whole time
// in one wait: a stop is seen only when that wait has ended.
namespace net_connect {

ending reach(QTcpSocket *socket, const QHostAddress &address, quint16 port, qint64 limit_ms,
             const std::function<bool()> &stop_asked, QString *why)
{
    socket->connectToHost(address, port);
    if (socket->waitForConnected(int(limit_ms)))
        return ending::connected;
    if (stop_asked())
        return ending::stopped;
    if (socket->error() == QAbstractSocket::SocketTimeoutError)
        return ending::timed_out;
    *why = socket->errorString();
    return ending::failed;
}

} // namespace net_connect
