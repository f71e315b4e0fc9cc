// Serial ports on a server across the network: the telnet and RFC 2217 bytes without a
// socket, the network line against a scripted RFC 2217 peer in this process, and whole
// updates through a real ser2net in front of the simulated device.
#include "cli_harness.h"
#include "devsim_harness.h"
#include "net_line.h"
#include "port_watch.h"
#include "telnet.h"
#include "telnet_pieces.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace cli_harness;

namespace {

QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray out;
    for (const int b : list)
        out.append(char(b));
    return out;
}

// An RFC 2217 server for one connection, on a thread of its own: it offers and agrees
// like ser2net, answers each setting with `baud_answer` for the baud rate (0: the one
// asked for) and never acknowledges SET-CONTROL; bytes it sends before its purge answer
// are stale. What it received (telnet commands and
// doubled bytes as they came) is in `received`; data it is told to send goes out escaped.
struct peer
{
    quint32 baud_answer = 0;
    int answer_delay_ms = 0; // before each answer: a server far away

    QByteArray to_send;
    QByteArray received;
    quint16 port = 0;
    std::thread thread;
    std::atomic<bool> listening{false};

    void start()
    {
        thread = std::thread([this] { run(); });
        while (!listening.load())
            std::this_thread::yield();
    }
    void join()
    {
        if (thread.joinable())
            thread.join();
    }
    ~peer() { join(); }

    void run()
    {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost);
        port = server.serverPort();
        listening.store(true);
        if (!server.waitForNewConnection(5000))
            return;
        QTcpSocket *s = server.nextPendingConnection();
        std::this_thread::sleep_for(std::chrono::milliseconds(answer_delay_ms));
        s->write(bytes({telnet::iac, telnet::do_, telnet::com_port, telnet::iac, telnet::will,
                        telnet::echo}));
        s->flush();
        telnet::decoder d;
        QByteArray data;
        bool sent = false;
        while (s->state() == QAbstractSocket::ConnectedState && s->waitForReadyRead(3000)) {
            const QByteArray raw = s->readAll();
            received += raw;
            std::vector<telnet::event> events;
            d.feed(raw.constData(), raw.size(), &data, &events);
            if (!events.empty())
                std::this_thread::sleep_for(std::chrono::milliseconds(answer_delay_ms));
            for (const telnet::event &e : events)
                if (e.what == telnet::event::kind::sub && e.value.at(0) != char(telnet::set_control)) {
                    QByteArray value = e.value.mid(1);
                    if (e.value.at(0) == char(telnet::set_baudrate) && baud_answer)
                        value = telnet::four_bytes(baud_answer);
                    if (e.value.at(0) == char(telnet::purge_data))
                        s->write("stale"); // received before the purge: never the client's
                    s->write(telnet::subnegotiation(quint8(e.value.at(0) + telnet::server_offset), value));
                    if (e.value.at(0) == char(telnet::purge_data) && !sent) {
                        s->write(telnet::escape(to_send));
                        sent = true;
                    }
                }
            s->flush();
        }
    }
};

// A real ser2net in front of a simulated device's port, on the loopback only, with a
// configuration of its own: one accepter per entry of `accepters` ("telnet(rfc2217),tcp",
// "tcp"), each on `host` (127.0.0.1 or ::1) and a free port, in that order in ports().
class ser2net_process
{
public:
    static QString program()
    {
        for (const char *path : {"/usr/sbin/ser2net", "/usr/bin/ser2net"})
            if (QFile::exists(QString::fromLatin1(path)))
                return QString::fromLatin1(path);
        return {};
    }

