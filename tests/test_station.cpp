// korvane-station against several simulated devices that come and go on links in a folder
// of their own, watched as <folder>/ttySIM*: each device updated exactly once as it
// appears, 开始 for every device there, the tally and the shift log, a log that cannot be
// written, a scanned board serial, and a window closed in the middle of an update.
// Attempts are counted in the devices' own events.
#include "command_line.h"
#include "devsim_harness.h"
#include "stationwindow.h"
#include "tile_view.h"
#include "widget_test_main.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QCheckBox>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLoggingCategory>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>

#include <memory>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString erase = QStringLiteral("rx erase");

// A simulated device that appears at <dir>/<name>, with more options if wanted.
std::unique_ptr<devsim_process> plug(const QTemporaryDir &dir, const QString &name, QStringList args = {})
{
    args << QStringLiteral("--link") << dir.filePath(name);
    return std::make_unique<devsim_process>(args);
}

QVector<QJsonObject> log_lines(const QString &path)
{
    QVector<QJsonObject> lines;
    for (const QByteArray &line : file_bytes(path).split('\n'))
        if (!line.isEmpty())
            lines << QJsonDocument::fromJson(line).object();
    return lines;
}

QString sha256_hex(const QString &path)
{
    return QString::fromLatin1(QCryptographicHash::hash(file_bytes(path), QCryptographicHash::Sha256).toHex());
}

// Scans go on for a while: long enough for a device to be updated again if it were to be.
bool let_polls_pass(const station_line &line, quint64 polls)
{
    const quint64 until = line.polls() + polls;
    return QTest::qWaitFor([&] { return line.polls() >= until; }, 10000);
}

// Pseudo-terminals linked as <dir>/ttyPTY0...: serial ports enough for tiles, with nothing
// on the other end. Closed when it goes.
struct idle_ports
{
    idle_ports(const QTemporaryDir &dir, int count)
    {
        for (int i = 0; i < count; ++i) {
            const int fd = ::posix_openpt(O_RDWR | O_NOCTTY);
            if (fd < 0 || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0)
                return;
            masters.push_back(fd);
            QFile::link(QString::fromLocal8Bit(::ptsname(fd)), dir.filePath(QStringLiteral("ttyPTY%1").arg(i)));
        }
    }
    ~idle_ports()
    {
        for (const int fd : masters)
            ::close(fd);
    }
    std::vector<int> masters;
};

// The layout's line after the window has taken `size`.
QString layout_at(QWidget &window, const QSize &size)
{
    static QString *last = nullptr;
    QString line;
    last = &line;
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &c, const QString &text) {
        if (QLatin1String(c.category) == QLatin1String("korvane.station.layout"))
            *last = text;
    });
    window.resize(size);
    const bool laid_out = QTest::qWaitFor([&] { return window.size() == size && !line.isEmpty(); }, 5000);
    QTest::qWait(50); // the last of the relayouts it sets off
    qInstallMessageHandler(previous);
    return laid_out ? line : QString();
}

bool present(const station_line &line, const QString &location)
{
    for (const auto &t : line.tiles())
        if (t->location == location)
            return t->present;
    return false;
}

} // namespace

class StationTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void tiles_share_the_screen();
    void automatic_mode_updates_each_device_once();
    void start_updates_every_device_there();
    void full_log_scanned_serial_and_missing_firmware();
    void closing_stops_the_updates();
    void command_line_ports_replace_the_remembered();
    void converted_firmware_checked_per_device();
    void command_line_starts_the_line();

private:
    QTemporaryDir files;
    QString firmware;
    QByteArray image;
};

void StationTest::initTestCase()
{
    // The engine's line per block written would bury the test's own output.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    firmware = files.filePath(QStringLiteral("fw.bin"));
    image = make_firmware(firmware, 5000, 7);
    QVERIFY(!image.isEmpty());
}

