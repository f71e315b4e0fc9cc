// korvane-cli with several simulated devices at once, its JSON Lines, port names by USB
// ids, ports that cannot be opened, and the wire trace: the real executable, as a
// production line script runs it.
#include "cli_harness.h"
#include "engine_harness.h"
#include "console.h"

#include <QSet>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QtTest>

#include <csignal>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using cli_harness::cli;
using cli_harness::finish;
using cli_harness::cli_result;

cli_result run_cli(const QStringList &args, const QString &program = cli)
{
    return cli_harness::run(args, program);
}

QStringList flash_args(const QStringList &ports, const QStringList &extra, const QString &fw)
{
    QStringList args{QStringLiteral("flash")};
    for (const QString &port : ports)
        args << QStringLiteral("--port") << port;
    return args + extra + QStringList{fw};
}

QVector<QJsonObject> parse_lines(const QString &out, QString *bad)
{
    QVector<QJsonObject> events;
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            *bad = line;
            return {};
        }
        events << doc.object();
    }
    return events;
}

const QStringList &sequence = cli_harness::update_steps;

// The JSON Lines of a korvane-cli that is still running, read as they come.
class json_events
{
public:
    explicit json_events(QProcess &p) : p(p) {}

    // How many events of this kind there are about this port so far.
    int count(const QString &kind, const QString &port)
    {
        read();
        int n = 0;
        for (const QJsonObject &e : qAsConst(all))
            n += e.value(QStringLiteral("kind")).toString() == kind
                 && e.value(QStringLiteral("port")).toString() == port;
        return n;
    }
    // Waits until there are `n` such events; false once the process has ended without them
    // (or it hangs).
    bool wait_for(const QString &kind, const QString &port, int n = 1)
    {
        QElapsedTimer clock;
        clock.start();
        while (count(kind, port) < n) {
            if (p.state() != QProcess::Running || clock.elapsed() > 30000)
                return count(kind, port) >= n;
            p.waitForReadyRead(50);
        }
        return true;
    }
    QVector<QJsonObject> events()
    {
        read();
        return all;
    }

private:
    void read()
    {
        partial += p.readAllStandardOutput();
        int end;
        while ((end = partial.indexOf('\n')) >= 0) {
            all << QJsonDocument::fromJson(partial.left(end)).object();
            partial.remove(0, end + 1);
        }
    }

    QProcess &p;
    QByteArray partial;
    QVector<QJsonObject> all;
};

// What a device heard beside every event but progress that korvane-cli told, for a
// failure's message.
QString story(devsim_process *sim, const QVector<QJsonObject> &events)
{
    QStringList lines = QStringList{sim->slave()} + sim->events() + QStringList{"-- korvane-cli:"};
    for (const QJsonObject &e : events)
        if (e.value(QStringLiteral("kind")).toString() != QLatin1String("progress"))
            lines << QString::fromUtf8(QJsonDocument(e).toJson(QJsonDocument::Compact));
    return lines.join(QLatin1Char('\n'));
}

QJsonObject find(const QVector<QJsonObject> &events, const QString &kind, const QString &port, int nth = 0)
{
    for (const QJsonObject &e : events)
        if (e.value(QStringLiteral("kind")).toString() == kind && e.value(QStringLiteral("port")).toString() == port
            && nth-- == 0)
            return e;
    return {};
}

QString sha256_hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

} // namespace

class CliMultiTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void three_devices_one_failing_one_absent();
    void json_lines_with_a_device_that_vanishes();
    void stop_reaches_every_device();
    void usb_names_and_duplicates();
    void trace_shows_every_frame();
    void busy_port_refused_at_once();
    void busy_under_another_name();
    void permission_denied_explained();
    void not_a_serial_port_refused_before_it_starts();
    void one_image_for_every_device();
    void converted_image_checked_against_each_device();
    void live_lines_on_a_terminal();
    void watch_updates_each_device_once();

private:
    QTemporaryDir dir;
    QString firmware;
    QByteArray image;
};

void CliMultiTest::initTestCase()
{
    QVERIFY2(QFileInfo(cli).isExecutable(), qPrintable(cli));
    firmware = dir.filePath(QStringLiteral("fw.bin"));
    image = make_firmware(firmware, 5000, 11);
    QVERIFY(!image.isEmpty());
}

// One device updated, one rejecting its erase, one port that is not there: each gets its
// own verdict, the good one is not held back, and the exit is the worst device's.
void CliMultiTest::three_devices_one_failing_one_absent()
{
    const QString saved = dir.filePath(QStringLiteral("good.saved"));
    devsim_process good({QStringLiteral("--save"), saved});
    devsim_process bad({QStringLiteral("--mode"), QStringLiteral("boot"), QStringLiteral("--fault"),
                        QStringLiteral("erase:error")});
    QVERIFY(good.ok() && bad.ok());
    const QString absent = dir.filePath(QStringLiteral("ttyGONE"));

    const cli_result o = run_cli(flash_args({good.port(), bad.port(), absent}, {}, firmware));
    QVERIFY2(o.code == 3, qPrintable(o.describe()));
    QVERIFY(good.wait_for(QStringLiteral("saved ")));
    QVERIFY(good.has(QStringLiteral("image ok")));
    QCOMPARE(file_bytes(saved), image);
    QCOMPARE(bad.count(QStringLiteral("rx write")), 0);

    // A refused erase names the range it asked for: an image too large is the usual cause.
    QVERIFY2(o.err.contains(QStringLiteral("%1: update failed while erasing the old firmware: the device "
                                           "refused the erase from its base address 0x00008000 to 0x0000938C, "
                                           "for an image of 5004 bytes with its sum: the image may be too large "
                                           "for the device (code -3)")
                                .arg(bad.port())),
             qPrintable(o.err));
    QVERIFY2(o.err.contains(QStringLiteral("%1: update failed while opening the serial port: serial "
                                           "port \"%1\" is not present")
                                .arg(absent)),
             qPrintable(o.err));

    // Plain lines, each with its port; every step of the good device in order.
    QVERIFY(!o.out.contains(QLatin1Char('\r')) && !o.out.contains(QLatin1Char('\x1b')));
    const QStringList lines = o.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QStringList steps;
    for (const QString &line : lines)
        if (line.startsWith(good.port() + QStringLiteral(": ")) && !line.contains(QLatin1String(": progress"))
            && !line.endsWith(QLatin1String("update complete")))
            steps << line.mid(good.port().size() + 2);
    QCOMPARE(steps, cli_harness::update_steps_english);
    QVERIFY(lines.contains(QStringLiteral("%1: progress 100% (%2 of %2 bytes)").arg(good.port()).arg(image.size())));
    QVERIFY(lines.contains(good.port() + QStringLiteral(": update complete")));

    const int head = lines.indexOf(QStringLiteral("summary: 1 of 3 devices updated"));
    QVERIFY2(head >= 0 && head + 4 < lines.size(), qPrintable(o.out));
    QVERIFY(lines.at(head + 1).startsWith(QLatin1String("PORT")));
    const auto row = [&](const QString &port, const QString &result, int bytes) {
        return QRegularExpression(QStringLiteral("^%1 +%2 +\\d+\\.\\d s +%3$")
                                      .arg(QRegularExpression::escape(port),
                                           QRegularExpression::escape(result))
                                      .arg(bytes));
    };
    QVERIFY2(row(good.port(), QStringLiteral("ok"), image.size()).match(lines.at(head + 2)).hasMatch(),
             qPrintable(lines.at(head + 2)));
    QVERIFY2(row(bad.port(), QStringLiteral("failed (code -3)"), 0).match(lines.at(head + 3)).hasMatch(),
             qPrintable(lines.at(head + 3)));
    QVERIFY2(row(absent, QStringLiteral("failed (code -1)"), 0).match(lines.at(head + 4)).hasMatch(),
             qPrintable(lines.at(head + 4)));
}