    ser2net_process(const QString &device, const QStringList &accepters,
                    const QString &host = QStringLiteral("127.0.0.1"))
    {
        QString yaml;
        for (const QString &accepter : accepters) {
            const quint16 port = free_port();
            used << port;
            yaml += QStringLiteral("connection: &c%1\n  accepter: %2,%3,%1\n"
                                   "  connector: serialdev,%4,115200n81,local\n")
                        .arg(port)
                        .arg(accepter, host, device);
        }
        QFile config(dir.filePath(QStringLiteral("ser2net.yaml")));
        if (program().isEmpty() || !config.open(QIODevice::WriteOnly))
            return;
        config.write(yaml.toUtf8());
        config.close();
        proc.setProcessChannelMode(QProcess::MergedChannels);
        proc.start(program(), {QStringLiteral("-n"), QStringLiteral("-c"), config.fileName()});
        QElapsedTimer clock;
        clock.start();
        while (proc.state() != QProcess::NotRunning && clock.elapsed() < 5000 && !listening())
            proc.waitForFinished(20);
        ready = listening();
    }
    ~ser2net_process() { stop(); }
    ser2net_process(const ser2net_process &) = delete;
    ser2net_process &operator=(const ser2net_process &) = delete;

    bool ok() const { return ready; }
    QList<quint16> ports() const { return used; }
    void stop()
    {
        if (proc.state() == QProcess::NotRunning)
            return;
        proc.terminate();
        if (!proc.waitForFinished(5000)) {
            proc.kill();
            proc.waitForFinished(5000);
        }
    }

private:
    // A port nothing listens on just now: the system's pick for a listener closed again.
    static quint16 free_port()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        return probe.serverPort();
    }
    // Looked up in the system's tables rather than by connecting, which would open the
    // device and leave it busy for a moment after.
    bool listening() const
    {
        QByteArray tables = file_bytes(QStringLiteral("/proc/net/tcp"))
                            + file_bytes(QStringLiteral("/proc/net/tcp6"));
        for (const quint16 port : used)
            if (!tables.contains(QStringLiteral(":%1 00000000:0000 0A")
                                     .arg(port, 4, 16, QLatin1Char('0')).toUpper().toLatin1())
                && !tables.contains(QStringLiteral(":%1 00000000000000000000000000000000:0000 0A")
                                        .arg(port, 4, 16, QLatin1Char('0')).toUpper().toLatin1()))
                return false;
        return !used.isEmpty();
    }

    QTemporaryDir dir;
    QProcess proc;
    QList<quint16> used;
    bool ready = false;
};

// A private network namespace for this thread and the processes it starts, with its
// loopback up and an address beside it (ser2net looks up the address it listens on as a
// system with a network would, which a loopback alone is not); the thread's own
// namespace comes back at the end. Needs root.
class private_network
{
public:
    private_network()
    {
        home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        entered = home >= 0 && ::unshare(CLONE_NEWNET) == 0;
        if (!entered)
            return;
        made = run({"ip", "link", "set", "lo", "up"})
               && run({"ip", "link", "add", "kv0", "type", "veth", "peer", "name", "kv1"})
               && run({"ip", "address", "add", "10.71.0.1/24", "dev", "kv0"})
               && run({"ip", "link", "set", "kv0", "up"}) && run({"ip", "link", "set", "kv1", "up"});
    }
    ~private_network()
    {
        if (entered)
            ::setns(home, CLONE_NEWNET);
        if (home >= 0)
            ::close(home);
    }
    private_network(const private_network &) = delete;
    private_network &operator=(const private_network &) = delete;

    bool entered_ok() const { return entered; }
    bool ok() const { return made; }
    QString failure() const { return told; }