// The grid: a line's worth of tiles in view with room for their words, a single device
// large but not a banner, too many to fit scrolled at the smallest size; ports counted
// as people count them; a tile's port and serial number cut where they say least; 32
// devices on a small screen.
void StationTest::tiles_share_the_screen()
{
    const QSize least(189, 105);
    const tile_grid line = fit_tiles(32, QSize(1904, 860), least, 6);
    QVERIFY(line.fits);
    QVERIFY(line.tile.width() >= least.width() && line.tile.height() >= least.height());
    const int rows = (32 + line.columns - 1) / line.columns;
    QVERIFY(line.columns * line.tile.width() + (line.columns - 1) * 6 <= 1904);
    QVERIFY(rows * line.tile.height() + (rows - 1) * 6 <= 860);
    const tile_grid one = fit_tiles(1, QSize(1904, 860), least, 6);
    QCOMPARE(one.tile, QSize(1904, 860));
    QCOMPARE(fit_tiles(1, QSize(400, 900), least, 6).tile, QSize(400, 400)); // never a tower
    const tile_grid many = fit_tiles(100, QSize(1350, 500), least, 6);
    QVERIFY(!many.fits);
    QCOMPARE(many.tile.height(), least.height());
    QCOMPARE(many.columns, (1350 + 6) / (189 + 6));

    QStringList ports{"/dev/ttyUSB10", "/dev/ttyUSB2", "/dev/ttyACM0", "/dev/ttyUSB1"};
    std::sort(ports.begin(), ports.end(), port_order);
    QCOMPARE(ports, QStringList({"/dev/ttyACM0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB10"}));

    // A long board serial on the smallest tile: the port keeps its name, the serial its end.
    station_tile t;
    t.location = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    t.board_serial = QStringLiteral("LINE7-2026-12-07-BATCH-0042-SN-B002");
    tile_view view;
    view.setFixedSize(tile_view::minimum_tile(view.font()));
    view.show_tile(t, 0);
    QStringList texts;
    for (const QLabel *l : view.findChildren<QLabel *>())
        texts << l->text();
    const QStringList serial = texts.filter(QRegularExpression(QStringLiteral("^板卡 ….{5,}$")));
    QVERIFY2(serial.size() == 1 && t.board_serial.endsWith(serial.constFirst().mid(4)), qPrintable(texts.join('|')));
    const QStringList port = texts.filter(QRegularExpression(QStringLiteral("^….{3,}$")));
    QVERIFY2(port.size() == 1 && t.location.endsWith(port.constFirst().mid(1)), qPrintable(texts.join('|')));
    QVERIFY(view.toolTip().contains(t.board_serial));

    // A line's worth of devices on a 1366x768 screen: all in view. Squeezed they scroll;
    // given the room again they all fit again, the scroll bar's width given back.
    QTemporaryDir dir;
    const idle_ports rack(dir, 32);
    QCOMPARE(int(rack.masters.size()), 32);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\nkorvane.station.layout.debug=true"));
    StationWindow window;
    station_options options;
    options.patterns = QStringList{dir.filePath(QStringLiteral("ttyPTY*"))};
    QString why;
    QVERIFY(window.apply(options, &why));
    window.show();
    QTRY_COMPARE(int(window.line().tiles().size()), 32);
    const QString full = layout_at(window, QSize(1366, 768));
    QVERIFY2(full.contains(QLatin1String(": 7 columns")) && full.endsWith(QLatin1String("all in view")), qPrintable(full));
    QVERIFY2(layout_at(window, QSize(1366, 500)).endsWith(QLatin1String("scrolling")), "squeezed");
    QCOMPARE(layout_at(window, QSize(1366, 768)), full);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
}