// Every line is one JSON object; each port's events tell its whole story in order, and
// the last line sums up. A device that hangs up mid-transfer ends alone.
void CliMultiTest::json_lines_with_a_device_that_vanishes()
{
    devsim_process good;
    devsim_process gone({QStringLiteral("--mode"), QStringLiteral("boot"), QStringLiteral("--fault"),
                         QStringLiteral("write:hangup:3")});
    QVERIFY(good.ok() && gone.ok());
    const cli_result o = run_cli(flash_args({good.port(), gone.port()}, {QStringLiteral("--json")}, firmware));
    QVERIFY2(o.code == 4, qPrintable(o.describe()));
    QVERIFY2(o.err.isEmpty(), qPrintable(o.err));

    QString bad;
    const QVector<QJsonObject> events = parse_lines(o.out, &bad);
    QVERIFY2(bad.isEmpty() && !events.isEmpty(), qPrintable(bad));
    double last_ms = 0;
    QHash<QString, QVector<QJsonObject>> per_port;
    for (int i = 0; i < events.size(); ++i) {
        const QJsonObject &e = events.at(i);
        QVERIFY2(e.value(QStringLiteral("ms")).isDouble(), qPrintable(QJsonDocument(e).toJson()));
        QVERIFY(e.value(QStringLiteral("ms")).toDouble() >= last_ms);
        last_ms = e.value(QStringLiteral("ms")).toDouble();
        const QString kind = e.value(QStringLiteral("kind")).toString();
        if (i == events.size() - 1) {
            QCOMPARE(kind, QStringLiteral("summary"));
            break;
        }
        QVERIFY(kind != QLatin1String("summary"));
        per_port[e.value(QStringLiteral("port")).toString()] << e;
    }
    QCOMPARE(per_port.size(), 2);

    const auto check_port = [&](const QString &port, const QString &result, int code) {
        const QVector<QJsonObject> &list = per_port.value(port);
        QVERIFY(list.size() >= 3);
        QCOMPARE(list.constFirst().value(QStringLiteral("kind")).toString(), QStringLiteral("start"));
        QCOMPARE(list.constLast().value(QStringLiteral("kind")).toString(), QStringLiteral("end"));
        QStringList statuses, notices;
        int progress = 0;
        for (const QJsonObject &e : list) {
            const QString kind = e.value(QStringLiteral("kind")).toString();
            if (kind == QLatin1String("status"))
                statuses << e.value(QStringLiteral("text")).toString();
            if (kind == QLatin1String("notice"))
                notices << e.value(QStringLiteral("text")).toString();
            if (kind == QLatin1String("progress")) {
                const int value = e.value(QStringLiteral("value")).toInt();
                QVERIFY(value >= progress);
                progress = value;
                QVERIFY(e.value(QStringLiteral("bytes")).toDouble() <= image.size());
            }
        }
        // What the driver made of low-latency mode, told once per update.
        QCOMPARE(notices.filter(QStringLiteral("low-latency mode")).size(), 1);
        const QJsonObject end = list.constLast();
        QCOMPARE(end.value(QStringLiteral("result")).toString(), result);
        QCOMPARE(end.value(QStringLiteral("code")).toInt(), code);
        QCOMPARE(end.value(QStringLiteral("exit")).toInt(), -code);
        // Verified only by the device's acceptance of the start; a failure says why.
        QCOMPARE(end.value(QStringLiteral("verified")), QJsonValue(code == 0));
        QCOMPARE(end.value(QStringLiteral("reason")).isNull(), code == 0);
        if (code == 0) {
            QCOMPARE(statuses, sequence);
            QCOMPARE(progress, 100);
            QCOMPARE(end.value(QStringLiteral("bytes")).toInt(), image.size());
        } else {
            QCOMPARE(statuses.constLast(), sequence.at(6));
            // Three blocks went through before the line went dead, and its port with it:
            // pulled out, not a device gone silent.
            QCOMPARE(end.value(QStringLiteral("bytes")).toInt(), 3 * 52);
            QCOMPARE(end.value(QStringLiteral("reason")).toString(), QStringLiteral("unplugged"));
        }
        QCOMPARE(end.value(QStringLiteral("reason")).isNull(), code == 0);
    };
    check_port(good.port(), QStringLiteral("ok"), 0);
    check_port(gone.port(), QStringLiteral("failed"), -4);

    const QJsonObject summary = events.constLast();
    QCOMPARE(summary.value(QStringLiteral("exit")).toInt(), 4);
    QCOMPARE(summary.value(QStringLiteral("devices")).toInt(), 2);
    QCOMPARE(summary.value(QStringLiteral("ok")).toInt(), 1);
    const QJsonArray ports = summary.value(QStringLiteral("ports")).toArray();
    QCOMPARE(ports.size(), 2);
    for (const QJsonValue &p : ports) {
        const QJsonObject end = per_port.value(p.toObject().value(QStringLiteral("port")).toString()).constLast();
        for (const char *key : {"result", "code", "verified", "reason", "exit", "bytes"})
            QCOMPARE(p.toObject().value(QLatin1String(key)), end.value(QLatin1String(key)));
    }
}

