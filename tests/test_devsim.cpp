// The simulated device as a real process, spoken to over its pseudo-terminal.
#include "devsim_harness.h"
#include "frame.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

QByteArray hex(const char *text) { return QByteArray::fromHex(text); }

// The simulator run to its end, for what it says about its options.
struct ran
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

ran run(const QStringList &args)
{
    QProcess proc;
    proc.start(QStringLiteral(KORVANE_BIN_DIR "/korvane-devsim"), args);
    ran r;
    if (!proc.waitForFinished(5000))
        return r;
    r.code = proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -1;
    r.out = proc.readAllStandardOutput();
    r.err = proc.readAllStandardError();
    return r;
}

void send(QSerialPort &port, const QByteArray &bytes)
{
    port.write(bytes);
    port.waitForBytesWritten(1000); // the port writes from its event loop otherwise
}

// Writes the requests one after another and collects `expected` bytes of replies (or
// what came within the limit). The device answers in order, so a reply to a request that
// should get none would show up in front of the later ones.
QByteArray exchange(QSerialPort &port, const QList<QByteArray> &requests, int expected)
{
    for (const QByteArray &r : requests)
        send(port, r);
    QByteArray got;
    QDeadlineTimer limit(3000);
    while (got.size() < expected && !limit.hasExpired()) {
        port.waitForReadyRead(50);
        got += port.readAll();
    }
    return got;
}

bool open(QSerialPort &port, const QString &path)
{
    port.setPortName(path);
    port.setBaudRate(115200);
    if (port.open(QIODevice::ReadWrite))
        return true;
    qWarning("cannot open %s: %s", qPrintable(path), qPrintable(port.errorString()));
    return false;
}

QByteArray block(quint32 address, const QByteArray &data)
{
    return frame::write_request(address, data.constData(), data.size());
}

const QByteArray handshake_reply = hex("AA09015555555502 08");
const QByteArray info_reply_8000 = hex("AA0904 00008000 0137");

} // namespace

class DevsimTest : public QObject
{
    Q_OBJECT

private slots:
    void application_mode();
    void restart_needs_the_values_in_order();
    void bootloader_replies_byte_for_byte();
    void rejected_requests();
    void framing();
    void image_check_data();
    void image_check();
    void save_at_exit_and_link();
    void faults_data();
    void faults();
    void line_goes_away_data();
    void line_goes_away();
    void top_of_the_address_space();
    void paced_line();
    void fast_paced_line();
    void bad_options_data();
    void bad_options();
    void help_and_version();

private:
    QTemporaryDir dir;
};

void DevsimTest::application_mode()
{
    devsim_process s;
    QSerialPort port;
    QVERIFY(open(port, s.port()));
    QVERIFY(s.wait_for("mode app"));

    const QByteArray write = modbus::write_register_request(1, 5, 0x1234);
    QCOMPARE(exchange(port, {write}, 8), write);
    QVERIFY(s.wait_for("modbus 0x01 0x0005 0x1234 ok"));

    // A bad CRC, another device, and a bootloader frame get no reply; the next good
    // request's echo is all that comes back.
    QByteArray bad = modbus::write_register_request(1, 9, 0x4D2E);
    bad[7] = char(bad[7] ^ 1);
    send(port, bad);
    QVERIFY(s.wait_for("modbus 0x01 0x0009 0x4d2e ignored"));
    send(port, frame::handshake_request());
    QVERIFY(s.wait_for("modbus 0xaa - - ignored"));
    const QByteArray other = modbus::write_register_request(2, 5, 1);
    QCOMPARE(exchange(port, {other, write}, 8), write);
    QCOMPARE(s.count("modbus 0x02 0x0005 0x0001 ignored"), 1);

    // The restart request of the tool, then the bootloader answers.
    const QByteArray first = modbus::write_register_request(1, 9, 0x4D2E);
    const QByteArray second = modbus::write_register_request(1, 9, 0x6E3B);
    QCOMPARE(exchange(port, {first, second}, 16), first + second);
    QVERIFY(s.wait_for("mode boot"));
    QCOMPARE(exchange(port, {frame::handshake_request()}, 9), handshake_reply);
    QCOMPARE(s.count("rx handshake"), 1);
}