    // Every connection request and its answer (TCP packets with SYN set; the loopback's IP
    // headers carry no options) go through a token bucket of 2 kbit/s with room for 100
    // bytes, as a server far away would answer them: a connect needs 0.2 to 0.6 s. The
    // data after it goes at the loopback's own speed.
    bool slow_connects()
    {
        return run({"tc", "qdisc", "add", "dev", "lo", "root", "handle", "1:", "htb", "default", "10"})
               && run({"tc", "class", "add", "dev", "lo", "parent", "1:", "classid", "1:10", "htb", "rate", "10gbit"})
               && run({"tc", "class", "add", "dev", "lo", "parent", "1:", "classid", "1:20", "htb", "rate", "10gbit"})
               && run({"tc", "qdisc", "add", "dev", "lo", "parent", "1:20", "handle", "20:", "tbf", "rate",
                       "2kbit", "burst", "100", "latency", "5s"})
               && run({"tc", "filter", "add", "dev", "lo", "parent", "1:", "protocol", "ip", "prio", "1", "u32",
                       "match", "ip", "protocol", "6", "0xff", "match", "u8", "0x02", "0x02", "at", "33",
                       "flowid", "1:20"});
    }
    // How often the bucket held a connection request back.
    int connects_held_back()
    {
        QProcess tc;
        tc.start(QStringLiteral("tc"), {QStringLiteral("-s"), QStringLiteral("qdisc"), QStringLiteral("show"),
                                         QStringLiteral("dev"), QStringLiteral("lo")});
        tc.waitForFinished(10000);
        const QString shown = QString::fromLocal8Bit(tc.readAllStandardOutput());
        const QRegularExpression held(QStringLiteral("qdisc tbf 20:.*?overlimits (\\d+)"),
                                      QRegularExpression::DotMatchesEverythingOption);
        return held.match(shown).captured(1).toInt();
    }

private:
    bool run(std::initializer_list<const char *> words)
    {
        QStringList args;
        for (const char *w : words)
            args << QString::fromLatin1(w);
        const QString program = args.takeFirst();
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        if (p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
            return true;
        told = QStringLiteral("%1 %2: %3 %4").arg(program, args.join(QLatin1Char(' ')), p.errorString(),
                                                   QString::fromLocal8Bit(p.readAll()));
        return false;
    }

    int home = -1;
    bool entered = false;
    bool made = false;
    QString told;
};

// A server that never accepts: its listen queue of one is taken by a connection it never
// accepts, so the system drops every further connection request unanswered.
class full_listener
{
public:
    full_listener()
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at = {};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(at);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&at), size) != 0 || ::listen(fd, 0) != 0
            || ::getsockname(fd, reinterpret_cast<sockaddr *>(&at), &size) != 0)
            return;
        port = ntohs(at.sin_port);
        filler.connectToHost(QHostAddress::LocalHost, port);
        if (!filler.waitForConnected(5000))
            port = 0;
    }
    ~full_listener()
    {
        if (fd >= 0)
            ::close(fd);
    }
    // Takes the oldest connection off the queue, making room for one more; waits for one.
    int accept_one() { return ::accept(fd, nullptr, nullptr); }
    full_listener(const full_listener &) = delete;
    full_listener &operator=(const full_listener &) = delete;

    quint16 port = 0;

private:
    int fd = -1;
    QTcpSocket filler;
};

// A telnet server far away: its connection is answered a second late (the first request
// finds the queue full and is repeated by the system) and its negotiation, ser2net's own
// opening bytes, comes 0.5 s after that.
class far_telnet_server
{
public:
    far_telnet_server()
    {
        thread = std::thread([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const int filler = queue.accept_one();
            const int client = queue.accept_one();
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            const QByteArray opening = bytes({0xFF, 0xFB, 0x03, 0xFF, 0xFD, 0x03, 0xFF, 0xFD, 0x2C});
            if (client >= 0 && ::write(client, opening.constData(), size_t(opening.size())) > 0) {
                char sink[64];
                while (::read(client, sink, sizeof sink) > 0) {
                }
            }
            for (const int fd : {filler, client})
                if (fd >= 0)
                    ::close(fd);
        });
    }
    ~far_telnet_server() { thread.join(); }
    far_telnet_server(const far_telnet_server &) = delete;
    far_telnet_server &operator=(const far_telnet_server &) = delete;

    quint16 port() const { return queue.port; }

private:
    full_listener queue;
    std::thread thread;
};

