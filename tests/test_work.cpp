// The update worker against the simulated device over a real pseudo-terminal.
#include "engine_harness.h"
#include "frame.h"
#include "step_texts.h"

#include <QSerialPort>
#include <QtTest>

#include <numeric>

namespace {

using namespace step_texts;

QStringList block_progress(int image_size)
{
    QStringList out;
    for (qint64 offset = 0; offset < image_size; offset += 52)
        out << QStringLiteral("progress %1").arg(int(double(offset) / image_size * 70 + 30));
    return out;
}

int count_lines(const QStringList &lines, const QString &text)
{
    return int(std::count(lines.begin(), lines.end(), text));
}

} // namespace

class WorkTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { debug = std::make_unique<debug_capture>(); }
    void init() { debug_capture::clear(); }

    void fresh_worker();
    void whole_update_from_application();
    void container_without_start();
    void wrong_answers_data();
    void wrong_answers();
    void replies_that_count_as_none();
    void late_replies_answer_one_request_data();
    void late_replies_answer_one_request();
    void silent_start();
    void lines_that_echo_data();
    void lines_that_echo();
    void progress_of_a_transfer_data();
    void progress_of_a_transfer();
    void ports_that_are_no_serial_line();
    void firmware_files_data();
    void firmware_files();
    void stopping_data();
    void stopping();
    void own_settings_and_trace();
    void restart_with_a_late_echo();

private:
    QTemporaryDir dir;
    std::unique_ptr<debug_capture> debug;
};

void WorkTest::fresh_worker()
{
    work w;
    QVERIFY(!w.port());
    QCOMPARE(w.device_address(), quint32(0));
    QVERIFY(w.image().isEmpty());
    QVERIFY(!w.stop_requested());
    QCOMPARE(w.metaObject()->className(), "work");
    QCOMPARE(w.metaObject()->method(w.metaObject()->methodOffset()).methodSignature(), QByteArray("result(int)"));
    QCOMPARE(w.metaObject()->method(w.metaObject()->methodOffset() + 4).methodSignature(), QByteArray("stop()"));
    // The queued stop() of a closing dialog asks for the stop too.
    w.stop();
    QVERIFY(w.stop_requested());
}

void WorkTest::whole_update_from_application()
{
    const QString fw = dir.filePath("app v2.bin");
    const QByteArray expected = make_firmware(fw, 5000);
    const QString saved = dir.filePath("saved.bin");
    devsim_process sim({"--mode", "app", "--base", "0x20000", "--save", saved});
    QVERIFY(sim.ok());
    configure(sim.port(), fw);

    const update_record rec = run_update();
    QVERIFY(rec.ended);
    // A busy machine may make a prompt reply look late: its block goes again, with its
    // progress value again. Then only the order of the values is compared.
    const auto collapsed = [&](const QStringList &lines) {
        QStringList out;
        for (const QString &line : lines)
            if (rec.suspects == 0 || out.isEmpty() || line != out.constLast())
                out << line;
        return out;
    };
    QStringList order = {"status " + connecting, "progress 5", "status " + restarting, "progress 10",
                         "status " + communicating, "progress 15", "status " + synchronising,
                         "progress 20", "status " + reading, "progress 25", "status " + erasing,
                         "progress 30", "status " + updating};
    order << block_progress(expected.size());
    order << "progress 100" << "status " + starting << "result 0";
    QCOMPARE(collapsed(rec.trace), collapsed(order));

    QVERIFY(sim.wait_for("image ok"));
    QCOMPARE(sim.count("modbus"), 2);
    QVERIFY(sim.has("mode boot"));
    // A busy machine may delay the last echo into the first handshake, which then asks
    // again; the update goes on either way.
    QVERIFY(sim.count("rx handshake") >= 1);
    QCOMPARE(sim.count("rx erase 0x00020000 0x"
                       + QString::number(0x20000 + expected.size(), 16).rightJustified(8, '0')), 1);
    QCOMPARE(sim.count("rx write"), (expected.size() + 51) / 52 + rec.suspects);
    QCOMPARE(sim.count("rx start 0x00020000"), 1);
    QVERIFY(sim.wait_for("saved"));
    QCOMPARE(file_bytes(saved), expected);
    // A clean update waits for nothing, and the device's acceptance of the start proves it.
    QCOMPARE(rec.settles, 0);
    QVERIFY(rec.verified);

    // One "data length" line per block, with the frame's length.
    const QStringList lines = debug->lines();
    QVERIFY(count_lines(lines, "data length =  62") >= expected.size() / 52);
    QCOMPARE(count_lines(lines, QStringLiteral("data length =  %1").arg(expected.size() % 52 + 10)), 1);
    QVERIFY(!lines.join('\n').contains("ERROR"));
}