// Other settings; a wrong value starts the sequence again, other registers do not count.
void DevsimTest::restart_needs_the_values_in_order()
{
    devsim_process s({"--slave-id", "7", "--register", "0x20", "--restart", "1,2,3"});
    QSerialPort port;
    QVERIFY(open(port, s.port()));
    QList<QByteArray> requests;
    for (int v : {1, 2, 5, 1, 2})
        requests << modbus::write_register_request(7, 0x20, v);
    requests << modbus::write_register_request(7, 0x21, 3);
    QCOMPARE(exchange(port, requests, 48), requests.join());
    QVERIFY(s.wait_for("modbus 0x07 0x0021 0x0003 ok"));
    QVERIFY(!s.events().contains("mode boot"));

    const QByteArray last = modbus::write_register_request(7, 0x20, 3);
    QCOMPARE(exchange(port, {last}, 8), last);
    QVERIFY(s.wait_for("mode boot"));
}

void DevsimTest::bootloader_replies_byte_for_byte()
{
    devsim_process s({"--mode", "boot"});
    QSerialPort port;
    QVERIFY(open(port, s.port()));
    QCOMPARE(exchange(port, {hex("AA0901AAAAAAAA035C")}, 9), handshake_reply);
    QCOMPARE(exchange(port, {hex("AA050400B3")}, 9), info_reply_8000);
    QCOMPARE(exchange(port, {hex("AA0D05 00008000 00008400 01C0")}, 5), hex("AA050500B4"));
    QCOMPARE(exchange(port, {hex("AA0E06 00008000 04 01020304 014C")}, 5), hex("AA050600B5"));
    // The image fails the device's own check: it will not start it.
    QCOMPARE(exchange(port, {hex("AA0902 00008000 0135")}, 5), hex("AA0582 0131"));
    QCOMPARE(s.events().mid(1, 7),
             (QStringList{"rx handshake", "rx info", "rx erase 0x00008000 0x00008400",
                          "rx write 0x00008000 4", "rx start 0x00008000",
                          "image bad stamp=- expected=1020 sum=0xFFFFFFFF expected=0x0003F412",
                          "tx error start"}));

    // The base address the device reports is its own.
    devsim_process other({"--mode", "boot", "--base", "0x20000"});
    QSerialPort port2;
    QVERIFY(open(port2, other.port()));
    QCOMPARE(exchange(port2, {frame::info_request()}, 9), hex("AA0904 00020000 00B9"));
}

// Each request gets the error reply, and the device's state is as if it never came.
void DevsimTest::rejected_requests()
{
    devsim_process s({"--mode", "boot", "--base", "0x8000", "--flash-size", "0x800"});
    QSerialPort port;
    QVERIFY(open(port, s.port()));
    const QByteArray write_error = hex("AA0586 0135");
    const QByteArray erase_error = hex("AA0585 0134");
    const QByteArray ok_write = hex("AA050600B5");
    const QByteArray two(2, 'x');

    QCOMPARE(exchange(port, {block(0x8000, two)}, 5), write_error); // nothing erased yet
    QCOMPARE(exchange(port, {frame::erase_request(0x8000, 0x8801)}, 5), erase_error);
    QCOMPARE(exchange(port, {frame::erase_request(0x7FFF, 0x8010)}, 5), erase_error);
    QCOMPARE(exchange(port, {frame::erase_request(0x8010, 0x800F)}, 5), erase_error);
    QCOMPARE(exchange(port, {frame::erase_request(0x8100, 0x8200)}, 5), hex("AA050500B4"));
    QCOMPARE(exchange(port, {frame::erase_request(0x8000, 0x9000)}, 5), erase_error);
    // The range that counts is still the last one erased, end excluded.
    QCOMPARE(exchange(port, {block(0x80FF, two)}, 5), write_error);
    QCOMPARE(exchange(port, {block(0x81FF, two)}, 5), write_error);
    QCOMPARE(exchange(port, {block(0x81FE, two)}, 5), ok_write);
    QCOMPARE(exchange(port, {block(0x8100, two)}, 5), ok_write);
    QByteArray lying = block(0x8100, QByteArray(3, 'x'));
    lying[7] = 4; // says four data bytes, carries three
    lying = frame::build(frame::cmd_write, lying.mid(3, lying.size() - 5));
    QCOMPARE(exchange(port, {lying}, 5), write_error);
    QCOMPARE(exchange(port, {frame::build(frame::cmd_info, "x")}, 5), hex("AA0584 0133"));
    QCOMPARE(exchange(port, {frame::build(0x07, {})}, 5), hex("AA0587 0136"));
    QVERIFY(s.wait_for("rx unknown 0x07"));
    QCOMPARE(s.count("tx error erase"), 4);
    QCOMPARE(s.count("tx error write"), 4);
    QCOMPARE(s.count("tx error unknown"), 1);
}