line_setup setup_115200()
{
    line_setup s;
    s.baud_rate = 115200;
    s.parity = QSerialPort::EvenParity;
    s.stop_bits = QSerialPort::TwoStop;
    return s;
}

QString net_port(const char *scheme, const QString &host, quint16 port)
{
    return QStringLiteral("%1://%2:%3").arg(QLatin1String(scheme), host).arg(port);
}

// A line to the RFC 2217 peer on this machine, set up but not open.
std::unique_ptr<net_line> line_to(const peer &p)
{
    net_address::address where;
    QString why;
    if (!net_address::parse(net_port("rfc2217", QStringLiteral("127.0.0.1"), p.port), &where, &why))
        return nullptr;
    auto line = std::make_unique<net_line>(where, nullptr);
    line->set_setup(setup_115200());
    return line;
}

} // namespace

class NetLineTest : public QObject
{
    Q_OBJECT

private slots:
    void addresses_data();
    void addresses();
    void telnet_bytes();
    void against_a_peer();
    void through_ser2net_data();
    void through_ser2net();
    void ser2net_failures();
    void wrong_scheme();
    void slow_connects();
    void never_accepted();

private:
    QTemporaryDir dir;
};

void NetLineTest::addresses_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("canonical"); // empty: refused
    QTest::newRow("rfc2217") << "rfc2217://127.0.0.1:7001" << "rfc2217://127.0.0.1:7001";
    QTest::newRow("raw, name") << "SOCKET://Box-1.local:4001" << "socket://box-1.local:4001";
    QTest::newRow("ipv6") << "rfc2217://[::1]:7001" << "rfc2217://[::1]:7001";
    QTest::newRow("ipv6 long") << "rfc2217://[0:0::1]:7001" << "rfc2217://[::1]:7001";
    QTest::newRow("ipv6 bare") << "rfc2217://::1:7001" << "";
    QTest::newRow("no port") << "socket://host" << "";
    QTest::newRow("port 0") << "socket://host:0" << "";
    QTest::newRow("port too big") << "socket://host:65536" << "";
    QTest::newRow("path") << "socket://host:7/x" << "";
    QTest::newRow("no host") << "rfc2217://:7001" << "";
    QTest::newRow("not ipv6") << "rfc2217://[host]:7001" << "";
    QTest::newRow("port after a space") << "rfc2217://127.0.0.1: 7101" << "";
    QTest::newRow("another scheme") << "tcp://127.0.0.1:7101" << "";
    QTest::newRow("one slash") << "rfc2217:/127.0.0.1:7101" << "";
}

void NetLineTest::addresses()
{
    QFETCH(QString, name);
    QFETCH(QString, canonical);
    QVERIFY(net_address::is_network(name));
    net_address::address a;
    QString why;
    QCOMPARE(net_address::parse(name, &a, &why), !canonical.isEmpty());
    if (canonical.isEmpty())
        QVERIFY(!why.isEmpty());
    else
        QCOMPARE(net_address::canonical(a), canonical);
    QVERIFY(!net_address::is_network(QStringLiteral("/dev/ttyUSB0")));
}