void WorkTest::container_without_start()
{
    const QString fw = dir.filePath("固件.qvb");
    const QByteArray expected = make_firmware(fw, 1500, 7);
    const QString saved = dir.filePath("saved-qvb.bin");
    devsim_process sim({"--mode", "boot", "--save", saved});
    QVERIFY(sim.ok());
    configure(sim.port(), fw, false);

    const update_record rec = run_update();
    QCOMPARE(rec.results, QVector<int>{0});
    QVERIFY(!rec.statuses.contains(starting));
    QCOMPARE(rec.trace.mid(rec.trace.size() - 2), (QStringList{"progress 100", "result 0"}));
    QVERIFY(!sim.has("rx start"));
    QCOMPARE(sim.count("rx write"), 29 + rec.suspects);
    sim.stop();
    QCOMPARE(file_bytes(saved), expected);
}

void WorkTest::wrong_answers_data()
{
    QTest::addColumn<QStringList>("sim_args");
    QTest::addColumn<QString>("logged");   // the rejection line, or empty
    QTest::addColumn<QString>("attempts"); // the request counted ...
    QTest::addColumn<int>("count");        // ... this many times
    QTest::addColumn<int>("code");
    QTest::newRow("handshake error") << QStringList{"--fault", "handshake:error"} << "" << "rx handshake" << 1 << -3;
    QTest::newRow("handshake loop-back") << QStringList{"--fault", "handshake:loopback"} << "" << "rx handshake" << 1 << -3;
    QTest::newRow("handshake short") << QStringList{"--fault", "handshake:short"} << "" << "rx handshake" << 1 << -3;
    QTest::newRow("info error") << QStringList{"--fault", "info:error"} << "239" << "rx info" << 1 << -3;
    QTest::newRow("info start byte") << QStringList{"--fault", "info:wrongstart"} << "243" << "rx info" << 1 << -3;
    // A bare information reply is byte for byte the request: the line's echo, never an answer.
    QTest::newRow("info short") << QStringList{"--fault", "info:short:0:0"} << "" << "rx info" << 11 << -4;
    QTest::newRow("erase error") << QStringList{"--fault", "erase:error"} << "291" << "rx erase" << 1 << -3;
    QTest::newRow("erase start byte") << QStringList{"--fault", "erase:wrongstart"} << "295" << "rx erase" << 1 << -3;
    QTest::newRow("fourth block rejected") << QStringList{"--fault", "write:error:3"} << "387" << "rx write" << 4 << -3;
    QTest::newRow("block start byte") << QStringList{"--fault", "write:wrongstart"} << "383" << "rx write" << 1 << -3;
    // Blocks would wrap to address 0: the firmware does not fit, and nothing is erased.
    QTest::newRow("erase range past 4 GiB") << QStringList{"--base", "0xFFFFFC00", "--flash-size", "0x400"}
                                            << "" << "rx erase" << 0 << -5;
    QTest::newRow("start refused") << QStringList{"--fault", "start:error"} << "421" << "rx start" << 1 << -3;
}

void WorkTest::wrong_answers()
{
    QFETCH(QStringList, sim_args);
    QFETCH(QString, logged);
    QFETCH(QString, attempts);
    QFETCH(int, count);
    QFETCH(int, code);
    const QString fw = dir.filePath("wrong.bin");
    make_firmware(fw, 2000);
    devsim_process sim(QStringList{"--mode", "boot"} + sim_args);
    QVERIFY(sim.ok());
    configure(sim.port(), fw);

    const update_record rec = run_update();
    QCOMPARE(rec.results, QVector<int>{code});
    QVERIFY(!rec.verified);
    if (code == -5)
        QVERIFY2(rec.detail.contains("base address 0xfffffc00"), qPrintable(rec.detail));
    const bool at_start = attempts == QLatin1String("rx start");
    QCOMPARE(rec.progress.contains(100), at_start);
    QCOMPARE(sim.count(attempts), count); // a wrong answer is never asked again
    QCOMPARE(sim.has("rx start"), at_start);
    const QStringList errors = debug->lines().filter("ERROR");
    if (logged.isEmpty()) {
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join('|')));
    } else {
        QCOMPARE(errors, QStringList{"ERROR ..\\korvanev2\\work " + logged});
    }
}