void DevsimTest::framing()
{
    devsim_process s({"--mode", "boot"});
    QSerialPort port;
    QVERIFY(open(port, s.port()));
    const QByteArray hs = frame::handshake_request();
    // Noise in front, an AA whose length no frame can have, a frame with a bad sum.
    QByteArray bad_sum = hs;
    bad_sum[8] = char(bad_sum[8] + 1);
    QCOMPARE(exchange(port, {hex("0011FF"), hex("AA03"), bad_sum, hs}, 9), handshake_reply);
    QCOMPARE(s.count("rx handshake"), 1);

    // A frame cut short is dropped after a quiet spell, so it cannot swallow the next one.
    send(port, hs.left(4));
    QTest::qWait(250);
    QCOMPARE(exchange(port, {hs}, 9), handshake_reply);

    // A start before any erase has nothing to start: no reply.
    QCOMPARE(exchange(port, {frame::start_request(0x8000), frame::info_request()}, 9), info_reply_8000);
    QVERIFY(s.events().contains("image none"));
    QCOMPARE(s.count("rx "), 4);
}

void DevsimTest::image_check_data()
{
    QTest::addColumn<int>("change"); // 0 none, 1 the stamp (with the sum fixed), 2 the sum
    QTest::newRow("good") << 0;
    QTest::newRow("stamp") << 1;
    QTest::newRow("sum") << 2;
}

// The image is written block by block, checked at start, and saved as the device holds it;
// only a good one is started, a bad one gets the error reply.
void DevsimTest::image_check()
{
    QFETCH(int, change);
    QByteArray img = image::derive(QByteArray(1100, 'k'));
    const int n = img.size() - 4;
    if (change == 1) {
        img[1024] = char(img[1024] + 4);
        const quint32 sum = image::sum32(img.constData(), n);
        for (int i = 0; i < 4; ++i)
            img[n + i] = char(sum >> (8 * i));
    } else if (change == 2) {
        img[n] = char(img[n] + 1);
    }
    const quint32 sum = image::sum32(img.constData(), n);
    const QString event = change == 0
        ? QString::asprintf("image ok length=1100 sum=0x%08X", sum)
        : QString::asprintf("image bad stamp=%u expected=1100 sum=0x%08X expected=0x%08X",
                            image::read_le32(img, 1024), image::read_le32(img, n), sum);

    const QString saved = dir.filePath(QStringLiteral("image-%1.bin").arg(change));
    devsim_process s({"--mode", "boot", "--save", saved});
    QSerialPort port;
    QVERIFY(open(port, s.port()));
    QCOMPARE(exchange(port, {frame::erase_request(0x8000, 0x8000 + quint32(img.size()))}, 5), hex("AA050500B4"));
    QList<QByteArray> blocks;
    for (int at = 0; at < img.size(); at += frame::block_size)
        blocks << block(0x8000 + quint32(at), img.mid(at, frame::block_size));
    QCOMPARE(exchange(port, blocks, 5 * blocks.size()), hex("AA050600B5").repeated(blocks.size()));
    QCOMPARE(exchange(port, {frame::start_request(0x8000)}, 5),
             change == 0 ? hex("AA050200B1") : hex("AA0582 0131"));
    QVERIFY(s.wait_for("saved"));
    const QStringList events = s.events();
    QCOMPARE(events.filter("image").value(0), event);
    QCOMPARE(events.filter("saved").value(0), QStringLiteral("saved %1 bytes=%2").arg(saved).arg(img.size()));
    QCOMPARE(s.count("tx error start"), change == 0 ? 0 : 1);
    QFile file(saved);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), img);
    QCOMPARE(s.stop(), 0);
    QCOMPARE(s.count("saved"), 1); // nothing written since
}

