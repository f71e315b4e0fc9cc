#pragma once
// A TCP connection that gets its whole time and can still be given up on at once. Qt 5's
// waitForConnected() abandons the attempt when its wait runs out, so short waits that
// look at a stop flag in between would never let a server farther than one wait away
// answer (net_connect_posix.cpp and its fallback).
#include <QHostAddress>
#include <QString>

#include <functional>

class QTcpSocket;

namespace net_connect {

enum class ending { connected, failed, timed_out, stopped };

// Connects the unconnected `socket` to address:port within limit_ms, asking `stop_asked`
// between short waits. On `failed`, *why holds the system's words ("Connection refused").
ending reach(QTcpSocket *socket, const QHostAddress &address, quint16 port, qint64 limit_ms,
             const std::function<bool()> &stop_asked, QString *why);

} // namespace net_connect