void NetLineTest::telnet_bytes()
{
    using namespace telnet;
    // Out: every 0xFF doubled, in data and inside a subnegotiation's value alike.
    QCOMPARE(escape(bytes({0x01, 0xFF, 0xFF, 0x02})), bytes({0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}));
    QCOMPARE(subnegotiation(set_baudrate, four_bytes(0x0001FFFF)),
             bytes({iac, sb, com_port, 1, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, iac, se}));
    QCOMPARE(offer(), bytes({iac, will, binary, iac, do_, binary, iac, will, suppress_go_ahead,
                             iac, do_, suppress_go_ahead, iac, will, com_port}));
    com_settings asked;
    asked.baud = 115200;
    asked.parity = parity_even;
    asked.stopsize = 2;
    const QByteArray setup = setup_requests(asked);
    QVERIFY(setup.contains(subnegotiation(set_baudrate, bytes({0x00, 0x01, 0xC2, 0x00}))));
    QVERIFY(setup.contains(subnegotiation(set_parity, bytes({parity_even}))));
    QVERIFY(setup.contains(subnegotiation(set_stopsize, bytes({2}))));
    QVERIFY(setup.contains(subnegotiation(set_control, bytes({control_no_flow}))));
    QVERIFY(setup.endsWith(subnegotiation(purge_data, bytes({purge_receive}))));

    // In: the same stream cut anywhere decodes alike; 0xFF single again, commands apart.
    const QByteArray wire = bytes({0x10, iac, iac, iac, will, echo, 0x20, iac, sb, com_port,
                                   101, 0x00, 0x01, iac, iac, iac, iac, iac, se, iac, nop,
                                   iac, iac, 0x30});
    for (int piece = 1; piece <= wire.size(); ++piece) {
        const decoded d = decode_in_pieces(wire, [piece](int, int) { return piece; });
        QCOMPARE(d.data, bytes({0x10, 0xFF, 0x20, 0xFF, 0x30}));
        QCOMPARE(int(d.events.size()), 2);
        QCOMPARE(d.events[0].verb, quint8(will));
        QCOMPARE(d.events[1].value, bytes({101, 0x00, 0x01, 0xFF, 0xFF}));
    }
    // A telnet server's opening, and a device's bytes that merely hold the same values.
    QVERIFY(negotiates(bytes({iac, will, suppress_go_ahead, iac, do_, com_port})));
    QVERIFY(!negotiates(bytes({0x01, iac, will, suppress_go_ahead})));
    QVERIFY(!negotiates(bytes({iac, iac, will, 0x03})));
    // An option it did not offer is refused; one it offered is not answered again.
    QCOMPARE(answer({telnet::event::kind::option, will, echo, {}, 0}), bytes({iac, dont, echo}));
    QCOMPARE(answer({telnet::event::kind::option, do_, 24, {}, 0}), bytes({iac, wont, 24}));
    QVERIFY(answer({telnet::event::kind::option, do_, com_port, {}, 0}).isEmpty());
    QVERIFY(answer({telnet::event::kind::option, dont, 24, {}, 0}).isEmpty());

    // The server's answers: all four needed, each as asked.
    std::vector<telnet::event> answers;
    for (const QByteArray &a : {bytes({101, 0x00, 0x01, 0xC2, 0x00}), bytes({102, 8}),
                                bytes({103, parity_even}), bytes({104, 2})})
        answers.push_back({telnet::event::kind::sub, 0, com_port, a, 0});
    QVERIFY(check_answers(asked, answers).complete);
    QVERIFY(check_answers(asked, answers).wrong.isEmpty());
    answers[2].value = bytes({103, parity_none});
    QCOMPARE(check_answers(asked, answers).wrong, QStringLiteral("set the parity to none instead of even"));
    answers.pop_back();
    QVERIFY(!check_answers(asked, answers).complete);
}