// Written but never started: saved at exit, erased bytes as 0xFF. The link goes with it.
void DevsimTest::save_at_exit_and_link()
{
    const QString saved = dir.filePath("exit.bin");
    const QString link = dir.filePath("ttyDEVSIM");
    QFile::link("/nonexistent", link); // replaced
    devsim_process s({"--mode", "boot", "--save", saved, "--link", link});
    QVERIFY(s.slave().startsWith("/dev/"));
    QCOMPARE(QFileInfo(link).symLinkTarget(), s.slave());
    QSerialPort port;
    QVERIFY(open(port, link));
    QCOMPARE(exchange(port, {frame::erase_request(0x8000, 0x8008), block(0x8002, hex("0102"))}, 10),
             hex("AA050500B4 AA050600B5"));
    QCOMPARE(s.stop(SIGINT), 0);
    QVERIFY(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink());
    QFile file(saved);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), hex("FFFF0102FFFFFFFF"));
    QCOMPARE(s.events().last(), QStringLiteral("saved %1 bytes=8").arg(saved));
}

void DevsimTest::faults_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QList<QByteArray>>("requests");
    QTest::addColumn<QByteArray>("replies"); // everything that comes back, in order
    QTest::addColumn<QString>("fault");      // the fault event ...
    QTest::addColumn<int>("times");          // ... printed this often
    const QByteArray info = frame::info_request();
    const QByteArray ok = info_reply_8000;
    const QList<QByteArray> twice{info, info};
    const auto boot = [](const char *fault) { return QStringList{"--mode", "boot", "--fault", fault}; };

    const QByteArray hs = frame::handshake_request();
    QTest::newRow("none") << boot("info:none") << twice << ok << "fault none info" << 1;
    QTest::newRow("lost") << boot("info:lost") << twice << ok << "fault lost info" << 1;
    QTest::newRow("corrupt") << boot("info:corrupt") << twice << hex("AA0904000080000138") + ok << "fault corrupt info" << 1;
    QTest::newRow("error") << boot("info:error") << twice << hex("AA0584 0133") + ok << "fault error info" << 1;
    QTest::newRow("stray") << boot("info:stray") << twice << hex("00") + ok + ok << "fault stray info" << 1;
    QTest::newRow("extra") << boot("info:extra") << twice << ok + hex("00") + ok << "fault extra info" << 1;
    QTest::newRow("delay") << boot("info:delay:0:1:30") << twice << ok + ok << "fault delay info 30" << 1;
    QTest::newRow("split") << boot("info:split:0:1:30") << twice << ok + ok << "fault split info 30" << 1;
    // A late reply does not hold the device up: the request after it is answered first.
    QTest::newRow("late") << boot("info:late:0:1:200") << QList<QByteArray>{info, hs}
                          << handshake_reply + ok << "fault late info 200" << 1;
    // The info reply is ready while the late one is still crossing: it waits its turn.
    QTest::newRow("late, paced") << QStringList{"--mode", "boot", "--baud", "9600", "--fault", "handshake:late:0:1:0"}
                                 << QList<QByteArray>{hs, info} << handshake_reply + ok << "fault late handshake 0" << 1;
    QTest::newRow("twice") << boot("info:twice") << QList<QByteArray>{info, hs}
                           << ok + ok + handshake_reply << "fault twice info 0" << 1;
    QTest::newRow("twice, the copy late") << boot("info:twice:0:1:200") << QList<QByteArray>{info, hs}
                                          << ok + handshake_reply + ok << "fault twice info 200" << 1;
    QTest::newRow("twice, behind a 16 ms adapter") << QStringList{"--mode", "boot", "--baud", "115200", "--latency", "16", "--fault", "info:twice"}
                                                   << QList<QByteArray>{info, hs} << ok + ok + handshake_reply << "fault twice info 0" << 1;
    QTest::newRow("loopback") << boot("info:loopback") << twice << info + ok << "fault loopback info" << 1;
    // The line's echo goes ahead of the reply.
    QTest::newRow("echo") << boot("info:echo") << twice << info + ok + ok << "fault echo info" << 1;
    QTest::newRow("echo, the whole line") << QStringList{"--mode", "boot", "--echo"} << QList<QByteArray>{info, hs}
                                          << info + ok + hs + handshake_reply << "fault echo" << 0;
    // Gone: nothing more is carried out, every request comes back as it was.
    QTest::newRow("gone") << boot("info:gone:1") << QList<QByteArray>{info, info, hs} << ok + info + hs
                          << "fault gone info" << 1;
    QTest::newRow("wrongstart") << boot("info:wrongstart") << twice << hex("AB0904000080000138") + ok << "fault wrongstart info" << 1;
    QTest::newRow("wrongcmd") << boot("info:wrongcmd") << twice << hex("AA0905000080000138") + ok << "fault wrongcmd info" << 1;
    QTest::newRow("short") << boot("handshake:short") << QList<QByteArray>{hs, info}
                           << hex("AA050100B0") + ok << "fault short handshake" << 1;
    QTest::newRow("skip 1, count 2") << boot("info:none:1:2") << QList<QByteArray>{info, info, info, info}
                                     << ok + ok << "fault none info" << 2;
    QTest::newRow("any, the second request") << boot("any:error:1") << QList<QByteArray>{hs, info}
                                             << handshake_reply + hex("AA0584 0133") << "fault error info" << 1;
    // A refused erase is not carried out, so the write after it has no erased range.
    QTest::newRow("erase refused") << boot("erase:error") << QList<QByteArray>{frame::erase_request(0x8000, 0x8010), block(0x8000, "ab")}
                                   << hex("AA0585 0134 AA0586 0135") << "fault error erase" << 1;

    const QByteArray echo = modbus::write_register_request(1, 5, 0x1234);
    QByteArray corrupt_echo = echo;
    corrupt_echo[7] = char(corrupt_echo[7] + 1);
    QByteArray exception = hex("0186 04");
    exception += modbus::crc(exception);
    QTest::newRow("modbus corrupt") << QStringList{"--fault", "modbus:corrupt"} << QList<QByteArray>{echo, echo}
                                    << corrupt_echo + echo << "fault corrupt modbus" << 1;
    QTest::newRow("modbus error") << QStringList{"--fault", "modbus:error"} << QList<QByteArray>{echo, echo}
                                  << exception + echo << "fault error modbus" << 1;
}

