// The pieces of korvane-cli that need no device: picking a port by its USB ids, the
// verdict on each device and on the whole command, the wire trace, and fitting lines to a
// terminal.
#include "console.h"
#include "frame.h"
#include "job.h"
#include "port_lookup.h"
#include "port_watch.h"
#include "shift_log.h"
#include "turnaround_log.h"
#include "wire_watch.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <QRegularExpression>
#include <QtTest>

using port_lookup::entry;

namespace {

entry usb_port(const QString &name, quint16 vid, quint16 pid, const QString &serial)
{
    entry e;
    e.name = name;
    e.location = QStringLiteral("/dev/") + name;
    e.has_ids = true;
    e.vid = vid;
    e.pid = pid;
    e.serial = serial;
    e.description = QStringLiteral("USB serial");
    return e;
}

entry plain_port(const QString &name)
{
    entry e;
    e.name = name;
    e.location = QStringLiteral("/dev/") + name;
    return e;
}

std::unique_ptr<flash_job> job_with(const QVector<int> &results, bool stop_seen = false)
{
    auto job = std::make_unique<flash_job>();
    job->port = QStringLiteral("/dev/ttyX");
    job->results = results;
    job->step = job->result_step = QStringLiteral("正在更新固件......");
    job->stop_seen = stop_seen;
    return job;
}

} // namespace

class CliPartsTest : public QObject
{
    Q_OBJECT

private slots:
    void usb_names_data();
    void usb_names();
    void usb_resolution();

    void verdict_per_device_data();
    void verdict_per_device();
    void verdict_of_the_command();

    void watch_trace_lines();

    void lines_fit_the_terminal();

    void watching_for_devices();
    void shift_log_lines();
};

void CliPartsTest::usb_names_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("vid");
    QTest::addColumn<int>("pid");
    QTest::addColumn<QString>("serial");
    QTest::newRow("ids") << "usb:0403:6001" << true << 0x0403 << 0x6001 << "";
    QTest::newRow("short ids, upper case prefix") << "USB:403:1" << true << 0x0403 << 1 << "";
    QTest::newRow("0x ids and serial") << "usb:0x10C4:0xea60:A50285BI" << true << 0x10C4 << 0xEA60
                                       << "A50285BI";
    QTest::newRow("serial with colons") << "usb:1a86:7523:ab:cd" << true << 0x1A86 << 0x7523 << "ab:cd";
    QTest::newRow("nothing") << "usb:" << false << 0 << 0 << "";
    QTest::newRow("vendor only") << "usb:0403" << false << 0 << 0 << "";
    QTest::newRow("empty product") << "usb:0403:" << false << 0 << 0 << "";
    QTest::newRow("not hex") << "usb:zz:6001" << false << 0 << 0 << "";
    QTest::newRow("five digits") << "usb:10403:6001" << false << 0 << 0 << "";
    QTest::newRow("sign") << "usb:-403:6001" << false << 0 << 0 << "";
    QTest::newRow("space") << "usb: 403:6001" << false << 0 << 0 << "";
    QTest::newRow("empty serial") << "usb:0403:6001:" << false << 0 << 0 << "";
}

void CliPartsTest::usb_names()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QVERIFY(port_lookup::is_usb(text));
    port_lookup::usb_ids ids;
    QString why;
    QCOMPARE(port_lookup::parse_usb(text, &ids, &why), ok);
    if (!ok) {
        QVERIFY2(why.contains(text), qPrintable(why));
        return;
    }
    QFETCH(int, vid);
    QFETCH(int, pid);
    QFETCH(QString, serial);
    QCOMPARE(int(ids.vid), vid);
    QCOMPARE(int(ids.pid), pid);
    QCOMPARE(ids.serial, serial);
}

