#pragma once
// A serial port on a server across the network: RFC 2217 (telnet with COM-PORT-OPTION,
// the line settings sent to the server and its answers checked) or raw TCP, where the
// bytes go as they are and the line settings are the server's own.
#include "line.h"
#include "telnet.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>

#include <functional>

class QTcpSocket;

class net_line : public line
{
public:
    net_line(const net_address::address &where, QObject *parent);
    ~net_line() override;

    bool open() override;
    void close() override;
    bool isOpen() const override;
    QByteArray readAll() override;
    qint64 write(const char *data, qint64 size) override;
    bool waitForBytesWritten(int msecs) override;
    bool waitForReadyRead(int msecs) override;
    QString errorString() const override { return error; }
    QString lost() const override { return lost_why; }
    QString open_notice() const override;

    // A server that neither accepts nor refuses within this is given up on.
    static constexpr int connect_limit_ms = 3000;
    // How long an RFC 2217 server has to agree to the option and confirm the settings.
    static constexpr int answer_limit_ms = 2000;
    // Once the settings are confirmed, how much longer answers that a server may never
    // send (ser2net does not acknowledge DTR or RTS on a pseudo-terminal) are waited for.
    static constexpr int optional_answer_ms = 100;
    // A raw server that turns the connection away (ser2net with its port in use) says so
    // and closes at once, and a telnet server reached as raw TCP opens with its
    // negotiation at once: the open listens this long for either, and longer by twice
    // what the connect took, for a server far away (answer_limit_ms at most).
    static constexpr int raw_listen_ms = 50;

private:
    QList<QHostAddress> addresses(const QElapsedTimer &clock);
    bool connect_to_server();
    bool negotiate();
    bool listen_raw();
    bool await(const std::function<bool()> &done, int limit_ms);
    bool check_settings();
    bool pull(int msecs);
    bool alive();
    void keep_recent(const QByteArray &bytes);
    void take(const QByteArray &raw);
    void fail(const QString &why);
    void drop(const QString &why);
    QString said() const;

    net_address::address where;
    QTcpSocket *socket = nullptr;
    telnet::decoder decoder;
    QByteArray data;   // arrived, decoded, not yet read
    QByteArray recent; // the first bytes a connection brought: a refusal's words, telnet's offers
    std::vector<telnet::event> answers;
    bool connected = false;
    qint64 connect_ms = 0; // how long the last connect took: about one round trip
    bool com_port_agreed = false;
    bool com_port_refused = false;
    bool binary_refused = false;
    bool purged = false;
    QString error;
    QString lost_why;
    QString dropped; // why the connection went away, in the system's words
};
