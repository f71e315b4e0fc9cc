#include "net_line.h"

#include "net_connect.h"
#include "quick_ack.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QTcpSocket>

#include <algorithm>
#include <memory>
#include <thread>

namespace {

constexpr int slice_ms = 10; // how often a wait looks at the stop flag

// A name lookup that can be given up on: the system's resolver cannot be interrupted, so
// it runs on a thread of its own, which finishes on its own time if nobody waits any more.
struct lookup
{
    std::atomic<bool> done{false};
    QHostInfo info;
};

std::shared_ptr<lookup> start_lookup(const QString &host)
{
    auto result = std::make_shared<lookup>();
    std::thread([result, host] {
        result->info = QHostInfo::fromName(host);
        result->done.store(true, std::memory_order_release);
    }).detach();
    return result;
}

telnet::com_settings com_settings_of(const line_setup &s)
{
    telnet::com_settings c;
    c.baud = quint32(s.baud_rate);
    c.parity = s.parity == QSerialPort::EvenParity  ? telnet::parity_even
               : s.parity == QSerialPort::OddParity ? telnet::parity_odd
                                                    : telnet::parity_none;
    c.stopsize = s.stop_bits == QSerialPort::TwoStop ? 2 : 1;
    return c;
}

} // namespace

net_line::net_line(const net_address::address &where, QObject *parent) : line(parent), where(where)
{
}

net_line::~net_line() = default;

QString net_line::open_notice() const
{
    return QStringLiteral("a network line to %1 (%2), sent without delay (TCP_NODELAY); what it "
                          "adds beyond the network is the server's (ser2net's chardelay, a "
                          "device server's packing timer)")
        .arg(net_address::server(where),
             where.kind == net_address::scheme::rfc2217 ? QStringLiteral("RFC 2217")
                                                        : QStringLiteral("raw TCP"));
}

void net_line::fail(const QString &why)
{
    error = QStringLiteral("cannot use %1: %2").arg(net_address::server(where), why);
    connected = false;
    if (socket)
        socket->abort();
}

void net_line::drop(const QString &why)
{
    if (dropped.isEmpty())
        dropped = why + said();
    lost_why = QStringLiteral("the connection to %1 was lost: %2").arg(net_address::server(where), dropped);
    connected = false;
    socket->abort();
}

// What a server that turns a client away usually says before it closes: "Port already
// in use". Only printable text counts; a device's bytes are not words.
QString net_line::said() const
{
    QByteArray text;
    for (const char c : recent)
        if (c >= 0x20 && c < 0x7F)
            text.append(c);
        else if (c != '\r' && c != '\n')
            return {};
    text = text.trimmed();
    return text.isEmpty() ? QString() : QStringLiteral(" (it said \"%1\")").arg(QString::fromLatin1(text));
}

bool net_line::isOpen() const
{
    return connected && socket->state() == QAbstractSocket::ConnectedState;
}

void net_line::close()
{
    connected = false;
    if (socket)
        socket->abort();
    data.clear();
}

// False once the connection has gone, by the server's doing or the network's: then it is
// dropped with the system's words for why.
bool net_line::alive()
{
    if (!connected)
        return false;
    if (socket->state() == QAbstractSocket::ConnectedState)
        return true;
    if (socket->isOpen() && socket->bytesAvailable() > 0)
        take(socket->readAll()); // its last words, which may say why
    drop(socket->errorString());
    return false;
}

bool net_line::open()
{
    close();
    purged = false;
    error.clear();
    lost_why.clear();
    dropped.clear();
    if (!connect_to_server())
        return false;
    connected = true;
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    recent.clear();
    const bool ok = where.kind == net_address::scheme::rfc2217 ? negotiate() : listen_raw();
    if (!ok) {
        alive(); // a server that turned the client away has said why by now
        if (error.isEmpty())
            fail(dropped.isEmpty() ? QStringLiteral("it closed the connection") : dropped);
        return false;
    }
    // What came before the line was set up is stale: on RFC 2217 the purge's answer has
    // marked where it ended; on raw TCP it is everything so far.
    if (!purged)
        data.clear();
    return true;
}