// None, one and several matches, and what the operator is told in each case.
void CliPartsTest::usb_resolution()
{
    const QList<entry> ports = {
        plain_port(QStringLiteral("ttyS0")),
        usb_port(QStringLiteral("ttyUSB0"), 0x0403, 0x6001, QStringLiteral("A1")),
        usb_port(QStringLiteral("ttyUSB1"), 0x0403, 0x6001, QStringLiteral("B2")),
        usb_port(QStringLiteral("ttyUSB2"), 0x0403, 0x6011, QStringLiteral("Q9")),
        usb_port(QStringLiteral("ttyUSB3"), 0x0403, 0x6011, QStringLiteral("Q9")),
        usb_port(QStringLiteral("ttyACM0"), 0x2341, 0x0043, QString()),
    };
    const auto find = [&](const QString &text) {
        port_lookup::usb_ids ids;
        QString why;
        if (!port_lookup::parse_usb(text, &ids, &why))
            return QList<entry>();
        return port_lookup::matches(ids, ports);
    };

    QList<entry> found = find(QStringLiteral("usb:0403:6001:b2")); // serials match in any case
    QCOMPARE(found.size(), 1);
    QCOMPARE(found.constFirst().location, QStringLiteral("/dev/ttyUSB1"));
    QCOMPARE(find(QStringLiteral("usb:2341:43")).size(), 1);

    found = find(QStringLiteral("usb:0403:6001"));
    QCOMPARE(found.size(), 2);
    QString text = port_lookup::describe_resolution(QStringLiteral("usb:0403:6001"), found, ports);
    for (const char *part : {"matches 2 ports", "ttyUSB0 (serial A1)", "ttyUSB1 (serial B2)",
                             "usb:VID:PID:SERIAL"})
        QVERIFY2(text.contains(QLatin1String(part)), qPrintable(text));

    // One adapter with several ports: the serial number cannot help.
    found = find(QStringLiteral("usb:0403:6011:Q9"));
    QCOMPARE(found.size(), 2);
    text = port_lookup::describe_resolution(QStringLiteral("usb:0403:6011:Q9"), found, ports);
    QVERIFY2(text.contains(QLatin1String("give the port's name instead")), qPrintable(text));

    found = find(QStringLiteral("usb:0403:6001:C3"));
    QVERIFY(found.isEmpty());
    text = port_lookup::describe_resolution(QStringLiteral("usb:0403:6001:C3"), found, ports);
    QVERIFY2(text.startsWith(QLatin1String("no serial port matches usb:0403:6001:C3")), qPrintable(text));
    // What is there, written so that it can be pasted back.
    QVERIFY2(text.contains(QLatin1String("usb:0403:6001:A1 (ttyUSB0, USB serial)")), qPrintable(text));
    QVERIFY2(text.contains(QLatin1String("usb:2341:0043 (ttyACM0")), qPrintable(text));
    QVERIFY2(!text.contains(QLatin1String("ttyS0")), qPrintable(text));

    text = port_lookup::describe_resolution(QStringLiteral("usb:1:2"), {}, {plain_port(QStringLiteral("ttyS0"))});
    QVERIFY2(text.contains(QLatin1String("no USB serial port is present")), qPrintable(text));
}

void CliPartsTest::verdict_per_device_data()
{
    QTest::addColumn<QVector<int>>("results");
    QTest::addColumn<bool>("stopped");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("reason");
    const int ok = int(job_end::kind::ok), failed = int(job_end::kind::failed),
              interrupted = int(job_end::kind::interrupted), none = int(job_end::kind::no_result);
    QTest::newRow("success") << QVector<int>{0} << false << ok << 0 << "";
    QTest::newRow("port opened on a later try") << QVector<int>{-1, 0} << false << ok << 0 << "";
    QTest::newRow("port never opened, no further code") << QVector<int>{-1} << false << failed << 1
                                                         << "could not be opened";
    QTest::newRow("no answer after a port failure") << QVector<int>{-1, -4} << false << failed << 4
                                                    << "could not be opened at first";
    QTest::newRow("wrong answer") << QVector<int>{-3} << false << failed << 3 << "wrong answer";
    QTest::newRow("unknown code") << QVector<int>{-9} << false << failed << 70 << "unknown";
    QTest::newRow("no result") << QVector<int>{} << false << none << 70 << "";
    QTest::newRow("stopped") << QVector<int>{} << true << interrupted << 130 << "";
    QTest::newRow("stopped after a port failure") << QVector<int>{-1} << true << interrupted << 130 << "";
    QTest::newRow("ended before the stop took hold") << QVector<int>{0} << true << ok << 0 << "";
}

void CliPartsTest::verdict_per_device()
{
    QFETCH(QVector<int>, results);
    QFETCH(bool, stopped);
    QFETCH(int, kind);
    QFETCH(int, exit);
    QFETCH(QString, reason);
    const job_end end = conclude(*job_with(results, stopped));
    QCOMPARE(int(end.what), kind);
    QCOMPARE(end.exit, exit);
    QVERIFY2(end.reason.contains(reason), qPrintable(end.reason));
    QCOMPARE(end.after_stop, stopped && !results.isEmpty() && results.constLast() != -1);
}

