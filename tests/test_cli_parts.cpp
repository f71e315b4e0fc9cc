// The pieces of korvane-cli that need no device: picking a port by its USB ids, the
// verdict on each device and on the whole command, the wire trace, and fitting lines to a
// terminal.
#include "console.h"
#include "frame.h"
#include "job.h"
#include "port_lookup.h"
#include "port_watch.h"
#include "shift_log.h"
#include "status_text.h"
#include "turnaround_log.h"
#include "wire_watch.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <QRegularExpression>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

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

shift_record a_record()
{
    shift_record r;
    r.time = QDateTime(QDate(2026, 12, 7), QTime(8, 30), Qt::OffsetFromUTC, 8 * 3600);
    r.port = QStringLiteral("/dev/ttyUSB0");
    r.serial = QStringLiteral("A50285BI");
    r.firmware = QStringLiteral("固件 v2.bin");
    r.firmware_size = 5000;
    r.firmware_sha256 = QByteArray(32, '\x01');
    r.result = QStringLiteral("ok");
    r.has_code = true;
    r.verified = true;
    r.duration_ms = 1234;
    r.bytes = 5004;
    return r;
}

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every line of a shift log must be a record of its own.
bool whole_records(const QByteArray &bytes, int expected)
{
    const QList<QByteArray> lines = bytes.split('\n');
    if (lines.size() != expected + 1 || !lines.constLast().isEmpty())
        return false;
    for (int i = 0; i < expected; ++i)
        if (!QJsonDocument::fromJson(lines.at(i)).isObject())
            return false;
    return true;
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
    void what_to_check();
    void verified_only_after_a_confirmed_start();

    void watch_trace_lines();

    void lines_fit_the_terminal();

    void watching_for_devices();
    void shift_log_lines();
    void shift_log_records_whole_or_not_at_all();
    void shift_log_torn_deleted_or_misplaced();
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

// A failure says what the operator can do about it: an unplugged device is told apart
// from a silent one, and a bootloader that never answered comes with what to check and
// with what the application's answer to the restart request showed. While it is looked
// for, a word every five seconds with the time left.
void CliPartsTest::what_to_check()
{
    const auto unplugged = job_with({-4});
    unplugged->port_gone = true;
    job_end end = conclude(*unplugged);
    QVERIFY(end.unplugged);
    QCOMPARE(end.exit, 4);
    QVERIFY2(end.reason.contains(QLatin1String("unplugged")), qPrintable(end.reason));
    QVERIFY(!conclude(*job_with({-4})).unplugged);
    const auto unusable = job_with({-5});
    unusable->port_gone = true;
    QVERIFY(!conclude(*unusable).unplugged); // the file failed, whatever became of the port

    const auto silent = job_with({-4});
    silent->step = silent->result_step = QString::fromUtf8(status_text::handshaking);
    silent->settings.baud_rate = 9600;
    silent->settings.product_descriptor = QString::fromLatin1(modbus::default_descriptor);
    const auto heard = [&](int requests, int replies) {
        silent->restart_requests = requests;
        silent->restart_replies = replies;
        return conclude(*silent).reason;
    };
    QString reason = heard(2, 1);
    for (const char *what : {"power and cable", "baud rate (9600)", "restart settings",
                             "--descriptor \"modbus,1,9,0x4D2E,0x6E3B\"", "Modbus address (1)",
                             "restart register (9)", "(0x4D2E, 0x6E3B)",
                             "the application answered the restart request"})
        QVERIFY2(reason.contains(QLatin1String(what)), qPrintable(reason));
    QVERIFY2(heard(2, 0).contains(QLatin1String("did not answer the restart request")), qPrintable(heard(2, 0)));
    QVERIFY2(heard(0, 0).contains(QLatin1String("no restart request was sent")), qPrintable(heard(0, 0)));
    QVERIFY(!conclude(*job_with({-4})).reason.contains(QLatin1String("power")));

    // Stopped once the bootloader had answered, the device waits in it for the next run.
    const auto stopped = job_with({}, true);
    const QString resume = QStringLiteral("the device is left in its bootloader, and running the same command "
                                          "again finishes the update");
    QCOMPARE(interrupted_text(conclude(*stopped)), QStringLiteral("interrupted while writing the firmware; ") + resume);
    stopped->step = QString::fromUtf8(status_text::handshaking);
    QCOMPARE(interrupted_text(conclude(*stopped)), QStringLiteral("interrupted while looking for the bootloader"));

    flash_job looking;
    looking.note_status(QString::fromUtf8(status_text::handshaking), 1000);
    QStringList told;
    for (qint64 now = 1000; now <= 13000; now += 100) {
        const QString text = looking.looking_notice(now);
        if (!text.isEmpty())
            told << text;
    }
    QCOMPARE(told, QStringList({"still looking for the bootloader: 5 s so far, 25 s left",
                                "still looking for the bootloader: 10 s so far, 20 s left"}));
    looking.note_status(QString::fromUtf8(status_text::syncing), 13000);
    QVERIFY(looking.looking_notice(30000).isEmpty());
    looking.note_status(QString::fromUtf8(status_text::handshaking), 30000); // counted afresh
    QCOMPARE(looking.looking_notice(35000), QStringLiteral("still looking for the bootloader: 5 s so far, 25 s left"));
}

// Only the device's acceptance of the start proves the image; anything else that ends
// with success says why it is not verified. A failure the worker explained is told in the
// worker's words, in the text, JSON and shift log alike.
void CliPartsTest::verified_only_after_a_confirmed_start()
{
    const auto job = job_with({0});
    job->settings.auto_start = true;
    job->start_confirmed = true;
    job_end end = conclude(*job);
    QVERIFY(end.verified && end.reason.isEmpty());
    QCOMPARE(result_word(end), QStringLiteral("ok"));
    shift_record r = record_of(*job, end, QStringLiteral("fw.bin"), 1, QByteArray());
    QCOMPARE(QJsonDocument::fromJson(shift_log::line(r)).object().value("verified"), QJsonValue(true));

    job->start_confirmed = false;
    job->accept_silent_start = true;
    end = conclude(*job);
    QVERIFY(!end.verified);
    QCOMPARE(end.exit, 0);
    QCOMPARE(result_word(end), QStringLiteral("ok, not verified"));
    QVERIFY2(end.reason.contains(QLatin1String("did not answer the start request, which --accept-silent-start accepts")),
             qPrintable(end.reason));
    job->settings.auto_start = false;
    end = conclude(*job);
    QVERIFY2(end.reason.contains(QLatin1String("the program was not started")), qPrintable(end.reason));
    r = record_of(*job, end, QStringLiteral("fw.bin"), 1, QByteArray());
    const QJsonObject unverified = QJsonDocument::fromJson(shift_log::line(r)).object();
    QCOMPARE(unverified.value("verified"), QJsonValue(false));
    QCOMPARE(unverified.value("result").toString(), QStringLiteral("ok"));
    QCOMPARE(unverified.value("reason").toString(), end.reason);

    const QString never_confirmed = QStringLiteral("the image was written but the device never confirmed it");
    const auto unanswered = job_with({-4});
    unanswered->result_step = QStringLiteral("正在启动程序......");
    QVERIFY2(conclude(*unanswered).reason.startsWith(never_confirmed), qPrintable(conclude(*unanswered).reason));
    for (const int code : {-4, -5}) {
        const auto failed = job_with({code});
        failed->start_confirmed = true; // a failure is never verified, whatever came before
        failed->failure_detail = never_confirmed;
        end = conclude(*failed);
        QVERIFY(!end.verified);
        QCOMPARE(end.reason, never_confirmed);
        QCOMPARE(end.exit, -code);
    }
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
    const device a{"/dev/ttyUSB0", "A1", ""}, b{"/dev/ttyUSB1", "", ""}, other{"/dev/ttyUSB0", "B2", ""};
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
    // A second name for the same device is the same device, found once.
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), dir.filePath("ttySIM9")));
    QVERIFY(port_watch::parse(dir.filePath("ttySIM*"), &p, &why));
    const QList<device> found = port_watch::scan({p, p});
    QCOMPARE(found.size(), 1);
    QCOMPARE(found.constFirst().location, dir.filePath("ttySIM1"));
    QCOMPARE(found.constFirst().port(), port_lookup::identity(QStringLiteral("/dev/null")));
    // Found by another name later, it is still the device first seen, by its first name.
    const device second{dir.filePath("ttySIM9"), "", found.constFirst().id};
    port_watch::tracker names;
    QCOMPARE(names.update(found).appeared, found);
    const port_watch::tracker::change renamed = names.update({second});
    QVERIFY(renamed.appeared.isEmpty() && renamed.gone.isEmpty());
    QCOMPARE(names.update({}).gone.constFirst().location, dir.filePath("ttySIM1"));
}