// Three devices whose bootloaders never answer: one Ctrl-C ends all three at their
// attempt under way. A fourth has ended before, and its worker is gone: the stop must not
// reach for it (a sanitizer build sees it if it does).
void CliMultiTest::stop_reaches_every_device()
{
    devsim_process done({QStringLiteral("--mode"), QStringLiteral("boot")});
    QVERIFY(done.ok());
    QVector<devsim_process *> sims;
    QStringList ports;
    for (int i = 0; i < 3; ++i) {
        sims << new devsim_process({QStringLiteral("--mode"), QStringLiteral("boot"),
                                    QStringLiteral("--fault"), QStringLiteral("handshake:none:0:0")});
        ports << sims.constLast()->port();
    }
    const auto cleanup = qScopeGuard([&] { qDeleteAll(sims); });
    for (devsim_process *sim : sims)
        QVERIFY(sim->ok());

    QProcess p;
    p.start(cli, flash_args(ports + QStringList{done.port()}, {}, firmware));
    QVERIFY(p.waitForStarted(10000));
    QString out;
    while (!out.contains(done.port() + QStringLiteral(": update complete")) && p.state() == QProcess::Running) {
        p.waitForReadyRead(100);
        out += QString::fromUtf8(p.readAllStandardOutput());
    }
    QVector<int> before;
    for (devsim_process *sim : sims) {
        QVERIFY(sim->wait_for(QStringLiteral("rx handshake"), 20000));
        before << sim->count(QStringLiteral("rx handshake"));
    }
    ::kill(pid_t(p.processId()), SIGINT);
    cli_result o = finish(p, 20000);
    o.out.prepend(out);
    QVERIFY2(o.code == 130, qPrintable(o.describe()));
    QVERIFY2(QRegularExpression(QStringLiteral("^%1 +ok +").arg(QRegularExpression::escape(done.port())),
                                QRegularExpression::MultilineOption)
                 .match(o.out)
                 .hasMatch(),
             qPrintable(o.out));
    for (int i = 0; i < sims.size(); ++i) {
        sims.at(i)->stop();
        const int more = sims.at(i)->count(QStringLiteral("rx handshake")) - before.at(i);
        QVERIFY2(more <= 3, qPrintable(QStringLiteral("%1 more attempts on %2").arg(more).arg(i)));
        QCOMPARE(sims.at(i)->count(QStringLiteral("rx info")), 0);
        QVERIFY2(o.err.contains(QStringLiteral("%1: interrupted while looking for the bootloader").arg(ports.at(i))),
                 qPrintable(o.err));
        QVERIFY2(QRegularExpression(QStringLiteral("^%1 +interrupted +").arg(QRegularExpression::escape(ports.at(i))),
                                    QRegularExpression::MultilineOption)
                     .match(o.out)
                     .hasMatch(),
                 qPrintable(o.out));
    }
}

void CliMultiTest::usb_names_and_duplicates()
{
    devsim_process sim({QStringLiteral("--mode"), QStringLiteral("boot")});
    QVERIFY(sim.ok());

    // No adapter has these ids: that device fails as absent, the other one is updated.
    cli_result o = run_cli(flash_args({QStringLiteral("usb:dead:beef"), sim.port()}, {}, firmware));
    QVERIFY2(o.code == 1, qPrintable(o.describe()));
    QVERIFY2(o.err.contains(QLatin1String("no serial port matches usb:dead:beef")), qPrintable(o.err));
    QVERIFY(o.out.contains(sim.port() + QStringLiteral(": update complete")));
    QVERIFY(sim.wait_for(QStringLiteral("image ok")));

    // A name with a slash is a path from the working directory, named and watched alike.
    QTemporaryDir folder;
    QVERIFY(QDir(folder.path()).mkdir(QStringLiteral("rl")));
    QVERIFY(QFile::link(sim.slave(), folder.filePath(QStringLiteral("rl/a1"))));
    for (const QStringList &names : {QStringList{QStringLiteral("--port"), QStringLiteral("rl/a1")},
                                     QStringList{QStringLiteral("--watch"), QStringLiteral("rl/a*"),
                                                 QStringLiteral("--count"), QStringLiteral("1")}}) {
        QProcess p;
        p.setProcessEnvironment(cli_harness::environment());
        p.setWorkingDirectory(folder.path());
        p.start(cli, QStringList{QStringLiteral("flash")} + names + QStringList{firmware});
        o = finish(p);
        QVERIFY2(o.code == 0, qPrintable(o.describe()));
    }
    QCOMPARE(sim.count(QStringLiteral("image ok")), 3);

    // A link and the device it points at are one port: refused before anything is opened.
    const int handshakes = sim.count(QStringLiteral("rx handshake"));
    o = run_cli(flash_args({sim.port(), sim.slave()}, {}, firmware));
    QVERIFY2(o.code == 64, qPrintable(o.describe()));
    QVERIFY2(o.err.contains(QLatin1String("are the same port")), qPrintable(o.err));
    o = run_cli(flash_args({QStringLiteral("usb:0403"), sim.port()}, {}, firmware));
    QVERIFY2(o.code == 64, qPrintable(o.describe()));
    QVERIFY2(o.err.contains(QLatin1String("usb:VID:PID")), qPrintable(o.err));
    // A second device node with the same device number (mknod, as root) is that port too;
    // without the right to make one, a second link stands in for it.
    QTemporaryDir line;
    const QString twin = line.filePath(QStringLiteral("ttyA2"));
    struct stat st = {};
    QCOMPARE(::stat(QFile::encodeName(sim.slave()).constData(), &st), 0);
    if (::mknod(QFile::encodeName(twin).constData(), S_IFCHR | 0600, st.st_rdev) == 0) {
        o = run_cli(flash_args({sim.port(), twin}, {}, firmware));
        QVERIFY2(o.code == 64 && o.err.contains(QLatin1String("are the same port")), qPrintable(o.describe()));
    } else {
        QVERIFY(QFile::link(sim.slave(), twin));
    }
    QCOMPARE(sim.count(QStringLiteral("rx handshake")), handshakes);

    // Watching, a glob that finds one device by two names takes it once: --count 2 is
    // reached by a second device, not by a second worker on the first.
    QVERIFY(QFile::link(sim.slave(), line.filePath(QStringLiteral("ttyA"))));
    devsim_process other({QStringLiteral("--mode"), QStringLiteral("boot"), QStringLiteral("--link"),
                          line.filePath(QStringLiteral("ttyB"))});
    QVERIFY(other.ok());
    const int erases = sim.count(QStringLiteral("rx erase"));
    o = run_cli({QStringLiteral("flash"), QStringLiteral("--json"), QStringLiteral("--watch"),
                 line.filePath(QStringLiteral("tty*")), QStringLiteral("--count"), QStringLiteral("2"), firmware});
    QVERIFY2(o.code == 0 && !o.out.contains(twin), qPrintable(o.describe()));
    sim.stop();
    other.stop();
    QCOMPARE(sim.count(QStringLiteral("rx erase")), erases + 1);
    QVERIFY(other.has(QStringLiteral("image ok")));
}