// Corrupt, stray-led and over-long replies look like no reply and use up every poll;
// late bytes are discarded before the next request instead of being taken as its answer.
void WorkTest::replies_that_count_as_none()
{
    devsim_process sim({"--mode", "boot", "--base", "0x8000",
                        "--fault", "info:corrupt", "--fault", "info:stray:1",
                        "--fault", "info:extra:2", "--fault", "info:split:3:1:20",
                        "--fault", "info:delay:4:1:250", "--fault", "erase:none",
                        "--fault", "write:none"});
    QVERIFY(sim.ok());
    configure(sim.port(), QString());
    work w;
    QVERIFY(w.open_serial());

    const auto info_polls = [&](int expected_status) {
        const quint64 before = w.poll_count();
        const int status = w.sync_info();
        [&] { QCOMPARE(status, expected_status); }();
        return w.poll_count() - before;
    };
    QCOMPARE(info_polls(0), quint64(41)); // corrupt
    QCOMPARE(info_polls(0), quint64(41)); // stray byte in front
    QCOMPARE(info_polls(0), quint64(41)); // extra byte behind
    QCOMPARE(w.device_address(), quint32(0));
    QVERIFY(info_polls(1) < 41);          // split in two pieces: taken whole
    QCOMPARE(w.device_address(), quint32(0x8000));
    QCOMPARE(info_polls(0), quint64(41)); // 250 ms late
    QVERIFY(sim.wait_for("fault delay"));
    // No event loop runs on a worker thread during an update, so the late reply waits in
    // the system's buffer, not in Qt's: the discard before the next request must reach it.
    QThread::msleep(300);
    QVERIFY(info_polls(1) < 41);
    QCOMPARE(sim.count("rx info"), 6);

    // Poll counts are counts, not a clock.
    quint64 before = w.poll_count();
    QVERIFY(w.receive_frame(200).isEmpty());
    QCOMPARE(w.poll_count() - before, quint64(41));
    before = w.poll_count();
    QVERIFY(w.receive_frame(4).isEmpty());
    QCOMPARE(w.poll_count() - before, quint64(1));
    before = w.poll_count();
    QVERIFY(!w.start_program()); // a bootloader may check the image for 2 s first
    QCOMPARE(w.poll_count() - before, quint64(501));

    // Each command's reply wait in polls: 601 for the erase, 101 for a block, 41 for a
    // restart request nobody answers (the bootloader ignores Modbus).
    w.set_image(QByteArray(1100, 'x'));
    QVERIFY(w.read_firmware());
    before = w.poll_count();
    QCOMPARE(w.erase_flash(), 0);
    QCOMPARE(w.poll_count() - before, quint64(601));
    QCOMPARE(w.erase_flash(), 1);
    before = w.poll_count();
    QCOMPARE(w.write_block(0x8000, "abcd", 4), 0);
    QCOMPARE(w.poll_count() - before, quint64(101));
    before = w.poll_count();
    QVERIFY(w.modbus_write_register(1, 9, 0x4D2E));
    QCOMPARE(w.poll_count() - before, quint64(41));
}

void WorkTest::progress_of_a_transfer_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QVector<int>>("progress");
    QTest::addColumn<bool>("changes_only");
    QTest::newRow("208 bytes") << 208 << QVector<int>{30, 47, 65, 82} << false;
    QTest::newRow("100 bytes") << 100 << QVector<int>{30, 66} << false;
    QTest::newRow("53 bytes") << 53 << QVector<int>{30, 98} << false;
    QTest::newRow("52 bytes") << 52 << QVector<int>{30} << false;
    // 80 blocks over 70 percentage points: ten of them would repeat the one before.
    QVector<int> each(70);
    std::iota(each.begin(), each.end(), 30);
    QTest::newRow("80 blocks, changes only") << 80 * 52 << each << true;
}