// The command's status is the worst device's: an interrupt and an update that never said
// how it ended outrank the update's own codes, and success needs every device.
void CliPartsTest::verdict_of_the_command()
{
    const auto ends = [](const QVector<QVector<int>> &per_device, bool stopped = false) {
        QVector<job_end> out;
        for (const QVector<int> &results : per_device)
            out << conclude(*job_with(results, stopped));
        return overall_exit(out);
    };
    QCOMPARE(ends({{0}, {-1, 0}, {0}}), 0);
    QCOMPARE(ends({{0}, {-3}, {-1}}), 3);
    QCOMPARE(ends({{-4}, {-5}, {0}}), 5);
    QCOMPARE(ends({{-5}, {}}), 70);
    QCOMPARE(ends({{0}, {}, {-4}}, true), 130);

    const auto refused = job_with({});
    refused->refusal = QStringLiteral("serial port \"x\" is not present");
    const job_end end = conclude(*refused);
    QCOMPARE(end.exit, 1);
    QCOMPARE(end.code, -1);
    QCOMPARE(end.reason, refused->refusal);
    QCOMPARE(end.step, QStringLiteral("opening the serial port"));
}

// What the wire hooks make of the bytes the worker reports: the trace's lines and the
// benchmark's turnaround times.
void CliPartsTest::watch_trace_lines()
{
    QElapsedTimer clock;
    clock.start();
    QStringList lines;
    wire_watch watch(QStringLiteral("/dev/ttyUSB0"), clock,
                     [&](const QString &line) { lines << line; });
    const QByteArray info = frame::info_request();
    const QByteArray reply = QByteArray::fromHex("AA0904000080000137");
    watch(work::wire::sent, info);
    watch(work::wire::received, reply.left(4));
    watch(work::wire::received, reply.mid(4));
    watch(work::wire::sent, info);
    watch(work::wire::received, QByteArray(1, '\0') + reply); // a stray byte in front
    watch(work::wire::sent, info);
    watch(work::wire::discarded, reply);
    watch(work::wire::received, reply.left(3));
    watch.flush();

    const QStringList expected = {
        "tx AA 05 04 00 B3",
        "rx AA 09 04 00 00 80 00 01 37", // two pieces, one frame
        "tx AA 05 04 00 B3",
        "rx 00 AA 09 04 00 00 80 00 01 37 (not a frame)",
        "tx AA 05 04 00 B3",
        "rx AA 09 04 00 00 80 00 01 37 (discarded)",
        "rx AA 09 04 (not a frame)",
    };
    QCOMPARE(lines.size(), expected.size());
    const QRegularExpression shape(QStringLiteral("^ *(\\d+\\.\\d{3}) ms /dev/ttyUSB0 (.*)$"));
    double last = 0;
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch m = shape.match(lines.at(i));
        QVERIFY2(m.hasMatch(), qPrintable(lines.at(i)));
        QCOMPARE(m.captured(2), expected.at(i));
        QVERIFY(m.captured(1).toDouble() >= last);
        last = m.captured(1).toDouble();
    }

    // The benchmark's turnaround: a complete reply, then a block's request; nothing else.
    turnaround_log times;
    const QByteArray block = frame::write_request(0x8000, "firmware", 8);
    times(work::wire::sent, info);
    times(work::wire::received, reply.left(4));
    times(work::wire::sent, block); // the reply was not complete
    times(work::wire::received, reply);
    times(work::wire::sent, info); // no block
    times(work::wire::received, reply);
    times(work::wire::discarded, reply.left(1));
    times(work::wire::sent, block); // stale bytes in between
    times(work::wire::sent, block); // no reply in between
    times(work::wire::received, reply.left(4));
    times(work::wire::received, reply.mid(4));
    times(work::wire::sent, block);
    QCOMPARE(times.samples().size(), std::size_t(1));
    QVERIFY(times.samples().front() >= 0);
}

void CliPartsTest::lines_fit_the_terminal()
{
    const QString step = QStringLiteral("正在更新固件......");
    QCOMPARE(console::display_width(step), 6 * 2 + 6);
    QCOMPARE(console::fit(step, 40), step);
    // Never half a wide character, never past the edge.
    QCOMPARE(console::fit(step, 5), QStringLiteral("正在"));
    QCOMPARE(console::fit(QStringLiteral("ab正在"), 3), QStringLiteral("ab"));
    QCOMPARE(console::fit(QStringLiteral("ab正在"), 4), QStringLiteral("ab正"));
    QCOMPARE(console::human_bytes(1023), QStringLiteral("1023 B"));
    QCOMPARE(console::human_bytes(1536), QStringLiteral("1.5 KiB"));
    QCOMPARE(console::human_bytes(3 * 1024 * 1024), QStringLiteral("3.00 MiB"));
}