// Every frame in both directions, in order, with a time stamp and the port; a reply the
// worker could not take is shown as it arrived.
void CliMultiTest::trace_shows_every_frame()
{
    devsim_process sim({QStringLiteral("--mode"), QStringLiteral("boot"), QStringLiteral("--fault"),
                        QStringLiteral("info:extra")});
    QVERIFY(sim.ok());
    const cli_result o = run_cli(flash_args({sim.port()}, {QStringLiteral("--trace")}, firmware));
    QVERIFY2(o.code == 0, qPrintable(o.describe()));
    QVERIFY(!o.out.contains(QLatin1String(" tx ")));
    sim.stop();

    const QRegularExpression shape(QStringLiteral("^ *(\\d+\\.\\d{3}) ms %1 (tx|rx) ([0-9A-F]{2}(?: [0-9A-F]{2})*)( \\((not a frame|discarded)\\))?$")
                                       .arg(QRegularExpression::escape(sim.port())));
    double last = 0;
    QSet<QString> writes;
    QStringList frames;
    for (const QString &line : o.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = shape.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        QVERIFY(m.captured(1).toDouble() >= last);
        last = m.captured(1).toDouble();
        frames << m.captured(2) + QLatin1Char(' ') + m.captured(3) + m.captured(4);
        if (m.captured(2) == QLatin1String("tx") && m.captured(3).startsWith(QLatin1String("AA 3E 06")))
            writes.insert(m.captured(3)); // a block a busy machine made look late goes twice
    }
    QVERIFY(frames.contains(QStringLiteral("tx 01 06 00 09 4D 2E EC 84"))); // the restart request
    const int handshake = frames.indexOf(QStringLiteral("tx AA 09 01 AA AA AA AA 03 5C"));
    QVERIFY(handshake >= 0);
    QCOMPARE(frames.value(handshake + 1), QStringLiteral("rx AA 09 01 55 55 55 55 02 08"));
    // The first information reply had a byte too many; the second was taken.
    const int info = frames.indexOf(QStringLiteral("tx AA 05 04 00 B3"));
    QCOMPARE(frames.value(info + 1), QStringLiteral("rx AA 09 04 00 00 80 00 01 37 00 (not a frame)"));
    QCOMPARE(frames.value(info + 2), QStringLiteral("tx AA 05 04 00 B3"));
    QCOMPARE(frames.value(info + 3), QStringLiteral("rx AA 09 04 00 00 80 00 01 37"));
    // Full blocks only; the last, shorter one is a different length.
    QCOMPARE(writes.size(), image.size() / 52);
    QVERIFY(sim.count(QStringLiteral("rx write")) >= (image.size() + 51) / 52);
}

// Held by someone else when the update starts: refused at once with exit 1, naming the
// holder and without Qt's own words, rather than 30 s of handshakes and a "no answer".
void CliMultiTest::busy_port_refused_at_once()
{
    devsim_process sim({QStringLiteral("--mode"), QStringLiteral("boot")});
    QVERIFY(sim.ok());
    QSerialPort holder;
    holder.setPortName(sim.port());
    QVERIFY(holder.open(QIODevice::ReadWrite));

    const cli_result o = run_cli(flash_args({sim.port()}, {}, firmware));
    QVERIFY2(o.code == 1, qPrintable(o.describe()));
    QVERIFY2(o.err.contains(QStringLiteral("serial port \"%1\" is busy: held by another process").arg(sim.port())),
             qPrintable(o.err));
    QVERIFY2(o.err.contains(QStringLiteral("%1 (").arg(QCoreApplication::applicationPid())), qPrintable(o.err));
    for (const char *not_said : {"Permission error", "still trying", "still looking", "no answer"})
        QVERIFY2(!o.err.contains(QLatin1String(not_said)), qPrintable(o.err));
    QCOMPARE(sim.count(QStringLiteral("rx handshake")), 0);
}