// Devices plugged in one after another: each updated once as it appears, one left
// plugged in never again; one unplugged in the middle of its update fails without
// disturbing the one beside it, and plugged in again it is a new device. The shift log
// has a line for each; the tally counts the board by its scanned label, once.
void StationTest::automatic_mode_updates_each_device_once()
{
    QTemporaryDir dir;
    const QString log = files.filePath(QStringLiteral("auto.jsonl"));
    station_line line;
    QString why;
    QVERIFY(line.set_patterns({dir.filePath(QStringLiteral("ttySIM*"))}, &why));
    QVERIFY(line.load_firmware(firmware));
    QVERIFY2(line.open_log(log, &why), qPrintable(why));
    line.set_auto(true);
    // Not a port, though the pattern matches it: never written to, never a tile.
    const QString not_a_port = dir.filePath(QStringLiteral("ttySIM0.log"));
    make_firmware(not_a_port, 100);
    const QByteArray not_a_port_bytes = file_bytes(not_a_port);
    line.start_watching(50);

    auto a = plug(dir, QStringLiteral("ttySIM1"));
    QTRY_COMPARE_WITH_TIMEOUT(line.ok_count(), 1, 10000);
    line.set_board_serial(QStringLiteral(" SN-7 ")); // scanned before the next board is plugged in
    auto b = plug(dir, QStringLiteral("ttySIM2"));
    QTRY_COMPARE_WITH_TIMEOUT(line.ok_count(), 2, 10000);
    QVERIFY(let_polls_pass(line, 10));
    QCOMPARE(a->count(erase), 1);
    QCOMPARE(b->count(erase), 1);

    // At 9600 baud the update takes seconds; the device is pulled out 2.5 s after it appears.
    line.set_board_serial(QStringLiteral("SN-3"));
    auto c = plug(dir, QStringLiteral("ttySIM3"),
                  {QStringLiteral("--baud"), QStringLiteral("9600"), QStringLiteral("--unplug-after"),
                   QStringLiteral("2500")});
    QTRY_VERIFY(line.board_serial().isEmpty());
    auto d = plug(dir, QStringLiteral("ttySIM4"));
    QTRY_COMPARE_WITH_TIMEOUT(line.failed_count(), 1, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(line.ok_count(), 3, 10000);
    QVERIFY(c->has(QStringLiteral("unplugged")));
    // Pulled out, not silent; and shown first, ahead of the ports before it.
    const station_tile &failed = *line.tiles()[size_t(line.display_order().front())];
    QCOMPARE(failed.location, dir.filePath(QStringLiteral("ttySIM3")));
    QCOMPARE(failed.reason, QStringLiteral("已拔出"));
    QCOMPARE(int(line.display_order().size()), 4);
    QCOMPARE(c->count(erase), 1);
    QCOMPARE(d->count(erase), 1);

    // Plugged in again once the line has seen it go (a scan that missed the gap would
    // rightly take it for the same device, still plugged in), its label scanned again: the
    // same board, which has now passed.
    QTRY_VERIFY(!present(line, dir.filePath(QStringLiteral("ttySIM3"))));
    line.set_board_serial(QStringLiteral("SN-3"));
    auto c_again = plug(dir, QStringLiteral("ttySIM3"));
    QTRY_COMPARE_WITH_TIMEOUT(line.ok_count(), 4, 10000);
    QVERIFY(let_polls_pass(line, 10));
    QCOMPARE(c_again->count(erase), 1);
    QCOMPARE(a->count(erase) + b->count(erase) + d->count(erase), 3);
    QCOMPARE(line.failed_count(), 0);
    QCOMPARE(int(line.tiles().size()), 4);
    QCOMPARE(file_bytes(not_a_port), not_a_port_bytes);

    const QVector<QJsonObject> lines = log_lines(log);
    QCOMPARE(lines.size(), 5);
    QStringList seen;
    for (const QJsonObject &o : lines) {
        const bool ok = o.value(QStringLiteral("result")).toString() == QLatin1String("ok");
        seen << QStringLiteral("%1 %2 %3").arg(QFileInfo(o.value(QStringLiteral("port")).toString()).fileName(),
                                              o.value(QStringLiteral("result")).toString())
                    .arg(o.value(QStringLiteral("code")).toInt());
        QCOMPARE(o.value(QStringLiteral("firmware")).toString(), firmware);
        QCOMPARE(o.value(QStringLiteral("firmware_size")).toInt(), 5000);
        QCOMPARE(o.value(QStringLiteral("firmware_sha256")).toString(), sha256_hex(firmware));
        QCOMPARE(o.value(QStringLiteral("bytes")).toInt() == image.size(), ok);
        // Each started its program, which the device accepted only after checking it.
        QCOMPARE(o.value(QStringLiteral("verified")), QJsonValue(ok));
        QCOMPARE(o.value(QStringLiteral("reason")).toString(), ok ? QString() : QStringLiteral("unplugged"));
        const QString port = seen.constLast().left(7);
        QCOMPARE(o.value(QStringLiteral("board_serial")).toString(),
                 port == QLatin1String("ttySIM2")   ? QStringLiteral("SN-7")
                 : port == QLatin1String("ttySIM3") ? QStringLiteral("SN-3")
                                                    : QString());
    }
    QCOMPARE(seen, QStringList({"ttySIM1 ok 0", "ttySIM2 ok 0", "ttySIM4 ok 0", "ttySIM3 failed -4",
                                "ttySIM3 ok 0"}));
}

// 开始 with automatic mode off: devices that are there are shown but left alone until it
// is pressed, then every one not already being updated starts, plain port names included.
// Those that passed since they were plugged in are repeated only when the operator says
// so; each 开始 begins a batch. A scanned serial goes to one board only, which keeps it for
// its next attempt; the tally counts boards, so one that failed and then passed is one
// 成功. Without a program start the device never confirms its image: written, not 成功.
void StationTest::start_updates_every_device_there()
{
    QTemporaryDir dir;
    std::vector<std::unique_ptr<devsim_process>> devices;
    QStringList ports;
    for (int i = 1; i <= 3; ++i) {
        // The first refuses its first erase.
        devices.push_back(plug(dir, QStringLiteral("ttySIM%1").arg(i),
                               i == 1 ? QStringList{QStringLiteral("--fault"), QStringLiteral("erase:error:0:1")}
                                      : QStringList()));
        ports << devices.back()->port();
    }
    station_line line;
    QString why;
    QVERIFY(line.set_patterns(ports, &why));
    QVERIFY(line.load_firmware(firmware));
    line_settings no_start;
    no_start.auto_start = false;
    line.set_line(no_start);
    line.start_watching(50);
    QTRY_COMPARE(int(line.tiles().size()), 3);
    QVERIFY(let_polls_pass(line, 5));
    for (const auto &d : devices)
        QCOMPARE(d->count(erase), 0);

    line.set_board_serial(QStringLiteral("SN-1"));
    QCOMPARE(line.board_serial_taker(), line.tiles()[0].get());
    QCOMPARE(line.start_now(), 3);
    QVERIFY(line.board_serial().isEmpty()); // taken by the first, in port order
    QCOMPARE(line.tiles()[0]->board_serial, QStringLiteral("SN-1"));
    QCOMPARE(line.tiles()[1]->job->board_serial, QString());
    QCOMPARE(line.start_now(), 0); // all three are running
    QTRY_COMPARE_WITH_TIMEOUT(line.ok_count() + line.failed_count(), 3, 10000);
    QCOMPARE(line.failed_count(), 1);
    QCOMPARE(line.passed_count(), 2);
    QCOMPARE(line.batch_ok_count(), 2);

    // The failed board keeps its label: the next one scanned waits for another board.
    line.set_board_serial(QStringLiteral("SN-2"));
    QCOMPARE(line.board_serial_taker(), nullptr);
    QCOMPARE(line.start_now(false), 1); // the operator declined to repeat the two that passed
    QTRY_COMPARE_WITH_TIMEOUT(line.running(), 0, 10000);
    QCOMPARE(line.tiles()[0]->job->board_serial, QStringLiteral("SN-1"));
    QCOMPARE(line.board_serial(), QStringLiteral("SN-2"));
    QCOMPARE(line.ok_count(), 3);
    QCOMPARE(line.failed_count(), 0);
    QCOMPARE(line.batch_ok_count(), 1);
    QCOMPARE(line.batch_failed_count(), 0);

    QCOMPARE(line.start_now(), 3); // the same devices, once more on request
    QCOMPARE(line.tiles()[1]->board_serial, QStringLiteral("SN-2"));
    QTRY_COMPARE_WITH_TIMEOUT(line.running(), 0, 10000);
    QCOMPARE(devices[0]->count(erase), 3);
    QCOMPARE(devices[1]->count(erase), 2);
    QCOMPARE(devices[2]->count(erase), 2);
    // Three boards, each counted by its latest update; SN-2's board counted once.
    QCOMPARE(line.ok_count(), 3);
    QCOMPARE(line.failed_count(), 0);
    QCOMPARE(line.batch_ok_count(), 3);
    QCOMPARE(line.written_count(), 3);
    for (const auto &t : line.tiles())
        QCOMPARE(int(t->what), int(station_tile::state::written));
}

// The window as the line uses it. A firmware that is not there: a banner naming it, 开始
// and 自动 disabled until a typed path loads. A scanner's code and Return: the next board
// is recorded with it and the field clears. A log on a full disk: a banner, the tally
// counts the device without a record, and no new device starts until 确认. The choices
// are there again in the next window.
void StationTest::full_log_scanned_serial_and_missing_firmware()
{
    QTemporaryDir dir;
    const QString missing = files.filePath(QStringLiteral("no-such.bin"));
    StationWindow window;
    station_options options;
    options.patterns = QStringList{dir.filePath(QStringLiteral("ttySIM*"))};
    options.firmware = missing;
    options.log = QStringLiteral("/dev/full");
    options.automatic = true;
    QString why;
    QVERIFY(window.apply(options, &why));
    window.show();
    const auto child = [&](const char *name) { return window.findChild<QWidget *>(QLatin1String(name)); };
    auto *start = static_cast<QPushButton *>(child("pB_start"));
    auto *automatic = static_cast<QPushButton *>(child("pB_auto"));
    auto *firmware_banner = static_cast<QLabel *>(child("lB_firmwareBanner"));
    QVERIFY(!start->isEnabled() && !automatic->isEnabled());
    QVERIFY(firmware_banner->isVisible());
    QVERIFY2(firmware_banner->text().contains(missing), qPrintable(firmware_banner->text()));
    QVERIFY(automatic->text().contains(QStringLiteral("自动：开")));

    auto *path = static_cast<QLineEdit *>(child("lE_firmware"));
    path->clear();
    QTest::keyClicks(path, firmware);
    QTest::keyClick(path, Qt::Key_Return);
    QVERIFY(start->isEnabled() && automatic->isEnabled());
    QVERIFY(!firmware_banner->isVisible());

    // A label scanned again replaces the one waiting, never runs on from it; the field is
    // empty for each scan, the waiting one shown beside it with the board it goes to, and
    // Esc takes it back.
    auto *scanned = static_cast<QLineEdit *>(child("lE_boardSerial"));
    auto *waiting = static_cast<QLabel *>(child("lB_boardSerialNext"));
    const auto scan = [&](const QString &label) {
        QTest::keyClicks(scanned, label);
        QTest::keyClick(scanned, Qt::Key_Return);
    };
    scan(QStringLiteral("SN-A001"));
    scan(QStringLiteral("SN-B002"));
    QCOMPARE(window.line().board_serial(), QStringLiteral("SN-B002"));
    QVERIFY(scanned->text().isEmpty());
    QCOMPARE(waiting->text(), QStringLiteral("待用：SN-B002 → 下一块插入的板卡"));
    QVERIFY(waiting->isVisible());
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(scanned, Qt::Key_Escape);
    QVERIFY(window.line().board_serial().isEmpty());
    QVERIFY(!waiting->isVisible());
    scan(QStringLiteral("SN-A001"));
    scan(QStringLiteral("SN-B002"));
    auto a = plug(dir, QStringLiteral("ttySIM1"));
    QTRY_COMPARE_WITH_TIMEOUT(window.line().ok_count(), 1, 10000);
    QCOMPARE(window.line().tiles().at(0)->board_serial, QStringLiteral("SN-B002"));
    QVERIFY(window.line().board_serial().isEmpty());
    QVERIFY(!waiting->isVisible());
    QCOMPARE(window.sound().played(station_sound::kind::pass), 1);

    QVERIFY(window.line().log_blocked());
    QVERIFY(child("fR_logBanner")->isVisible());
    QVERIFY(static_cast<QLabel *>(child("lB_tally"))->text().contains(QStringLiteral("未记录 1")));
    auto b = plug(dir, QStringLiteral("ttySIM2"));
    QTRY_COMPARE(int(window.line().tiles().size()), 2);
    QVERIFY(let_polls_pass(window.line(), 10));
    QCOMPARE(b->count(erase), 0);

    static_cast<QCheckBox *>(child("cK_sound"))->setChecked(false);
    QTest::mouseClick(static_cast<QPushButton *>(child("pB_acknowledge")), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(window.line().ok_count(), 2, 10000);
    QCOMPARE(b->count(erase), 1);
    QCOMPARE(window.line().unlogged_count(), 2);
    QVERIFY(window.line().log_blocked());
    QCOMPARE(window.sound().played(station_sound::kind::pass), 1);

    StationWindow next;
    QCOMPARE(next.findChild<QLineEdit *>(QStringLiteral("lE_firmware"))->text(), firmware);
    QCOMPARE(next.findChild<QLineEdit *>(QStringLiteral("lE_ports"))->text(), options.patterns.constFirst());
    QVERIFY(!next.findChild<QCheckBox *>(QStringLiteral("cK_sound"))->isChecked());
}

// A bootloader that never answers the handshake keeps its update looking for 30 s.
// Closing the window stops it at its next wait: the window goes, the device is logged
// as interrupted (not timed out), and nothing runs any more. The log, deleted meanwhile,
// is made again for that record; the record that went with it counts as 未记录.
void StationTest::closing_stops_the_updates()
{
    QTemporaryDir dir;
    auto mute = plug(dir, QStringLiteral("ttySIM1"),
                     {QStringLiteral("--mode"), QStringLiteral("boot"), QStringLiteral("--fault"),
                      QStringLiteral("handshake:none:0:0")});
    auto good = plug(dir, QStringLiteral("ttySIM2"));
    const QString log = files.filePath(QStringLiteral("close.jsonl"));
    StationWindow window;
    station_options options;
    options.patterns = QStringList{dir.filePath(QStringLiteral("ttySIM*"))};
    options.firmware = firmware;
    options.log = log;
    options.automatic = true;
    QString why;
    QVERIFY(window.apply(options, &why));
    window.show();
    QTRY_COMPARE_WITH_TIMEOUT(window.line().ok_count(), 1, 10000);
    QVERIFY(mute->wait_for(QStringLiteral("rx handshake")));
    QCOMPARE(window.line().running(), 1);
    QCOMPARE(log_lines(log).size(), 1);
    QVERIFY(QFile::remove(log));

    QVERIFY(!window.close()); // stays until the update has stopped
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 10000);
    QCOMPARE(window.line().running(), 0);
    const QVector<QJsonObject> lines = log_lines(log);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines.at(0).value(QStringLiteral("result")).toString(), QStringLiteral("interrupted"));
    QVERIFY(lines.at(0).value(QStringLiteral("code")).isNull());
    QCOMPARE(window.line().unlogged_count(), 1);
    QVERIFY(window.findChild<QLabel *>(QStringLiteral("lB_tally"))->text().contains(QStringLiteral("未记录 1")));
    QCOMPARE(mute->count(erase), 0);
}