void CliPartsTest::shift_log_lines()
{
    QTemporaryDir dir;
    shift_log log;
    QString why;
    QVERIFY(log.open(dir.filePath("shift.jsonl"), &why));
    shift_record r = a_record();
    r.board_serial = QStringLiteral("SN-0001");
    QVERIFY(log.append(r, &why));
    r.serial.clear();
    r.board_serial.clear();
    r.reason = QStringLiteral("unplugged");
    r.has_code = false;
    r.verified = false;
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
    QCOMPARE(first.value("verified"), QJsonValue(true));
    QVERIFY(first.value("reason").isNull());
    QCOMPARE(first.value("bytes").toInt(), 5004);
    QCOMPARE(first.value("board_serial").toString(), QStringLiteral("SN-0001"));
    QVERIFY(first.value("reason").isNull());
    const QJsonObject second = QJsonDocument::fromJson(lines.at(1)).object();
    QVERIFY(second.value("serial").isNull());
    QVERIFY(second.value("code").isNull());
    QVERIFY(second.value("firmware_sha256").isNull());
    QCOMPARE(second.value("result").toString(), QStringLiteral("interrupted"));
    QVERIFY(second.value("board_serial").isNull());
    QCOMPARE(second.value("reason").toString(), QStringLiteral("unplugged"));

    QVERIFY(!shift_log().open(dir.path(), &why)); // a folder
    QVERIFY(!why.isEmpty());
}