void DevsimTest::faults()
{
    QFETCH(QStringList, args);
    QFETCH(QList<QByteArray>, requests);
    QFETCH(QByteArray, replies);
    QFETCH(QString, fault);
    QFETCH(int, times);
    devsim_process s(args);
    QSerialPort port;
    QVERIFY(open(port, s.port()));
    QCOMPARE(exchange(port, requests, replies.size()).toHex(' '), replies.toHex(' '));
    QCOMPARE(s.count("rx ") + s.count("modbus"), requests.size());
    QCOMPARE(s.count("fault "), times);
    QCOMPARE(s.count(fault), times);
}

void DevsimTest::line_goes_away_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("third_reply"); // to a third write, before the line goes
    QTest::addColumn<QStringList>("last_events"); // then the saved line
    QTest::addColumn<QByteArray>("held");
    QTest::newRow("hangup at the second write")
        << QStringList{"--fault", "write:hangup:1"} << QByteArray()
        << QStringList{"fault hangup write", "hangup"} << QByteArray("ab\xFF\xFF", 4);
    QTest::newRow("unplugged after a while")
        << QStringList{"--unplug-after", "700"} << hex("AA050600B5")
        << QStringList{"rx write 0x00008002 2", "unplugged"} << QByteArray("abcd");
}