// The line against a server that never acknowledges SET-CONTROL and answers everything
// else 700 ms late: the open waits for it, data full of 0xFF crosses both ways unharmed,
// and a server that sets another baud rate than asked is refused with both numbers.
void NetLineTest::against_a_peer()
{
    QByteArray firmware_like(300, char(0xFF));
    for (int i = 0; i < firmware_like.size(); i += 7)
        firmware_like[i] = char(i);
    {
        peer p;
        p.to_send = firmware_like;
        p.answer_delay_ms = 700;
        p.start();
        const std::unique_ptr<net_line> line = line_to(p);
        QVERIFY(line);
        QVERIFY2(line->open(), qPrintable(line->errorString()));
        QByteArray got;
        for (int i = 0; i < 200 && got.size() < firmware_like.size(); ++i) {
            line->waitForReadyRead(50);
            got += line->readAll();
        }
        QCOMPARE(got, firmware_like);
        QCOMPARE(line->write(firmware_like.constData(), firmware_like.size()), qint64(firmware_like.size()));
        QVERIFY(line->waitForBytesWritten(1000));
        line->close();
        p.join();
        QVERIFY(p.received.startsWith(telnet::offer()));
        QVERIFY(p.received.endsWith(telnet::escape(firmware_like)));
        QVERIFY(p.received.contains(bytes({telnet::iac, telnet::dont, telnet::echo})));
    }
    peer wrong;
    wrong.baud_answer = 9600;
    wrong.start();
    const std::unique_ptr<net_line> line = line_to(wrong);
    QVERIFY(line);
    QVERIFY(!line->open());
    QVERIFY2(line->errorString().contains(QLatin1String("set the baud rate to 9600 instead of 115200")),
             qPrintable(line->errorString()));
    wrong.join();
}

void NetLineTest::through_ser2net_data()
{
    QTest::addColumn<QString>("accepter");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("scheme");
    QTest::newRow("rfc2217, IPv4") << "telnet(rfc2217),tcp" << "127.0.0.1" << "rfc2217";
    QTest::newRow("raw, IPv6") << "tcp" << "::1" << "socket";
}

// The whole update through a real ser2net: the device holds the image byte for byte, with
// a third of the firmware 0xFF.
void NetLineTest::through_ser2net()
{
    QFETCH(QString, accepter);
    QFETCH(QString, host);
    QFETCH(QString, scheme);
    if (ser2net_process::program().isEmpty())
        QSKIP("ser2net is not installed (scripts/setup.sh installs it)");
    const QString firmware = dir.filePath(scheme + QStringLiteral(".bin"));
    QByteArray plain(20000, char(0xFF));
    for (int i = 0; i < plain.size(); i += 3)
        plain[i] = char(i * 7);
    QFile f(firmware);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(plain) == plain.size());
    f.close();
    const QString saved = firmware + QStringLiteral(".saved");
    devsim_process sim({QStringLiteral("--save"), saved});
    QVERIFY(sim.ok());
    ser2net_process server(sim.port(), {accepter}, host);
    QVERIFY(server.ok());
    const QString where = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    const QString port = net_port(scheme.toLatin1(), where, server.ports().first());
    const cli_result o = run({QStringLiteral("flash"), QStringLiteral("--port"), port, firmware});
    QVERIFY2(o.code == 0, qPrintable(o.describe() + sim.events().join(QLatin1Char('\n'))));
    QVERIFY(sim.wait_for(QStringLiteral("saved ")));
    QVERIFY(sim.has(QStringLiteral("image ok")));
    QCOMPARE(file_bytes(saved), image::derive(plain));
}