// The server's addresses: its own when numeric, otherwise what the lookup finds within
// the connect's limit; empty once the failure has been told.
QList<QHostAddress> net_line::addresses(const QElapsedTimer &clock)
{
    const QHostAddress numeric(where.host);
    if (!numeric.isNull())
        return {numeric};
    const std::shared_ptr<lookup> found = start_lookup(where.host);
    while (!found->done.load(std::memory_order_acquire)) {
        if (stop_asked() || clock.elapsed() > connect_limit_ms) {
            fail(stop_asked() ? QStringLiteral("stopped while looking up the host name")
                              : QStringLiteral("no answer to the host name lookup in %1 ms")
                                    .arg(connect_limit_ms));
            return {};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(slice_ms));
    }
    if (found->info.error() != QHostInfo::NoError || found->info.addresses().isEmpty()) {
        fail(found->info.errorString());
        return {};
    }
    return found->info.addresses();
}

bool net_line::connect_to_server()
{
    QElapsedTimer clock;
    clock.start();
    const QList<QHostAddress> tried = addresses(clock);
    if (tried.isEmpty())
        return false;
    if (!socket)
        socket = new QTcpSocket(this);
    QString why;
    for (const QHostAddress &address : tried) {
        socket->abort();
        const qint64 began = clock.elapsed();
        switch (net_connect::reach(socket, address, where.port, connect_limit_ms - clock.elapsed(),
                                   [this] { return stop_asked(); }, &why)) {
        case net_connect::ending::connected:
            connect_ms = clock.elapsed() - began;
            return true;
        case net_connect::ending::stopped:
            fail(QStringLiteral("stopped while connecting"));
            return false;
        case net_connect::ending::timed_out:
            fail(QStringLiteral("no answer to the connection request in %1 ms").arg(connect_limit_ms));
            return false;
        case net_connect::ending::failed:
            break; // the next address may still answer
        }
    }
    fail(why);
    return false;
}

// Reads what the connection brings within msecs; false when nothing came. A connection
// that went away is dropped, and isOpen() then says so.
bool net_line::pull(int msecs)
{
    if (!alive())
        return false;
    if (socket->bytesAvailable() == 0 && !socket->waitForReadyRead(msecs)) {
        alive();
        return false;
    }
    take(socket->readAll());
    quick_ack::request(socket->socketDescriptor());
    return true;
}

void net_line::take(const QByteArray &raw)
{
    if (where.kind == net_address::scheme::raw) {
        keep_recent(raw);
        data += raw;
        return;
    }
    QByteArray fresh;
    std::vector<telnet::event> events;
    decoder.feed(raw.constData(), raw.size(), &fresh, &events);
    int stale = 0;
    for (const telnet::event &e : events) {
        const QByteArray reply = telnet::answer(e);
        if (!reply.isEmpty() && isOpen())
            socket->write(reply);
        if (e.what == telnet::event::kind::option && e.option == telnet::com_port) {
            com_port_agreed = com_port_agreed || e.verb == telnet::do_;
            com_port_refused = com_port_refused || e.verb == telnet::dont;
        }
        if (e.what == telnet::event::kind::option && e.option == telnet::binary)
            binary_refused = binary_refused || e.verb == telnet::dont || e.verb == telnet::wont;
        if (e.what == telnet::event::kind::sub && e.option == telnet::com_port) {
            answers.push_back(e);
            if (e.value.startsWith(char(telnet::purge_data + telnet::server_offset))) {
                purged = true;
                stale = e.at; // what the server's port had received before the purge
                data.clear();
            }
        }
    }
    if (isOpen())
        socket->flush();
    keep_recent(fresh);
    data += fresh.mid(stale);
}

void net_line::keep_recent(const QByteArray &bytes)
{
    if (recent.size() < 120)
        recent += bytes.left(120 - recent.size());
}