// One progress value per block, from where the block starts in the image; or, for the
// command line and the station, only the values that differ from the one before.
void WorkTest::progress_of_a_transfer()
{
    QFETCH(int, size);
    QFETCH(QVector<int>, progress);
    QFETCH(bool, changes_only);
    devsim_process sim({"--mode", "boot"});
    QVERIFY(sim.ok());
    configure(sim.port(), QString());
    work w;
    w.set_progress_changes_only(changes_only);
    w.set_image(QByteArray(size, 'k'));
    QVERIFY(w.open_serial());
    QCOMPARE(w.sync_info(), 1);
    QVERIFY(w.read_firmware());
    QCOMPARE(w.erase_flash(), 1);
    QSignalSpy spy(&w, &work::progress_set);
    QVERIFY(w.write_firmware());
    QVector<int> seen;
    for (const QList<QVariant> &args : spy)
        seen << args.at(0).toInt();
    QCOMPARE(seen, progress);
    QCOMPARE(w.confirmed_bytes(), qint64(size));
}

void WorkTest::late_replies_answer_one_request_data()
{
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<bool>("start");      // start the program, so that the device checks it
    QTest::addColumn<QString>("request"); // a request ...
    QTest::addColumn<int>("sent");        // ... sent this often in all
    QTest::addColumn<int>("settles");     // blocks that waited for owed replies
    QTest::addColumn<int>("suspects");    // write replies set aside as too late
    // Block 10's reply comes twice, the copy 300 ms later, and block 11 is lost: the copy,
    // taken in turn, would confirm the lost block. It comes far later than this line answers.
    QTest::newRow("copy, then a lost block") << QStringList{"write:twice:10:1:300", "write:none:11:1"} << false
                                            << "rx write" << 98 << 0 << 1;
    // Block 10's first reply comes just after block 11 was sent, and block 11 is lost: too
    // soon to look suspect, so block 11 waits until the owed reply is in.
    // At 9600 baud a block takes 70 ms, so a reply 160 ms late still looks like an answer.
    QTest::newRow("owed reply right behind") << QStringList{"--baud", "9600", "write:late:10:1:750", "write:none:12:1"}
                                             << false << "rx write" << 99 << 2 << 0;
    // Block 10's first reply comes after every owed reply's deadline, and block 11 is lost.
    QTest::newRow("later than three waits") << QStringList{"write:late:10:1:2500", "write:none:12:1"} << false
                                            << "rx write" << 99 << 1 << 1;
    // The device waits for its late reply before it reads the resend: that reply is set
    // aside as too late for the resend, and once the resend's own is in, the block goes
    // again (and is lost).
    QTest::newRow("a device that waits") << QStringList{"write:delay:10:1:700", "write:delay:11:1:5", "write:none:12:1"}
                                         << false << "rx write" << 100 << 2 << 1;
    // Every erase takes 1.5 reply waits and the device reads nothing meanwhile: the second
    // erase keeps it busy while the first block goes out. Blocks that get no answer while
    // the erase's reply is still owed are not counted against the block.
    QTest::newRow("a slow erase") << QStringList{"erase:delay:0:0:4500"} << false << "rx erase" << 2 << 1 << 0;
    // The first blocks answered 900 ms late, then a copy of a prompt block's reply comes
    // while a later block is lost: the line's pace comes from replies that were the only
    // one owed, never from a late answer to an earlier attempt.
    QTest::newRow("slow at first, then a copy") << QStringList{"write:late:0:10:900", "write:twice:11:1:195", "write:none:13:1"}
                                                << false << "rx write" << 103 << 5 << 1;
    // The start's acceptance said twice at once is one acceptance.
    QTest::newRow("start said twice") << QStringList{"start:twice:0:0:0"} << true << "rx start" << 1 << 0 << 0;
    // Every information reply 300 ms late: a late answer to the first request answers the
    // resend too. Late handshake answers are set aside by their code: no wait after them.
    QTest::newRow("information always late") << QStringList{"info:late:0:0:300", "handshake:late:0:1:300"} << true
                                             << "rx info" << 2 << 0 << 0;
    // A start request lost, or answered after the device checked the image for 1.8 s.
    QTest::newRow("start lost") << QStringList{"start:none"} << true << "rx start" << 2 << 0 << 0;
    QTest::newRow("start checked slowly") << QStringList{"start:late:0:1:1800"} << true << "rx start" << 1 << 0 << 0;
}