// Failures are told with the system's words and end the update without its 30 s of
// retries: a refused connection, a server busy with another client, a server stopped in
// the middle of the transfer.
void NetLineTest::ser2net_failures()
{
    if (ser2net_process::program().isEmpty())
        QSKIP("ser2net is not installed (scripts/setup.sh installs it)");
    const QString firmware = dir.filePath(QStringLiteral("fail.bin"));
    QVERIFY(!make_firmware(firmware, 60000).isEmpty());
    devsim_process sim;
    QVERIFY(sim.ok());
    ser2net_process server(sim.port(), {QStringLiteral("telnet(rfc2217),tcp"), QStringLiteral("tcp")});
    QVERIFY(server.ok());
    const QString port = net_port("rfc2217", QStringLiteral("127.0.0.1"), server.ports().first());

    QTcpServer closed; // a port that surely refuses: listened on, then let go
    closed.listen(QHostAddress::LocalHost);
    const quint16 refusing = closed.serverPort();
    closed.close();
    cli_result o = run({QStringLiteral("flash"), QStringLiteral("--port"),
                        net_port("rfc2217", QStringLiteral("127.0.0.1"), refusing), firmware});
    QCOMPARE(o.code, 1);
    QVERIFY2(o.err.contains(QLatin1String("Connection refused")), qPrintable(o.describe()));

    {
        QTcpSocket holder;
        holder.connectToHost(QHostAddress::LocalHost, server.ports().first());
        QVERIFY(holder.waitForConnected(5000));
        holder.waitForReadyRead(2000); // ser2net has taken the port once it greets
        for (const QString &busy : {port, net_port("socket", QStringLiteral("127.0.0.1"), server.ports().last())}) {
            o = run({QStringLiteral("flash"), QStringLiteral("--port"), busy, firmware});
            QCOMPARE(o.code, 1);
            QVERIFY2(o.err.contains(QLatin1String("already in use")), qPrintable(o.describe()));
        }
    }

    QProcess flash;
    flash.setProcessEnvironment(environment());
    flash.start(cli, {QStringLiteral("flash"), QStringLiteral("--port"), port, firmware});
    QVERIFY(sim.wait_for(QStringLiteral("rx write"), 30000));
    server.stop();
    o = finish(flash, 30000);
    QCOMPARE(o.code, 4);
    QVERIFY2(o.err.contains(QLatin1String("was lost")), qPrintable(o.describe()));
}

// A telnet port named socket:// is refused before the device hears a byte, with the
// scheme that works, near or far; and the two spellings of one server are one port, to
// --port and to a watch alike.
void NetLineTest::wrong_scheme()
{
    if (ser2net_process::program().isEmpty())
        QSKIP("ser2net is not installed (scripts/setup.sh installs it)");
    const QString firmware = dir.filePath(QStringLiteral("scheme.bin"));
    QVERIFY(!make_firmware(firmware, 3000).isEmpty());
    devsim_process sim;
    QVERIFY(sim.ok());
    ser2net_process server(sim.port(), {QStringLiteral("telnet(rfc2217),tcp")});
    QVERIFY(server.ok());
    const quint16 telnet_port = server.ports().first();
    const QString raw = net_port("socket", QStringLiteral("127.0.0.1"), telnet_port);
    const QString rfc2217 = net_port("rfc2217", QStringLiteral("127.0.0.1"), telnet_port);
    const cli_result o = run({QStringLiteral("flash"), QStringLiteral("--port"), raw, firmware});
    QCOMPARE(o.code, 1);
    QVERIFY2(o.err.contains(QStringLiteral("cannot use 127.0.0.1:%1: this server speaks telnet (RFC 2217): "
                                           "use %2").arg(telnet_port).arg(rfc2217)),
             qPrintable(o.describe()));
    QCOMPARE(sim.events(), QStringList{QStringLiteral("mode app")});

    const cli_result twice = run({QStringLiteral("flash"), QStringLiteral("--port"), rfc2217,
                                  QStringLiteral("--port"), raw.toUpper(), firmware});
    QCOMPARE(twice.code, 64);
    QVERIFY2(twice.err.contains(QLatin1String("are the same port")), qPrintable(twice.describe()));
    port_watch::pattern by_telnet, by_raw;
    QString why;
    QVERIFY(port_watch::parse(rfc2217, &by_telnet, &why) && port_watch::parse(raw, &by_raw, &why));
    QCOMPARE(port_watch::scan({by_telnet, by_raw}).size(), 1);
    QCOMPARE(sim.events(), QStringList{QStringLiteral("mode app")});

    far_telnet_server far;
    QVERIFY(far.port() != 0);
    net_address::address where;
    QVERIFY(net_address::parse(net_port("socket", QStringLiteral("127.0.0.1"), far.port()), &where, &why));
    net_line line(where, nullptr);
    QVERIFY(!line.open());
    QVERIFY2(line.errorString().endsWith(QStringLiteral("use rfc2217://127.0.0.1:%1").arg(far.port())),
             qPrintable(line.errorString()));
}