// Ports named on the command line replace those the last run left before anything is
// scanned: with --auto, the device on a remembered pattern hears nothing. Without any on
// the command line, the remembered ones are watched and the window says whose they are.
void StationTest::command_line_ports_replace_the_remembered()
{
    QTemporaryDir dir;
    auto old_device = plug(dir, QStringLiteral("old1"));
    auto named = plug(dir, QStringLiteral("ttySIM1"));
    QVERIFY(old_device->wait_for(QStringLiteral("mode")));
    const QStringList untouched = old_device->events();
    QSettings().setValue(QStringLiteral("station/ports"), dir.filePath(QStringLiteral("old*")));
    station_options options;
    options.patterns = QStringList{named->port()};
    options.firmware = firmware;
    options.automatic = true;
    QString why;
    {
        StationWindow window;
        QVERIFY(window.apply(options, &why));
        QTRY_COMPARE_WITH_TIMEOUT(window.line().ok_count(), 1, 10000);
        QVERIFY(let_polls_pass(window.line(), 10));
        QCOMPARE(old_device->events(), untouched);
        QCOMPARE(int(window.line().tiles().size()), 1);
        QVERIFY(window.findChild<QLabel *>(QStringLiteral("lB_portsOrigin"))->isHidden());
    }

    StationWindow next;
    options.patterns.clear();
    options.automatic = false;
    QVERIFY(next.apply(options, &why));
    QCOMPARE(next.findChild<QLineEdit *>(QStringLiteral("lE_ports"))->text(), named->port());
    QVERIFY(!next.findChild<QLabel *>(QStringLiteral("lB_portsOrigin"))->isHidden());
    const QListWidget *run_log = next.findChild<QListWidget *>(QStringLiteral("lW_log"));
    QVERIFY(run_log->count() > 0 && run_log->item(0)->text().endsWith(QStringLiteral("串口沿用上次运行：") + named->port()));
    QTRY_COMPARE(int(next.line().tiles().size()), 1);
}