// A reply carries nothing that names its request, so one that comes late must never be
// taken for the answer to another; one late for the same request answers it as well.
void WorkTest::late_replies_answer_one_request()
{
    QFETCH(QStringList, faults);
    QFETCH(bool, start);
    QFETCH(QString, request);
    QFETCH(int, sent);
    QFETCH(int, settles);
    QFETCH(int, suspects);
    const QString fw = dir.filePath("late.bin");
    const QByteArray expected = make_firmware(fw, 5000);
    const QString saved = dir.filePath("late-saved.bin");
    QStringList args{"--mode", "boot", "--save", saved};
    for (const QString &f : faults)
        args << (f.contains(':') ? QStringList{"--fault", f} : QStringList{f});
    devsim_process sim(args);
    QVERIFY(sim.ok());
    configure(sim.port(), fw, start);

    const update_record rec = run_update();
    sim.stop();
    QCOMPARE(file_bytes(saved), expected);
    QCOMPARE(rec.results, QVector<int>{0});
    QCOMPARE(rec.verified, start);
    QCOMPARE(rec.confirmed, qint64(expected.size()));
    // A busy machine may set aside more replies than the faults call for, each costing a
    // block sent again.
    QVERIFY(rec.suspects >= suspects);
    const int extra = request == QLatin1String("rx write") ? rec.suspects - suspects : 0;
    QCOMPARE(sim.count(request), sent + extra);
    QCOMPARE(rec.settles, settles);
}

void WorkTest::lines_that_echo_data()
{
    QTest::addColumn<QStringList>("device"); // korvane-devsim's options
    QTest::addColumn<bool>("start");
    QTest::addColumn<bool>("echo");          // the operator says the line echoes
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("detail");     // in the worker's words for the failure
    QTest::addColumn<bool>("holds");         // the device holds the image at the end
    const QStringList none;
    // The copy of the start request goes ahead of the device's refusal: only the refusal
    // answers.
    QTest::newRow("start echoed, then refused") << QStringList{"--baud", "9600", "--fault", "start:echo", "--fault", "start:error"}
                                                << true << false << -3 << "refused" << true;
    // From block 30 on the device is gone and the line sends every request back.
    QTest::newRow("device gone, line loops back") << QStringList{"--fault", "write:gone:30"} << true << false
                                                  << -4 << "only echoed" << false;
    QTest::newRow("device gone, no start") << QStringList{"--fault", "write:gone:30"} << false << false << -4
                                           << "only echoed" << false;
    QTest::newRow("echoing adapter, not said") << QStringList{"--echo"} << true << false << -3
                                               << work::echo_warning << false;
    QTest::newRow("echoing adapter, said") << QStringList{"--echo", "--fault", "write:stray:5"} << true << true
                                           << 0 << "" << true;
    // Each information reply comes after the next attempt went out, on this simulator after
    // its echo too: a late answer to an earlier attempt at the same request answers it.
    QTest::newRow("echoing adapter, said, replies late") << QStringList{"--echo", "--fault", "info:delay:0:0:300"}
                                                         << true << true << 0 << "" << true;
    QTest::newRow("said, but no echo") << none << true << true << -4 << "leave out --echo" << false;
    // Every block answered twice at once: a copy cannot be told from an earlier block's late
    // reply, but the device's check of the image at the start proves the blocks.
    QTest::newRow("blocks answered twice") << QStringList{"--fault", "write:twice:0:0:0"} << true << false << 0
                                           << "" << true;
    QTest::newRow("blocks answered twice, no start") << QStringList{"--fault", "write:twice:0:0:0"} << false
                                                     << false << -4 << "twice at once" << false;
}

// A line may give back what is sent: such a copy is never the device's answer, and on a
// line said to echo it is checked and dropped.
void WorkTest::lines_that_echo()
{
    QFETCH(QStringList, device);
    QFETCH(bool, start);
    QFETCH(bool, echo);
    QFETCH(int, result);
    QFETCH(QString, detail);
    QFETCH(bool, holds);
    const QString fw = dir.filePath("echo.bin");
    const QByteArray expected = make_firmware(fw, 3000);
    const QString saved = dir.filePath("echo-saved.bin");
    QFile::remove(saved);
    devsim_process sim(QStringList{"--mode", "boot", "--save", saved} + device);
    QVERIFY(sim.ok());
    configure(sim.port(), fw, start);
    const update_record rec = run_update({}, [&](work &w) {
        w.set_line_echoes(echo);
        w.set_handshake_limit_ms(1000);
    });
    sim.stop();
    QVERIFY2(rec.results == QVector<int>{result}, qPrintable(rec.trace.constLast() + ": " + rec.detail));
    QVERIFY2(rec.detail.contains(detail), qPrintable(rec.detail));
    QCOMPARE(rec.verified, result == 0 && start);
    QCOMPARE(file_bytes(saved) == expected, holds);
}