// Updated by another korvane-cli under another name (its link), the device is refused
// the same way, root or not: the device hears one update.
void CliMultiTest::busy_under_another_name()
{
    devsim_process sim({QStringLiteral("--mode"), QStringLiteral("boot"), QStringLiteral("--baud"),
                        QStringLiteral("115200")});
    QVERIFY(sim.ok());
    const QString large = dir.filePath(QStringLiteral("large.bin"));
    QVERIFY(!make_firmware(large, 40000).isEmpty());
    QProcess first;
    first.setProcessEnvironment(cli_harness::environment());
    first.start(cli, flash_args({sim.port()}, {}, large));
    QVERIFY(sim.wait_for(QStringLiteral("rx write"), 30000));

    const cli_result second = run_cli(flash_args({sim.slave()}, {}, firmware));
    QVERIFY2(second.code == 1, qPrintable(second.describe()));
    QVERIFY2(second.err.contains(QStringLiteral("serial port \"%1\" is busy: held by another process (open in ").arg(sim.slave()))
                 && second.err.contains(QStringLiteral("%1 (korvane-cli)").arg(first.processId())),
             qPrintable(second.err));
    const cli_result updated = finish(first);
    QVERIFY2(updated.code == 0, qPrintable(updated.describe()));
    sim.stop();
    QCOMPARE(sim.count(QStringLiteral("rx start")), 1);
    QCOMPARE(sim.count(QStringLiteral("rx erase")), 1);
    QVERIFY(sim.has(QStringLiteral("image ok")));
}

// Run as a user who may not use the port: refused before the update with a hint that
// works. A group is suggested only when it may read and write the port and is not root;
// otherwise a udev rule. The device hears nothing.
void CliMultiTest::permission_denied_explained()
{
    if (::geteuid() != 0)
        QSKIP("needs root to run the tool as an unprivileged user and to make device nodes");
    const group *dialout = ::getgrnam("dialout");
    if (!dialout)
        QSKIP("needs the group dialout");
    QTemporaryDir open_dir;
    QVERIFY(QFile::setPermissions(open_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                       | QFile::ReadOther | QFile::ExeOther));
    const QString fw = open_dir.filePath(QStringLiteral("fw.bin"));
    QVERIFY(QFile::copy(firmware, fw));
    QVERIFY(QFile::setPermissions(fw, QFile::ReadOwner | QFile::ReadOther));

    devsim_process sim;
    QVERIFY(sim.ok());
    // Nodes of the simulator's own terminal, owned as a system might own them; /dev is
    // never touched. The slave itself is root:tty, mode 620: its group may not read it.
    struct stat slave = {};
    QVERIFY(::stat(QFile::encodeName(sim.slave()).constData(), &slave) == 0);
    const auto node = [&](const char *name, mode_t mode, gid_t gid) {
        const QString path = open_dir.filePath(QLatin1String(name));
        const QByteArray native = QFile::encodeName(path);
        if (::mknod(native.constData(), S_IFCHR | mode, slave.st_rdev) != 0 || ::chown(native.constData(), 0, gid) != 0
            || ::chmod(native.constData(), mode) != 0)
            return QString();
        return path;
    };
    const QString root_only = node("ttyROOT", 0600, 0);
    const QString root_group = node("ttyROOTGROUP", 0660, 0);
    const QString group_rw = node("ttyDIALOUT", 0660, dialout->gr_gid);
    QVERIFY(!root_only.isEmpty() && !root_group.isEmpty() && !group_rw.isEmpty());

    // One run each: nodes of one device are one port, which a run takes only once.
    cli_result o;
    for (const QString &port : {sim.slave(), root_only, root_group, group_rw}) {
        const cli_result each = run_cli(QStringList{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                                                    QStringLiteral("--clear-groups"), cli}
                                            + flash_args({port}, {}, fw),
                                        QStringLiteral("setpriv"));
        QVERIFY2(each.code == 1, qPrintable(each.describe()));
        o.err += each.err;
    }
    const auto told = [&](const QString &port) {
        const QStringList lines = o.err.split(QLatin1Char('\n')).filter(
            QStringLiteral("serial port \"%1\": permission denied; ").arg(port));
        return lines.size() == 1 ? lines.constFirst() : QString();
    };
    for (const QString &port : {sim.slave(), root_only, root_group}) {
        const QString hint = told(port);
        QVERIFY2(!hint.isEmpty(), qPrintable(o.err));
        QVERIFY2(!hint.contains(QLatin1String("usermod -aG root")) && !hint.contains(QLatin1String("usermod -aG tty")),
                 qPrintable(hint));
        for (const char *part : {"SUBSYSTEM==\"tty\"", "MODE=\"0660\", GROUP=\"dialout\"",
                                 "/etc/udev/rules.d/99-korvane.rules",
                                 "sudo udevadm control --reload && sudo udevadm trigger", "administrator"})
            QVERIFY2(hint.contains(QLatin1String(part)), qPrintable(hint));
    }
    const QString hint = told(group_rw);
    QVERIFY2(hint.contains(QLatin1String("sudo usermod -aG dialout $USER")) && hint.contains(QLatin1String("log out"))
                 && !hint.contains(QLatin1String("udev")),
             qPrintable(hint));
    sim.stop();
    QCOMPARE(sim.events(), QStringList{QStringLiteral("mode app")});
}

// Files, folders, FIFOs and character devices that are no terminals are refused at once,
// before a worker starts on them, as a port that cannot be used (exit 1); a
// pseudo-terminal named by its /dev/pts path is a serial port and is updated alongside.
void CliMultiTest::not_a_serial_port_refused_before_it_starts()
{
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QStringList refused = {QStringLiteral("/dev/zero"), QStringLiteral("/dev/null"), firmware,
                                 fifo, dir.path()};
    devsim_process sim({QStringLiteral("--mode"), QStringLiteral("boot")});
    QVERIFY(sim.ok());

    const cli_result o = run_cli(flash_args(refused + QStringList{sim.slave()},
                                            {QStringLiteral("--json")}, firmware));
    QVERIFY2(o.code == 1, qPrintable(o.describe()));
    QString bad;
    const QVector<QJsonObject> events = parse_lines(o.out, &bad);
    QVERIFY2(bad.isEmpty(), qPrintable(bad));
    QHash<QString, QStringList> kinds; // per port
    QHash<QString, QJsonObject> ends;
    for (const QJsonObject &e : events) {
        const QString port = e.value(QStringLiteral("port")).toString();
        kinds[port] << e.value(QStringLiteral("kind")).toString();
        if (kinds[port].constLast() == QLatin1String("end"))
            ends[port] = e;
    }
    for (const QString &port : refused) {
        QCOMPARE(kinds.value(port), QStringList{QStringLiteral("end")});
        QCOMPARE(ends[port].value(QStringLiteral("exit")).toInt(), 1);
        const QString text = ends[port].value(QStringLiteral("text")).toString();
        QVERIFY2(text.contains(QStringLiteral("\"%1\" is not a serial port").arg(port)), qPrintable(text));
    }
    QCOMPARE(ends[sim.slave()].value(QStringLiteral("result")).toString(), QStringLiteral("ok"));
    QVERIFY(sim.wait_for(QStringLiteral("image ok")));
    QFileInfo still(fifo);
    QVERIFY(!still.isFile() && still.exists()); // never opened, never replaced
}