// The program as a script starts it: -V is the version, usage errors exit 64 before any window, a log that
// cannot be written 73, and --watch, --auto, --log and FIRMWARE run the line by itself,
// each device in the log as soon as it is done. SIGTERM stops it as closing the window
// does: the device still being updated goes into the log as interrupted.
// One Intel HEX image for the line: the device whose program starts where it was built
// for is updated, the other fails before its erase with both addresses named. Text is no
// firmware unless the line was told the file is binary.
void StationTest::converted_firmware_checked_per_device()
{
    const QString text = files.filePath(QStringLiteral("notes.bin"));
    QFile notes(text);
    QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write(QByteArray("notes\n").repeated(300)) > 0);
    notes.close();
    station_line line;
    QVERIFY(!line.load_firmware(text));
    QCOMPARE(line.firmware().image.error, image::failure::not_firmware);
    line.set_raw(true);
    QVERIFY(line.load_firmware(text));
    line.set_raw(false);

    const QString hex = files.filePath(QStringLiteral("fw.hex"));
    QFile file(hex);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(to_intel_hex({{0x8000, seeded_bytes(3000, 3)}})) > 0);
    file.close();
    QTemporaryDir dir;
    auto matching = plug(dir, QStringLiteral("ttySIM1"));
    auto elsewhere = plug(dir, QStringLiteral("ttySIM2"), {QStringLiteral("--base"), QStringLiteral("0x10000")});
    const QString log = files.filePath(QStringLiteral("hex.jsonl"));
    QString why;
    QVERIFY(line.set_patterns({matching->port(), elsewhere->port()}, &why));
    QVERIFY(line.load_firmware(hex));
    QVERIFY2(line.open_log(log, &why), qPrintable(why));
    QStringList run_log;
    connect(&line, &station_line::logged, [&](const QString &text) { run_log << text; });
    line.start_watching(50);
    QTRY_COMPARE(int(line.tiles().size()), 2);
    QCOMPARE(line.start_now(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(line.ok_count() + line.failed_count(), 2, 10000);
    QCOMPARE(line.ok_count(), 1);
    QVERIFY(matching->wait_for(QStringLiteral("image ok")));
    QCOMPARE(elsewhere->count(erase), 0);
    // In the tile a few words that fit it; the addresses in its tooltip and the run log.
    const QString whole = QStringLiteral("固件地址不符：固件的起始地址是 0x00008000，设备程序的起始地址是 0x00010000");
    for (const auto &t : line.tiles()) {
        if (t->location != elsewhere->port())
            continue;
        QCOMPARE(t->reason, QStringLiteral("固件地址不符"));
        QCOMPARE(t->reason_whole, whole);
        tile_view view;
        view.show_tile(*t, 0);
        QVERIFY2(view.toolTip().contains(whole), qPrintable(view.toolTip()));
    }
    QVERIFY(run_log.join('\n').contains(QStringLiteral("  失败  ") + whole));
    for (const QJsonObject &o : log_lines(log)) {
        QCOMPARE(o.value(QStringLiteral("firmware_format")).toString(), QStringLiteral("Intel HEX"));
        if (o.value(QStringLiteral("result")).toString() == QLatin1String("failed"))
            QVERIFY(o.value(QStringLiteral("reason")).toString().contains(
                QLatin1String("firmware built for 0x00008000, the device's program starts at 0x00010000")));
    }
}

void StationTest::command_line_starts_the_line()
{
    const QString program = QStringLiteral(KORVANE_BIN_DIR "/korvane-station");
    const auto run = [&](const QStringList &args, QString *err = nullptr) {
        QProcess p;
        p.start(program, args);
        p.waitForFinished(10000);
        if (err)
            *err = QString::fromUtf8(p.readAllStandardError());
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    };
    QString err;
    QCOMPARE(run({QStringLiteral("--help")}), 0);
    QCOMPARE(run({QStringLiteral("-V")}), 0);
    QCOMPARE(run({QStringLiteral("-v")}, &err), 64); // korvane-cli's -v is --verbose
    QVERIFY2(err.contains(QLatin1String("-V or --version")), qPrintable(err));
    QCOMPARE(run({QStringLiteral("--bogus")}, &err), 64);
    QVERIFY2(err.contains(QLatin1String("bogus")), qPrintable(err));
    QCOMPARE(run({QStringLiteral("--watch"), QStringLiteral("/dev/tty*/x")}), 64);
    QCOMPARE(run({QStringLiteral("--watch"), QStringLiteral("usb:0403")}), 64);
    QCOMPARE(run({QStringLiteral("--port"), QStringLiteral("rfc2217:/127.0.0.1:7101")}, &err), 64);
    QVERIFY2(err.contains(QLatin1String("rfc2217://HOST:PORT or socket://HOST:PORT")), qPrintable(err));
    QCOMPARE(run({firmware, firmware}), 64);
    QCOMPARE(run({QStringLiteral("--log"), files.filePath(QStringLiteral("no/such/dir/log")), firmware}), 73);
    // A FIFO that nothing reads is refused at once, not waited on.
    const QString unread = files.filePath(QStringLiteral("unread.fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(unread).constData(), 0600), 0);
    QCOMPARE(run({QStringLiteral("--accept-silent-start"), QStringLiteral("--log"), unread, firmware}, &err), 73);
    QVERIFY2(err.contains(QLatin1String("no process is reading")), qPrintable(err));

    QTemporaryDir dir;
    auto device = plug(dir, QStringLiteral("ttySIM1"));
    // A log that is the firmware, or a watched port by its other name, is a usage error
    // before any port is scanned: the records would be flashed or go down the device's line.
    QVERIFY(device->wait_for(QStringLiteral("mode")));
    const QStringList untouched = device->events();
    QCOMPARE(run({QStringLiteral("--log"), firmware, firmware}, &err), 64);
    QVERIFY2(err.contains(QLatin1String("is the firmware file")), qPrintable(err));
    QCOMPARE(run({QStringLiteral("--watch"), dir.filePath(QStringLiteral("ttySIM*")), QStringLiteral("--auto"),
                  QStringLiteral("--log"), device->slave(), firmware},
                 &err),
             64);
    QVERIFY2(err.contains(QLatin1String("is the port")), qPrintable(err));
    QCOMPARE(device->events(), untouched);
    const QString log = files.filePath(QStringLiteral("script.jsonl"));
    QProcess station;
    station.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Watched by a path from the folder the station was started in.
    const QFileInfo folder(dir.path());
    station.setWorkingDirectory(folder.path());
    station.start(program, {QStringLiteral("--watch"), folder.fileName() + QStringLiteral("/ttySIM*"),
                            QStringLiteral("--auto"), QStringLiteral("--log"), log, firmware});
    QTRY_COMPARE_WITH_TIMEOUT(log_lines(log).size(), 1, 10000);
    QCOMPARE(log_lines(log).at(0).value(QStringLiteral("result")).toString(), QStringLiteral("ok"));
    QCOMPARE(device->count(erase), 1);

    auto mute = plug(dir, QStringLiteral("ttySIM2"),
                     {QStringLiteral("--mode"), QStringLiteral("boot"), QStringLiteral("--fault"),
                      QStringLiteral("handshake:none:0:0")});
    QVERIFY(mute->wait_for(QStringLiteral("rx handshake")));
    station.terminate();
    QVERIFY(station.waitForFinished(10000));
    QCOMPARE(station.exitStatus(), QProcess::NormalExit);
    QCOMPARE(station.exitCode(), 0);
    QCOMPARE(log_lines(log).size(), 2);
    QCOMPARE(log_lines(log).at(1).value(QStringLiteral("result")).toString(), QStringLiteral("interrupted"));
}

int main(int argc, char *argv[])
{
    // The station keeps its settings: never the user's own, here or in the programs run.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    return run_widget_test<StationTest>(argc, argv);
}

#include "test_station.moc"