// The line goes away: the tool sees its port fail, the link goes (and nothing else is left
// where a production station watches for links), and the simulator exits cleanly, keeping
// what was written.
void DevsimTest::line_goes_away()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, third_reply);
    QFETCH(QStringList, last_events);
    QFETCH(QByteArray, held);
    QTemporaryDir watched;
    const QString link = watched.filePath("ttySIM0");
    const QString saved = dir.filePath(QStringLiteral("gone-%1.bin").arg(third_reply.size()));
    const auto entries = [&] {
        return QDir(watched.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    };
    devsim_process s(QStringList{"--mode", "boot", "--save", saved, "--link", link} + args);
    QCOMPARE(entries(), QStringList{"ttySIM0"});
    QSerialPort port;
    QVERIFY(open(port, s.port()));
    QCOMPARE(exchange(port, {frame::erase_request(0x8000, 0x8004), block(0x8000, "ab")}, 10),
             hex("AA050500B4 AA050600B5"));
    QCOMPARE(exchange(port, {block(0x8002, "cd")}, third_reply.size()), third_reply);
    QCOMPARE(s.finished(), 0);
    QVERIFY(!port.waitForReadyRead(500) || port.readAll().isEmpty());
    // Read error or resource error: what an unplugged adapter gives, depending on timing.
    QVERIFY2(port.error() == QSerialPort::ReadError || port.error() == QSerialPort::ResourceError,
             qPrintable(port.errorString()));
    const QStringList events = s.events();
    QCOMPARE(events.mid(events.size() - last_events.size() - 1),
             last_events + QStringList{QStringLiteral("saved %1 bytes=4").arg(saved)});
    QCOMPARE(entries(), QStringList());
    QFile file(saved);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), held);
}

// A base near the top of the 32-bit space, with the default flash size and one that would
// run past 2^32: the flash ends there. A range that wraps, or a block that reaches past
// the erased range at the very top, is refused.
void DevsimTest::top_of_the_address_space()
{
    for (const QStringList &size : {QStringList(), QStringList{"--flash-size", "5004"}}) {
        devsim_process s(QStringList{"--mode", "boot", "--base", "0xFFFFF000"} + size);
        QSerialPort port;
        QVERIFY(open(port, s.port()));
        QCOMPARE(exchange(port, {frame::info_request()}, 9), hex("AA0904 FFFFF000 03A5"));
        const quint32 wrapped = 0xFFFFF000u + 5004u;
        QCOMPARE(exchange(port, {frame::erase_request(0xFFFFF000, wrapped)}, 5), hex("AA0585 0134"));
        QCOMPARE(exchange(port, {frame::erase_request(0xFFFFF000, 0xFFFFFFFF)}, 5), hex("AA050500B4"));
        QCOMPARE(exchange(port, {block(0xFFFFFFFE, "ab")}, 5), hex("AA0586 0135"));
        QCOMPARE(exchange(port, {block(0xFFFFFFFD, "ab")}, 5), hex("AA050600B5"));
    }
}