// The image is read once, before any device is touched: a file replaced while the
// devices are being updated changes nothing for any of them.
void CliMultiTest::one_image_for_every_device()
{
    const QString fw = dir.filePath(QStringLiteral("replaced.bin"));
    const QByteArray original = make_firmware(fw, 5000, 21);
    const QString saved[2] = {dir.filePath(QStringLiteral("first.saved")),
                              dir.filePath(QStringLiteral("second.saved"))};
    devsim_process first({QStringLiteral("--mode"), QStringLiteral("boot"), QStringLiteral("--save"), saved[0]});
    // Found only after ten unanswered handshakes, long after the file is replaced.
    devsim_process second({QStringLiteral("--mode"), QStringLiteral("boot"), QStringLiteral("--save"),
                           saved[1], QStringLiteral("--fault"), QStringLiteral("handshake:none:0:10")});
    QVERIFY(first.ok() && second.ok());

    QProcess p;
    p.start(cli, flash_args({first.port(), second.port()}, {}, fw));
    QVERIFY(p.waitForStarted(10000));
    QVERIFY(second.wait_for(QStringLiteral("fault none handshake"), 20000));
    const QString other = dir.filePath(QStringLiteral("other.bin"));
    QVERIFY(!make_firmware(other, 7000, 22).isEmpty());
    QVERIFY(QFile::remove(fw) && QFile::rename(other, fw));

    const cli_result o = finish(p);
    QVERIFY2(o.code == 0, qPrintable(o.describe()));
    for (devsim_process *sim : {&first, &second})
        QVERIFY(sim->wait_for(QStringLiteral("saved ")));
    QCOMPARE(file_bytes(saved[0]), original);
    QCOMPARE(file_bytes(saved[1]), original);
}

// One converted image for a gang: the device whose program starts where the image was
// built for is updated; the other ends with -5 before anything of it is erased. The shift
// log names the format.
void CliMultiTest::converted_image_checked_against_each_device()
{
    const QVector<firmware_piece> pieces{{0x8000, seeded_bytes(3000, 31)}};
    const QString fw = dir.filePath(QStringLiteral("gang.hex"));
    QFile file(fw);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(to_intel_hex(pieces)) > 0);
    file.close();
    const QString saved = dir.filePath(QStringLiteral("gang.saved"));
    const QString log = dir.filePath(QStringLiteral("gang.log"));
    devsim_process matching({QStringLiteral("--save"), saved});
    devsim_process elsewhere({QStringLiteral("--base"), QStringLiteral("0x10000")});
    QVERIFY(matching.ok() && elsewhere.ok());

    const cli_result o = run_cli(flash_args({matching.port(), elsewhere.port()}, {QStringLiteral("--log"), log}, fw));
    QVERIFY2(o.code == 5, qPrintable(o.describe()));
    QVERIFY(matching.wait_for(QStringLiteral("saved ")));
    QVERIFY(matching.has(QStringLiteral("image ok")));
    QCOMPARE(file_bytes(saved), image::derive(pieces[0].bytes));
    elsewhere.stop();
    QVERIFY(elsewhere.has(QStringLiteral("rx info")));
    QCOMPARE(elsewhere.count(QStringLiteral("rx erase")), 0);
    QVERIFY2(o.err.contains(QStringLiteral("%1: update failed while reading the firmware file: firmware built "
                                           "for 0x00008000, the device's program starts at 0x00010000 (code -5)")
                                .arg(elsewhere.port())),
             qPrintable(o.err));
    const QStringList records = QString::fromUtf8(file_bytes(log)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(records.size(), 2);
    for (const QString &r : records)
        QCOMPARE(QJsonDocument::fromJson(r.toUtf8()).object().value(QStringLiteral("firmware_format")).toString(),
                 QStringLiteral("Intel HEX"));
}

// A command run on a terminal 60 columns wide, as script(1) gives one.
cli_result on_terminal(const QString &command, const QStringList &env = {})
{
    QProcess p;
    p.setProcessEnvironment(cli_harness::environment(QStringList{QStringLiteral("TERM=xterm")} + env));
    p.start(QStringLiteral("script"),
            {QStringLiteral("-qfec"), QStringLiteral("stty cols 60; ") + command, QStringLiteral("/dev/null")});
    if (!p.waitForStarted(10000))
        return {};
    return finish(p);
}