// Without an answer to the start, the image is written but nothing proves it: no success,
// unless the operator says the bootloader starts the program without answering.
void WorkTest::silent_start()
{
    const QString fw = dir.filePath("silent.bin");
    make_firmware(fw, 1100);
    for (const bool accepted : {false, true}) {
        devsim_process sim({"--mode", "boot", "--fault", "start:none:0:0"});
        QVERIFY(sim.ok());
        configure(sim.port(), fw);
        const update_record rec = run_update({}, [&](work &w) { w.set_silent_start_ok(accepted); });
        QCOMPARE(sim.count("rx start"), work::start_attempts);
        QCOMPARE(rec.results, QVector<int>{accepted ? 0 : -4});
        QVERIFY(!rec.verified);
        QCOMPARE(rec.detail.contains("never confirmed"), !accepted);
    }
}

// Such a port fails to open after Qt took a descriptor, which another open may reuse: the
// update reports -1, never waits on the closed port, and ends when the handshake gives up.
void WorkTest::ports_that_are_no_serial_line()
{
    const QString regular = dir.filePath("regular-file");
    QFile file(regular);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    for (const QString &name : {QStringLiteral("/dev/zero"), QStringLiteral("/dev/null"), regular, dir.path()}) {
        UpdateSettings own;
        own.port_name = name;
        own.baud_rate = 115200;
        own.product_descriptor = QString::fromLatin1(modbus::default_descriptor);
        work w(own);
        w.set_handshake_limit_ms(100);
        QSignalSpy results(&w, &work::result);
        w.start();
        QCOMPARE(results.count(), 2);
        QCOMPARE(results.at(0).at(0).toInt(), -1);
        QCOMPARE(results.at(1).at(0).toInt(), -4);
        QCOMPARE(w.poll_count(), quint64(0));
    }
}

void WorkTest::firmware_files_data()
{
    QTest::addColumn<int>("size"); // -1: no file
    QTest::newRow("missing") << -1;
    QTest::newRow("empty") << 0;
    QTest::newRow("too short for the length stamp") << 1024;
}

// A file that cannot become an image ends the update with -5 after the information
// exchange, before anything is erased.
void WorkTest::firmware_files()
{
    QFETCH(int, size);
    const QString fw = dir.filePath(QStringLiteral("fw-%1.bin").arg(size));
    if (size >= 0)
        make_firmware(fw, size);
    devsim_process sim({"--mode", "boot"});
    QVERIFY(sim.ok());
    configure(sim.port(), fw);

    const update_record rec = run_update();
    QCOMPARE(rec.results, QVector<int>{-5});
    QCOMPARE(rec.progress.last(), 20);
    QCOMPARE(rec.statuses.last(), reading);
    QCOMPARE(sim.count("rx info"), 1);
    QVERIFY(!sim.has("rx erase"));
    QVERIFY(!sim.has("rx write"));

    // The step alone: -5 once, and no image left behind.
    work w;
    QSignalSpy results(&w, &work::result);
    QVERIFY(!w.read_firmware());
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toInt(), -5);
    QVERIFY(w.image().isEmpty());

    // An image loaded once for several devices is taken as it is, file or no file: the
    // same bytes, not a copy of them.
    const QByteArray loaded = make_firmware(dir.filePath("shared.bin"), 3000);
    w.set_image(loaded);
    QVERIFY(w.read_firmware());
    QCOMPARE(results.count(), 1);
    QCOMPARE(w.image().constData(), loaded.constData());
}