// A record that cannot be written whole leaves nothing behind, or at least nothing the
// next record is glued to, and says why in the system's words. A FIFO that nobody reads
// is refused at once; a reader gone, or a file grown to the size limit, costs the record
// and not the process.
void CliPartsTest::shift_log_records_whole_or_not_at_all()
{
    // A file that cannot be cut back (a FIFO, a device), where the second record gets
    // half out.
    class half_then_whole : public shift_log::sink
    {
    public:
        explicit half_then_whole(QByteArray &bytes) : bytes(bytes) {}
        qint64 write(const QByteArray &b, QString *why) override
        {
            const qint64 n = ++calls == 2 ? b.size() / 2 : b.size();
            bytes += b.left(int(n));
            if (n < b.size())
                *why = QStringLiteral("No space left on device");
            return n;
        }
        bool take_back(qint64) override { return false; }

    private:
        QByteArray &bytes;
        int calls = 0;
    };
    QByteArray bytes;
    shift_log injected;
    injected.open(std::make_unique<half_then_whole>(bytes));
    QString why;
    QVERIFY(injected.append(a_record(), &why));
    QVERIFY(!injected.append(a_record(), &why));
    QVERIFY(injected.append(a_record(), &why));
    const QList<QByteArray> lines = bytes.split('\n');
    QCOMPARE(lines.size(), 4);
    QVERIFY(!QJsonDocument::fromJson(lines.at(1)).isObject()); // the half
    QVERIFY2(QJsonDocument::fromJson(lines.at(2)).isObject(), lines.at(2).constData());

#ifdef Q_OS_UNIX
    QTemporaryDir dir;
    const QString path = dir.filePath("shift.jsonl");
    shift_log log;
    QVERIFY(log.open(path, &why));
    QVERIFY(log.append(a_record(), &why));
    const qint64 one = QFileInfo(path).size();
    // The file may grow by half a record: the write stops there, as on a full disk.
    rlimit saved = {};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(one + one / 2);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    const bool written = log.append(a_record(), &why);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    QVERIFY(!written);
    QCOMPARE(why, QString::fromLocal8Bit(std::strerror(EFBIG)));
    QCOMPARE(QFileInfo(path).size(), one);
    QVERIFY(log.append(a_record(), &why));
    QVERIFY(whole_records(contents(path), 2));

    if (QFileInfo::exists(QStringLiteral("/dev/full"))) { // a character device, written as it is
        shift_log full;
        QVERIFY2(full.open(QStringLiteral("/dev/full"), &why), qPrintable(why));
        QVERIFY(!full.append(a_record(), &why));
        QCOMPARE(why, QString::fromLocal8Bit(std::strerror(ENOSPC)));
    }

    const QString fifo = dir.filePath("shift.fifo");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY(!shift_log().open(fifo, &why));
    QVERIFY2(why.contains(QLatin1String("a FIFO that no process is reading")), qPrintable(why));
    const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(reader >= 0);
    shift_log piped;
    QVERIFY2(piped.open(fifo, &why), qPrintable(why));
    QVERIFY(piped.append(a_record(), &why));
    char got[4096];
    const ssize_t n = ::read(reader, got, sizeof got);
    QVERIFY(whole_records(QByteArray(got, int(qMax<ssize_t>(n, 0))), 1));
#ifdef F_SETPIPE_SZ
    // A reader that takes nothing: once the pipe is full the record is given up, not
    // waited on for ever.
    QVERIFY(::fcntl(reader, F_SETPIPE_SZ, 4096) > 0);
    int records = 0;
    while (records < 100 && piped.append(a_record(), &why))
        ++records;
    QVERIFY2(records < 100 && why.contains(QLatin1String("nothing could be written to it")), qPrintable(why));
#endif
    ::close(reader);
    QVERIFY(!piped.append(a_record(), &why));
    QCOMPARE(why, QString::fromLocal8Bit(std::strerror(EPIPE)));

    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray socket_path = QFile::encodeName(dir.filePath("shift.socket"));
    std::strncpy(address.sun_path, socket_path.constData(), sizeof address.sun_path - 1);
    QCOMPARE(::bind(s, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    QVERIFY(!shift_log().open(dir.filePath("shift.socket"), &why));
    QVERIFY2(why.contains(QLatin1String("a socket")), qPrintable(why));
    ::close(s);
#endif
}

// A log whose last line a crash cut short: the next record starts on a line of its own.
// One deleted during the shift is made again at its path for this writer and another, and
// the records that went with it are counted; one moved away (rotated) is made again, its
// records kept where they went. A log that is the firmware, or a port being updated, by
// any of its names, is refused.
void CliPartsTest::shift_log_torn_deleted_or_misplaced()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("shift.jsonl");
    QFile torn(path);
    QVERIFY(torn.open(QIODevice::WriteOnly) && torn.write(shift_log::line(a_record()) + "{\"time\":\"2026-") > 0);
    torn.close();
    shift_log log;
    QString why;
    QVERIFY(log.open(path, &why));
    QVERIFY(log.append(a_record(), &why));
    const QList<QByteArray> lines = contents(path).split('\n');
    QCOMPARE(lines.size(), 4); // the good one, the torn one, the new one and the empty rest
    QVERIFY2(QJsonDocument::fromJson(lines.at(2)).isObject(), lines.at(2).constData());

#ifdef Q_OS_UNIX
    shift_log other; // a second process on the same log
    QVERIFY(other.open(path, &why));
    QVERIFY(log.append(a_record(), &why));
    QVERIFY(QFile::remove(path));
    QVERIFY(log.append(a_record(), &why));
    QVERIFY(other.append(a_record(), &why));
    QCOMPARE(log.lost_count(), 2);
    QCOMPARE(other.lost_count(), 0);
    QVERIFY(whole_records(contents(path), 2));
    const QString rotated = dir.filePath("shift.jsonl.1");
    QVERIFY(QFile::rename(path, rotated));
    QVERIFY(log.append(a_record(), &why));
    QCOMPARE(log.lost_count(), 2);
    QVERIFY(whole_records(contents(rotated), 2) && whole_records(contents(path), 1));
#endif

    const QString firmware = dir.filePath("fw.bin");
    QFile fw(firmware);
    QVERIFY(fw.open(QIODevice::WriteOnly) && fw.write(QByteArray(2000, '\x5A')) == 2000);
    fw.close();
    QVERIFY(log_clash(path, firmware, {}).isEmpty());
    QVERIFY(log_clash(dir.filePath("new.jsonl"), firmware, {firmware}).isEmpty()); // not there yet
    QVERIFY(QFile::link(firmware, dir.filePath("fw-link")));
    const QString as_link = log_clash(dir.filePath("fw-link"), dir.filePath("./fw.bin"), {});
    QVERIFY2(as_link.startsWith(QLatin1String("the firmware file")), qPrintable(as_link));
#ifdef Q_OS_UNIX
    const QString hard = dir.filePath("fw-hard");
    QCOMPARE(::link(QFile::encodeName(firmware).constData(), QFile::encodeName(hard).constData()), 0);
    QVERIFY(log_clash(hard, firmware, {}).startsWith(QLatin1String("the firmware file")));
    // /dev/null stands for a port: a character device, named here by a link.
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), dir.filePath("ttySIM9")));
    const QString as_port = log_clash(QStringLiteral("/dev/null"), firmware, {dir.filePath("ttySIM9")});
    QVERIFY2(as_port.startsWith(QLatin1String("the port")), qPrintable(as_port));
#endif
}

QTEST_GUILESS_MAIN(CliPartsTest)
#include "test_cli_parts.moc"