// On a terminal the lines are redrawn in place, never wider than the terminal; one device
// has a progress bar and the bytes it wrote; a watch's PASS is green, unless NO_COLOR.
void CliMultiTest::live_lines_on_a_terminal()
{
    if (QStandardPaths::findExecutable(QStringLiteral("script")).isEmpty())
        QSKIP("needs script(1) for a terminal");
    devsim_process a({QStringLiteral("--mode"), QStringLiteral("boot")});
    devsim_process b({QStringLiteral("--mode"), QStringLiteral("boot")});
    QVERIFY(a.ok() && b.ok());
    cli_result o = on_terminal(QStringLiteral("%1 flash --port %2 --port %3 %4").arg(cli, a.port(), b.port(), firmware));
    QVERIFY2(o.code == 0, qPrintable(o.describe()));
    QVERIFY2(o.out.contains(QLatin1String("\x1b[2A")), qPrintable(o.out)); // back up over both lines
    QVERIFY(o.out.contains(QLatin1String("summary: 2 of 2 devices updated")));
    QVERIFY(o.out.contains(QLatin1String("100%")));
    const auto lines_of = [](const QString &out) {
        QStringList lines;
        for (QString line : out.split(QRegularExpression(QStringLiteral("[\r\n]")), Qt::SkipEmptyParts))
            lines << line.remove(QRegularExpression(QStringLiteral("\x1b\\[[0-9;]*[A-Za-z]")));
        return lines;
    };
    for (const QString &line : lines_of(o.out))
        if (line.contains(QLatin1Char('%')))
            QVERIFY2(console::display_width(line) <= 59, qPrintable(line));

    o = on_terminal(QStringLiteral("%1 flash --port %2 %3").arg(cli, a.port(), firmware));
    QVERIFY2(o.code == 0, qPrintable(o.describe()));
    const QStringList lines = lines_of(o.out);
    QVERIFY2(QRegularExpression(QStringLiteral("^\\[#{24}\\] 100%  [0-9.]+ [KM]?i?B/s  00:00 left$"))
                 .match(lines.value(lines.indexOf(QStringLiteral("starting the program")) - 1))
                 .hasMatch(),
             qPrintable(o.out));
    QVERIFY2(QRegularExpression(QStringLiteral("^wrote %1 bytes in \\d+\\.\\d s$").arg(image.size()))
                 .match(lines.constLast())
                 .hasMatch(),
             qPrintable(o.out));

    const QString watch = QStringLiteral("%1 flash --watch %2 --count 1 %3").arg(cli, a.port(), firmware);
    const QString pass = QStringLiteral("PASS  %1  -  ").arg(a.port());
    o = on_terminal(watch);
    QVERIFY2(o.code == 0 && o.out.contains(QStringLiteral("\x1b[1;32m") + pass), qPrintable(o.describe()));
    o = on_terminal(watch, {QStringLiteral("NO_COLOR=1")});
    QVERIFY2(o.code == 0 && o.out.contains(pass) && !o.out.contains(QLatin1String("\x1b[1;")),
             qPrintable(o.describe()));
}