// Each device once while it stays; plugged in again, or another adapter on the same
// port, it is a new one. Globs find device nodes and links to them, not dangling links.
void CliPartsTest::watching_for_devices()
{
    using port_watch::device;
    port_watch::tracker t;
    const device a{"/dev/ttyUSB0", "A1"}, b{"/dev/ttyUSB1", ""}, other{"/dev/ttyUSB0", "B2"};
    auto appeared = [&](const QList<device> &now) { return t.update(now).appeared; };
    QCOMPARE(appeared({a}), QList<device>{a});
    QCOMPARE(appeared({a, b}), QList<device>{b});
    QCOMPARE(appeared({b, a}), QList<device>{});
    const port_watch::tracker::change c = t.update({b});
    QCOMPARE(c.gone, QList<device>{a});
    QCOMPARE(appeared({a, b}), QList<device>{a});
    QCOMPARE(appeared({other, b}), QList<device>{other});

    port_watch::pattern p;
    QString why;
    QVERIFY(port_watch::parse(QStringLiteral("usb:0403:6001"), &p, &why));
    QVERIFY(p.usb);
    QVERIFY(!port_watch::parse(QStringLiteral("usb:zz"), &p, &why));
    QVERIFY(!port_watch::parse(QStringLiteral("/dev/tty*/x"), &p, &why));
    QVERIFY(why.contains("last part"));

    QTemporaryDir dir;
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), dir.filePath("ttySIM1")));
    QVERIFY(QFile::link(dir.filePath("gone"), dir.filePath("ttySIM2")));
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), dir.filePath(".ttySIM3.devsim-1")));
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), dir.filePath("other")));
    QFile log(dir.filePath("ttySIM1.log"));
    QVERIFY(log.open(QIODevice::WriteOnly));
    QVERIFY(port_watch::parse(dir.filePath("ttySIM*"), &p, &why));
    QCOMPARE(port_watch::scan({p, p}), (QList<device>{device{dir.filePath("ttySIM1"), ""}}));
}

void CliPartsTest::shift_log_lines()
{
    QTemporaryDir dir;
    shift_log log;
    QString why;
    QVERIFY(log.open(dir.filePath("shift.jsonl"), &why));
    shift_record r;
    r.time = QDateTime(QDate(2026, 12, 7), QTime(8, 30), Qt::OffsetFromUTC, 8 * 3600);
    r.port = QStringLiteral("/dev/ttyUSB0");
    r.serial = QStringLiteral("A50285BI");
    r.firmware = QStringLiteral("固件 v2.bin");
    r.firmware_size = 5000;
    r.firmware_sha256 = QByteArray(32, '\x01');
    r.result = QStringLiteral("ok");
    r.has_code = true;
    r.duration_ms = 1234;
    r.bytes = 5004;
    QVERIFY(log.append(r, &why));
    r.serial.clear();
    r.has_code = false;
    r.result = QStringLiteral("interrupted");
    r.firmware_sha256.clear(); // a file that could not be read
    QVERIFY(log.append(r, &why));
    // Another run appends to what is there.
    shift_log again;
    QVERIFY(again.open(dir.filePath("shift.jsonl"), &why));
    QVERIFY(again.append(r, &why));

    QFile f(dir.filePath("shift.jsonl"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = f.readAll().split('\n');
    QCOMPARE(lines.size(), 4); // three records and the empty rest after the last newline
    const QJsonObject first = QJsonDocument::fromJson(lines.at(0)).object();
    QCOMPARE(first.value("time").toString(), QStringLiteral("2026-12-07T08:30:00.000+08:00"));
    QCOMPARE(first.value("serial").toString(), QStringLiteral("A50285BI"));
    QCOMPARE(first.value("firmware").toString(), QStringLiteral("固件 v2.bin"));
    QCOMPARE(first.value("firmware_sha256").toString(), QStringLiteral("01").repeated(32));
    QCOMPARE(first.value("code").toInt(-1), 0);
    QCOMPARE(first.value("bytes").toInt(), 5004);
    const QJsonObject second = QJsonDocument::fromJson(lines.at(1)).object();
    QVERIFY(second.value("serial").isNull());
    QVERIFY(second.value("code").isNull());
    QVERIFY(second.value("firmware_sha256").isNull());
    QCOMPARE(second.value("result").toString(), QStringLiteral("interrupted"));

    QVERIFY(!shift_log().open(dir.path(), &why)); // a folder
    QVERIFY(!why.isEmpty());
}

QTEST_GUILESS_MAIN(CliPartsTest)
#include "test_cli_parts.moc"