void WorkTest::stopping_data()
{
    QTest::addColumn<QStringList>("sim_args");
    QTest::addColumn<QString>("stop_at");  // the trace line that triggers the stop
    QTest::addColumn<QString>("asked");    // the request of the loop being stopped
    QTest::addColumn<int>("most");         // how often it may have been sent by then
    // In boot mode nobody answers the restart request, so the stop lands in its waits.
    QTest::newRow("restart request") << QStringList{"--mode", "boot"} << "status " + restarting
                                     << "rx handshake" << 0;
    QTest::newRow("handshake") << QStringList{"--mode", "app", "--restart", "0x1"}
                               << "status " + communicating << "rx handshake" << 2;
    QTest::newRow("information") << QStringList{"--mode", "boot", "--fault", "info:none:0:0"}
                                 << "status " + synchronising << "rx info" << 2;
    QTest::newRow("erase") << QStringList{"--mode", "boot", "--fault", "erase:none:0:0"}
                           << "status " + erasing << "rx erase" << 1;
    QTest::newRow("write") << QStringList{"--mode", "boot", "--fault", "write:none:3:0"}
                           << "status " + updating << "rx write" << 5;
}

// A stop request ends the sequence at its next wait, without a result code.
void WorkTest::stopping()
{
    QFETCH(QStringList, sim_args);
    QFETCH(QString, stop_at);
    QFETCH(QString, asked);
    QFETCH(int, most);
    const QString fw = dir.filePath("stop.bin");
    make_firmware(fw, 4000);
    devsim_process sim(sim_args);
    QVERIFY(sim.ok());
    configure(sim.port(), fw);

    const update_record rec = run_update([&](work &w, const QString &line) {
        if (line == stop_at)
            w.request_stop();
    });
    QVERIFY(rec.ended);
    QVERIFY2(rec.results.isEmpty(), qPrintable(rec.trace.join('|')));
    QVERIFY(!rec.progress.contains(100));
    QVERIFY2(sim.count(asked) <= most, qPrintable(sim.events().join('|')));
    QVERIFY(!sim.has("rx start"));
}

// A worker given its own record ignores the window's; the trace sees every byte.
void WorkTest::own_settings_and_trace()
{
    devsim_process sim({"--mode", "boot", "--base", "0x1234", "--fault", "info:stray"});
    QVERIFY(sim.ok());
    configure(dir.filePath("not-this-one"), QString());
    UpdateSettings own;
    own.port_name = sim.port();
    own.baud_rate = 9600;
    own.parity = QStringLiteral("E");
    own.stop_bits = 2;
    work w(own);
    QStringList wire;
    w.set_trace([&](work::wire kind, const QByteArray &bytes) {
        const char *names[] = {"sent", "received", "discarded"};
        wire << QString::fromLatin1(names[int(kind)]) + ' ' + QString::fromLatin1(frame::hex(bytes));
    });
    QVERIFY(w.open_serial());
    QCOMPARE(w.port()->setup().name, sim.port());
    QCOMPARE(w.port()->setup().parity, QSerialPort::EvenParity);
    QCOMPARE(w.port()->setup().stop_bits, QSerialPort::TwoStop);
    QCOMPARE(w.port()->setup().baud_rate, 9600);
    QCOMPARE(w.sync_info(), 0); // the stray byte spoils the first reply
    QCOMPARE(w.sync_info(), 1);
    QCOMPARE(w.device_address(), quint32(0x1234));
    QCOMPARE(wire.first(), QStringLiteral("sent AA 05 04 00 B3"));
    QVERIFY(wire.join('|').startsWith("sent AA 05 04 00 B3|received 00"));
    QCOMPARE(wire.filter("sent").size(), 2);
    QCOMPARE(wire.last(), QStringLiteral("received AA 09 04 00 00 12 34 00 FD"));
}

// The rest of the first echo is still arriving when the second value goes out: the second
// request must reach the device all the same, not die in a buffer when the port closes.
void WorkTest::restart_with_a_late_echo()
{
    const QString fw = dir.filePath("echo.bin");
    make_firmware(fw, 1500);
    devsim_process sim({"--mode", "app", "--fault", "modbus:split:0:1:5"});
    QVERIFY(sim.ok());
    configure(sim.port(), fw);
    const update_record rec = run_update({}, [](work &w) { w.set_handshake_limit_ms(2000); });
    QCOMPARE(rec.results, QVector<int>{0});
    QCOMPARE(sim.count("modbus 0x01 0x0009 0x6e3b ok"), 1);
}

QTEST_GUILESS_MAIN(WorkTest)
#include "test_work.moc"