bool net_line::await(const std::function<bool()> &done, int limit_ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        const qint64 left = limit_ms - clock.elapsed();
        if (left <= 0 || stop_asked() || !isOpen())
            return false;
        pull(int(std::min<qint64>(left, slice_ms)));
    }
    return true;
}

// Nothing has gone to the device yet. Past this, a telnet server would take the
// firmware's first 0xFF for a command of its own, with the device already erased.
bool net_line::listen_raw()
{
    const qint64 limit = std::min<qint64>(raw_listen_ms + 2 * connect_ms, answer_limit_ms);
    if (await([this] { return telnet::negotiates(recent); }, int(limit))) {
        fail(QStringLiteral("this server speaks telnet (RFC 2217): use rfc2217://%1")
                 .arg(net_address::server(where)));
        return false;
    }
    return isOpen();
}

bool net_line::negotiate()
{
    const QString server = net_address::server(where);
    com_port_agreed = com_port_refused = binary_refused = purged = false;
    answers.clear();
    decoder = telnet::decoder();
    socket->write(telnet::offer());
    socket->flush();
    if (!await([this] { return com_port_agreed || com_port_refused; }, answer_limit_ms)) {
        if (isOpen())
            fail(QStringLiteral("no RFC 2217 negotiation within %1 ms (a raw TCP port is "
                                "socket://%2)").arg(answer_limit_ms).arg(server));
        return false;
    }
    if (!alive())
        return false;
    if (com_port_refused) {
        fail(QStringLiteral("the server refused RFC 2217's COM-PORT-OPTION (a raw TCP port is "
                            "socket://%1)").arg(server));
        return false;
    }
    const telnet::com_settings asked = com_settings_of(setup());
    socket->write(telnet::setup_requests(asked));
    socket->flush();
    const bool answered =
        await([&] { return telnet::check_answers(asked, answers).complete; }, answer_limit_ms);
    if (!isOpen())
        return false;
    const telnet::settings_check check = telnet::check_answers(asked, answers);
    if (!check.wrong.isEmpty()) {
        fail(QStringLiteral("the server ") + check.wrong);
        return false;
    }
    if (!answered) {
        fail(QStringLiteral("the server did not confirm the line settings within %1 ms")
                 .arg(answer_limit_ms));
        return false;
    }
    // A purge and control requests that are never answered must not hold up the update.
    await([this] { return purged; }, optional_answer_ms);
    if (binary_refused) {
        // Without it a telnet server may add and drop bytes (after CR, say) on the way.
        fail(QStringLiteral("the server refused binary transmission"));
        return false;
    }
    return isOpen();
}

QByteArray net_line::readAll()
{
    if (isOpen() && socket->bytesAvailable() > 0)
        take(socket->readAll());
    QByteArray out;
    out.swap(data);
    return out;
}

qint64 net_line::write(const char *bytes, qint64 size)
{
    if (!isOpen())
        return -1;
    const QByteArray raw = QByteArray::fromRawData(bytes, int(size));
    const QByteArray wire = where.kind == net_address::scheme::rfc2217 ? telnet::escape(raw) : raw;
    if (socket->write(wire) != wire.size())
        return -1;
    return size;
}

bool net_line::waitForBytesWritten(int msecs)
{
    if (!isOpen())
        return false;
    QElapsedTimer clock;
    clock.start();
    while (socket->bytesToWrite() > 0) {
        const qint64 left = msecs - clock.elapsed();
        if (left <= 0)
            return false;
        if (!socket->waitForBytesWritten(int(left))) {
            alive();
            return false;
        }
    }
    return true;
}

// As the serial port's: true once new data has come, whatever was waiting before.
bool net_line::waitForReadyRead(int msecs)
{
    QElapsedTimer clock;
    clock.start();
    const int before = data.size();
    for (;;) {
        const qint64 left = msecs - clock.elapsed();
        if (!isOpen())
            return false;
        // Telnet commands alone (an answer the server was late with) are no data: wait on.
        pull(int(std::max<qint64>(left, 0)));
        if (data.size() > before)
            return true;
        if (left <= 0)
            return false;
    }
}