// At 600 baud a 9-byte reply takes 150 ms to cross, byte by byte: it arrives in pieces.
// Behind an adapter whose latency timer outlasts a byte, it arrives in one.
void DevsimTest::paced_line()
{
    for (const bool adapter : {false, true}) {
        devsim_process s(QStringList{"--mode", "boot", "--baud", "600"}
              + (adapter ? QStringList{"--latency", "50"} : QStringList()));
        QSerialPort port;
        QVERIFY(open(port, s.port()));
        send(port, frame::handshake_request());
        QByteArray got;
        int reads = 0;
        QDeadlineTimer limit(5000);
        while (got.size() < 9 && !limit.hasExpired()) {
            if (port.waitForReadyRead(100)) {
                got += port.readAll();
                ++reads;
            }
        }
        QCOMPARE(got, handshake_reply);
        QVERIFY2(adapter ? reads == 1 : reads >= 2, qPrintable(QString::number(reads)));
        QCOMPARE(exchange(port, {block(0x8000, "x")}, 5), hex("AA0586 0135"));
    }
}

// At high speeds reply bytes go out in chunks of several; replies whose length is no
// multiple of a chunk, split ones, and one that waits for the reply before it all arrive
// whole and in order.
void DevsimTest::fast_paced_line()
{
    devsim_process s({"--mode", "boot", "--baud", "921600", "--fault", "info:split:0:1:2"});
    QSerialPort port;
    QVERIFY(open(port, s.port()));
    QCOMPARE(exchange(port, {frame::handshake_request(), frame::info_request()}, 18),
             handshake_reply + info_reply_8000);
    QCOMPARE(exchange(port, {frame::erase_request(0x8000, 0x8004), block(0x8000, "abcd")}, 10),
             hex("AA050500B4 AA050600B5"));
    QCOMPARE(s.events().mid(1, 5), (QStringList{"rx handshake", "rx info", "fault split info 2",
                                                "rx erase 0x00008000 0x00008004",
                                                "rx write 0x00008000 4"}));
}

void DevsimTest::bad_options_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("mode") << QStringList{"--mode", "bootloader"};
    QTest::newRow("base") << QStringList{"--base", "0x8000z"};
    QTest::newRow("base past 4 GiB") << QStringList{"--base", "0x100000000"};
    QTest::newRow("empty flash") << QStringList{"--flash-size", "0"};
    QTest::newRow("slave id") << QStringList{"--slave-id", "256"};
    QTest::newRow("restart value") << QStringList{"--restart", "0x4D2E,0x10000"};
    QTest::newRow("fault command") << QStringList{"--fault", "erasing:none"};
    QTest::newRow("fault kind") << QStringList{"--fault", "erase:later"};
    QTest::newRow("fault count") << QStringList{"--fault", "erase:none:x"};
    QTest::newRow("fault time") << QStringList{"--fault", "erase:late:0:1:1s"};
    QTest::newRow("latency") << QStringList{"--latency", "16ms"};
    QTest::newRow("unplug time") << QStringList{"--unplug-after", "-1"};
    QTest::newRow("unknown option") << QStringList{"--speed", "9600"};
}

void DevsimTest::bad_options()
{
    QFETCH(QStringList, args);
    const ran r = run(args);
    QCOMPARE(r.code, 2);
    QVERIFY(r.out.isEmpty());
    QVERIFY(r.err.startsWith("korvane-devsim: "));
}

// --version and -V for scripts and packages; --help names the program, not the path it was started
// by, so that it makes a manual page.
void DevsimTest::help_and_version()
{
    for (const char *option : {"--version", "-V"}) {
        const ran v = run({option});
        QCOMPARE(v.code, 0);
        QVERIFY2(QRegularExpression("^korvane-devsim \\d+(\\.\\d+)+\n$").match(QString::fromUtf8(v.out)).hasMatch(), v.out.constData());
    }
    ran r = run({"-v"}); // -v is no version in any korvane program
    QCOMPARE(r.code, 2);
    r = run({"--help"});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.startsWith("Usage: korvane-devsim [options]\n"), r.out.constData());
    QVERIFY(r.out.contains("--latency <MS>") && r.out.contains("--unplug-after <MS>"));
}

QTEST_GUILESS_MAIN(DevsimTest)
#include "test_devsim.moc"