// A server whose connection requests are answered 0.2 to 0.6 s late, in a network of the
// test's own with its loopback slowed: each connect gets its time, and whole updates
// through ser2net complete, on RFC 2217 and raw TCP.
void NetLineTest::slow_connects()
{
    if (ser2net_process::program().isEmpty())
        QSKIP("ser2net is not installed (scripts/setup.sh installs it)");
    private_network network;
    if (!network.entered_ok())
        QSKIP("needs root for a network namespace of its own (unshare CLONE_NEWNET)");
    QVERIFY2(network.ok(), qPrintable(network.failure()));
    const bool slowed = network.slow_connects();
    // A kernel built without these queueing disciplines cannot slow the link at all.
    if (!slowed && network.failure().contains(QLatin1String("qdisc"), Qt::CaseInsensitive)
        && network.failure().contains(QLatin1String("unknown"), Qt::CaseInsensitive))
        QSKIP(qPrintable(QStringLiteral("the kernel cannot queue by htb and tbf: ") + network.failure()));
    QVERIFY2(slowed, qPrintable(network.failure()));
    const QString firmware = dir.filePath(QStringLiteral("slow.bin"));
    const QByteArray image = make_firmware(firmware, 3000);
    devsim_process sim;
    QVERIFY(sim.ok());
    ser2net_process server(sim.port(), {QStringLiteral("telnet(rfc2217),tcp"), QStringLiteral("tcp")});
    QVERIFY(server.ok());
    for (int i = 0; i < 3; ++i) {
        net_address::address where;
        QString why;
        QVERIFY(net_address::parse(net_port("socket", QStringLiteral("127.0.0.1"), server.ports().last()), &where, &why));
        net_line line(where, nullptr);
        QElapsedTimer clock;
        clock.start();
        QVERIFY2(line.open(), qPrintable(line.errorString()));
        qInfo("slow link: a raw line opened in %lld ms (its connect, then listening 50 ms and twice "
              "the connect's time)", clock.elapsed());
        line.close();
    }
    const QStringList ports = {net_port("rfc2217", QStringLiteral("127.0.0.1"), server.ports().first()),
                               net_port("socket", QStringLiteral("127.0.0.1"), server.ports().last())};
    for (const QString &port : ports) {
        const cli_result o = run({QStringLiteral("flash"), QStringLiteral("--port"), port, firmware});
        QVERIFY2(o.code == 0, qPrintable(o.describe()));
    }
    QCOMPARE(sim.count(QStringLiteral("image ok")), 2);
    QVERIFY(network.connects_held_back() > 0);
}

// A server that never answers the connection request: the connect gives up when its
// 3000 ms are over, in its documented words, and a stop ends it before that.
void NetLineTest::never_accepted()
{
    full_listener server;
    QVERIFY(server.port != 0);
    const QString port = net_port("socket", QStringLiteral("127.0.0.1"), server.port);
    const QString firmware = dir.filePath(QStringLiteral("never.bin"));
    QVERIFY(!make_firmware(firmware, 3000).isEmpty());
    const cli_result o = run({QStringLiteral("flash"), QStringLiteral("--port"), port, firmware});
    QCOMPARE(o.code, 1);
    QVERIFY2(o.err.contains(QStringLiteral("cannot use 127.0.0.1:%1: no answer to the connection request in 3000 ms")
                                .arg(server.port)),
             qPrintable(o.describe()));

    net_address::address where;
    QString why;
    QVERIFY(net_address::parse(port, &where, &why));
    net_line line(where, nullptr);
    std::atomic<bool> stop{false};
    line.set_stop_flag(&stop);
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop.store(true);
    });
    QVERIFY(!line.open());
    stopper.join();
    QVERIFY2(line.errorString().endsWith(QLatin1String("stopped while connecting")), qPrintable(line.errorString()));
}

QTEST_GUILESS_MAIN(NetLineTest)
#include "test_netline.moc"