// A production line as a technician runs it: simulators plugged in one after another on
// links that a glob matches, one of them there from the start and left in, one unplugged and
// plugged in again, one replaced while its update still retries, one that hangs up
// mid-write beside one that is fine. Each device is
// updated exactly once (its erases counted), --count ends the run, and the summary and the
// shift log tell every device's end. Then Ctrl-C as the end of a shift.
void CliMultiTest::watch_updates_each_device_once()
{
    QTemporaryDir line; // where the devices appear, as /dev/ttyUSB* would
    const auto at = [&](const char *name) { return line.filePath(QLatin1String(name)); };
    const auto plug = [&](const char *name, const QStringList &more = {}) {
        return new devsim_process(QStringList{QStringLiteral("--mode"), QStringLiteral("boot"),
                                              QStringLiteral("--link"), line.filePath(QLatin1String(name))}
                                  + more);
    };
    std::unique_ptr<devsim_process> left(plug("ttySIM0"));
    QVERIFY(left->ok());
    // A shift log that cannot be written stops the run before any device hears a thing.
    const cli_result refused = run_cli({QStringLiteral("flash"), QStringLiteral("--watch"), at("ttySIM*"),
                                        QStringLiteral("--log"), dir.filePath(QStringLiteral("no/such/folder/log")),
                                        firmware});
    QVERIFY2(refused.code == 73 && refused.err.contains(QLatin1String("cannot write")), qPrintable(refused.describe()));
    // Nor does a FIFO that nothing reads: refused at once rather than waited on for ever.
    const QString unread = dir.filePath(QStringLiteral("shift.fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(unread).constData(), 0600), 0);
    const cli_result waited = run_cli({QStringLiteral("flash"), QStringLiteral("--watch"), at("ttySIM*"),
                                       QStringLiteral("--log"), unread, firmware});
    QVERIFY2(waited.code == 73 && waited.err.contains(QLatin1String("no process is reading")),
             qPrintable(waited.describe()));
    // Nor a log that is a watched port, by its other name, or the firmware: the records
    // would go down the device's line or be flashed with the firmware next time.
    const QByteArray firmware_bytes = file_bytes(firmware);
    for (const QString &option : {QStringLiteral("--watch"), QStringLiteral("--port")})
        for (const QString &wrong : {left->slave(), firmware}) {
            const cli_result clash = run_cli({QStringLiteral("flash"), option, at("ttySIM0"), QStringLiteral("--log"),
                                              wrong, firmware});
            QVERIFY2(clash.code == 64 && clash.err.contains(QStringLiteral("--log \"%1\" is the ").arg(wrong)),
                     qPrintable(clash.describe()));
        }
    QCOMPARE(file_bytes(firmware), firmware_bytes);
    std::unique_ptr<devsim_process> first(plug("ttySIM1"));
    QVERIFY(first->ok());
    QCOMPARE(left->count(QStringLiteral("rx ")), 0);
    const QString log = dir.filePath(QStringLiteral("shift.jsonl"));
    QProcess p;
    p.setProcessEnvironment(cli_harness::environment());
    p.start(cli, {QStringLiteral("flash"), QStringLiteral("--watch"), line.filePath(QStringLiteral("ttySIM*")),
                  QStringLiteral("--count"), QStringLiteral("6"), QStringLiteral("--log"), log,
                  QStringLiteral("--json"), firmware});
    QVERIFY(p.waitForStarted(10000));
    json_events out(p);
    QVERIFY(out.wait_for(QStringLiteral("end"), at("ttySIM0")));
    QVERIFY(out.wait_for(QStringLiteral("end"), at("ttySIM1")));
    first->stop(); // unplugged, and plugged in again once the watch has seen it go
    QVERIFY(out.wait_for(QStringLiteral("gone"), at("ttySIM1")));
    std::unique_ptr<devsim_process> again(plug("ttySIM1"));
    QVERIFY(out.wait_for(QStringLiteral("end"), at("ttySIM1"), 2));
    // Unplugged while its update still looks for the bootloader, and replaced: the update
    // under way, which reopens the port, reaches the new device; no second one starts.
    std::unique_ptr<devsim_process> stalled(plug("ttySIM4", {QStringLiteral("--fault"), QStringLiteral("handshake:none:0:0")}));
    QVERIFY(stalled->wait_for(QStringLiteral("rx handshake")));
    stalled->stop();
    QVERIFY(out.wait_for(QStringLiteral("gone"), at("ttySIM4")));
    // Its terminal's number taken by another device, the new one has another number behind
    // the same name: the name alone tells that the update under way is there.
    devsim_process spare;
    std::unique_ptr<devsim_process> replaced(plug("ttySIM4"));
    QVERIFY(out.wait_for(QStringLiteral("end"), at("ttySIM4")));
    std::unique_ptr<devsim_process> cut(plug("ttySIM2", {QStringLiteral("--fault"), QStringLiteral("write:hangup:3")}));
    std::unique_ptr<devsim_process> beside(plug("ttySIM3", {QStringLiteral("--baud"), QStringLiteral("115200")}));
    QVERIFY(p.waitForFinished(60000));
    const QVector<QJsonObject> events = out.events();
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 4, qPrintable(err));
    QVERIFY2(err.isEmpty(), qPrintable(err));

    for (devsim_process *sim : {left.get(), again.get(), replaced.get(), beside.get()}) {
        sim->stop();
        if (sim->count(QStringLiteral("rx erase")) != 1)
            qWarning().noquote() << story(sim, events); // the whole of it: a failure's text is cut short
        QCOMPARE(sim->count(QStringLiteral("rx erase")), 1);
        QVERIFY(sim->has(QStringLiteral("image ok")));
    }
    QCOMPARE(first->count(QStringLiteral("rx erase")), 1);
    QCOMPARE(cut->finished(), 0); // it hung up by itself
    QCOMPARE(cut->count(QStringLiteral("rx write")), 4);

    QStringList appeared, ended;
    for (const QJsonObject &e : events) {
        const QString kind = e.value(QStringLiteral("kind")).toString();
        if (kind == QLatin1String("appear"))
            appeared << QFileInfo(e.value(QStringLiteral("port")).toString()).fileName();
        if (kind == QLatin1String("end"))
            ended << e.value(QStringLiteral("port")).toString();
    }
    appeared.sort();
    QCOMPARE(appeared, (QStringList{"ttySIM0", "ttySIM1", "ttySIM1", "ttySIM2", "ttySIM3", "ttySIM4"}));
    const QJsonObject failed = find(events, QStringLiteral("end"), at("ttySIM2"));
    QCOMPARE(failed.value(QStringLiteral("code")).toInt(), -4);
    QCOMPARE(failed.value(QStringLiteral("bytes")).toInt(), 3 * 52);
    QCOMPARE(find(events, QStringLiteral("end"), at("ttySIM3")).value(QStringLiteral("result")).toString(),
             QStringLiteral("ok"));
    const QJsonObject summary = events.constLast();
    QCOMPARE(summary.value(QStringLiteral("kind")).toString(), QStringLiteral("summary"));
    QCOMPARE(summary.value(QStringLiteral("devices")).toInt(), 6);
    QCOMPARE(summary.value(QStringLiteral("ok")).toInt(), 5);
    QCOMPARE(summary.value(QStringLiteral("failed")).toInt(), 1);

    // One record per device, in the order they ended, with the firmware file's own digest.
    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> records = file.readAll().split('\n');
    QCOMPARE(records.size(), 7);
    for (int i = 0; i < 6; ++i) {
        const QJsonObject r = QJsonDocument::fromJson(records.at(i)).object();
        const QJsonObject end = find(events, QStringLiteral("end"), ended.at(i), ended.mid(0, i).count(ended.at(i)));
        QCOMPARE(r.value(QStringLiteral("port")).toString(), ended.at(i));
        QCOMPARE(r.value(QStringLiteral("firmware_sha256")).toString(), sha256_hex(file_bytes(firmware)));
        QCOMPARE(r.value(QStringLiteral("firmware_size")).toInt(), 5000);
        for (const char *key : {"result", "code", "verified", "reason", "bytes"})
            QCOMPARE(r.value(QLatin1String(key)), end.value(QLatin1String(key)));
    }

    // Ctrl-C ends a shift: 0 when every device ended ok, 130 while --count is unreached.
    for (const int count : {0, 2}) {
        std::unique_ptr<devsim_process> plugged(plug("ttySIM0"));
        QStringList args{QStringLiteral("flash"), QStringLiteral("--json"), QStringLiteral("--watch"),
                         at("ttySIM0"), firmware};
        if (count > 0)
            args << QStringLiteral("--count") << QString::number(count);
        p.start(cli, args);
        QVERIFY(p.waitForStarted(10000));
        json_events shift(p);
        QVERIFY(shift.wait_for(QStringLiteral("end"), at("ttySIM0")));
        ::kill(pid_t(p.processId()), SIGINT);
        const cli_result stopped = finish(p);
        QVERIFY2(stopped.code == (count > 0 ? 130 : 0), qPrintable(stopped.describe()));
        QCOMPARE(shift.events().value(0).value(QStringLiteral("kind")).toString(), QStringLiteral("appear"));
    }

    // The log deleted in the middle of a shift: made again at its path for the next device,
    // and the record that went with it told, with the status of an incomplete log.
    const QString short_lived = dir.filePath(QStringLiteral("deleted.jsonl"));
    std::unique_ptr<devsim_process> before(plug("ttySIM0"));
    p.start(cli, {QStringLiteral("flash"), QStringLiteral("--json"), QStringLiteral("--watch"), at("ttySIM*"),
                  QStringLiteral("--count"), QStringLiteral("2"), QStringLiteral("--log"), short_lived, firmware});
    QVERIFY(p.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(file_bytes(short_lived).endsWith('\n'), 10000);
    QVERIFY(QFile::remove(short_lived));
    std::unique_ptr<devsim_process> after(plug("ttySIM1"));
    const cli_result deleted = finish(p);
    QVERIFY2(deleted.code == 73 && deleted.err.contains(QLatin1String("1 record written to it before went with it")),
             qPrintable(deleted.describe()));
    const QList<QByteArray> kept = file_bytes(short_lived).split('\n');
    QCOMPARE(kept.size(), 2);
    QCOMPARE(QJsonDocument::fromJson(kept.at(0)).object().value(QStringLiteral("port")).toString(), at("ttySIM1"));
}

QTEST_GUILESS_MAIN(CliMultiTest)
#include "test_cli_multi.moc"
