// The worker's attempt limits at their edges, and the handshake's 30-second limit.
#include "engine_harness.h"

#include <QtTest>

class WorkLimitsTest : public QObject
{
    Q_OBJECT

private slots:
    void attempts_data();
    void attempts();
    void handshake_answer_after_the_limit();
    void port_that_appears_during_the_handshake();
    void port_that_never_exists();

private:
    QTemporaryDir dir;
};

void WorkLimitsTest::attempts_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("asked");
    QTest::addColumn<int>("expected_requests");
    QTest::addColumn<int>("code");
    QTest::newRow("information: 10 silent, the 11th answered") << "info:none:0:10" << "rx info" << 11 << 0;
    QTest::newRow("information: 11 silent") << "info:none:0:11" << "rx info" << 11 << -4;
    QTest::newRow("erase: 3 silent, the 4th answered") << "erase:none:0:3" << "rx erase" << 4 << 0;
    QTest::newRow("erase: 4 silent") << "erase:none:0:4" << "rx erase" << 4 << -4;
    // The second block (requests 2 to 7) is the one that goes unanswered.
    QTest::newRow("block: 5 silent, the 6th answered") << "write:none:1:5" << "rx write" << 7 + 1 << 0;
    QTest::newRow("block: 6 silent") << "write:none:1:6" << "rx write" << 7 << -4;
}

void WorkLimitsTest::attempts()
{
    QFETCH(QString, fault);
    QFETCH(QString, asked);
    QFETCH(int, expected_requests);
    QFETCH(int, code);
    const QString fw = dir.filePath("fw.bin");
    const QByteArray img = make_firmware(fw, 1100); // 1104 bytes: 22 blocks, the last 12 long
    QVERIFY(!img.isEmpty());
    devsim_process sim({"--mode", "boot", "--fault", fault});
    QVERIFY(sim.ok());
    configure(sim.port(), fw);

    const update_record rec = run_update();
    QCOMPARE(rec.results, QVector<int>{code});
    if (asked == QLatin1String("rx write")) {
        const int blocks = (img.size() + 51) / 52;
        QCOMPARE(sim.count(asked), code == 0 ? blocks + 5 : expected_requests);
        // Every attempt reports the progress of its block, the same value each time.
        const int second_block = int(52.0 / img.size() * 70 + 30);
        QCOMPARE(rec.progress.count(second_block), code == 0 ? 6 : 6);
    } else {
        QCOMPARE(sim.count(asked), expected_requests);
    }
    QCOMPARE(rec.progress.contains(100), code == 0);
    QCOMPARE(sim.has("image ok"), code == 0);
}

// An answer after the limit counts as none.
void WorkLimitsTest::handshake_answer_after_the_limit()
{
    const QString fw = dir.filePath("late.bin");
    make_firmware(fw, 2000);
    devsim_process sim({"--mode", "boot", "--fault", "handshake:none:0:2"});
    QVERIFY(sim.ok());
    configure(sim.port(), fw);

    // Two silent attempts take at least 2 x (20 ms + 41 polls of 5 ms); the third answers.
    const update_record rec = run_update({}, [](work &w) { w.set_handshake_limit_ms(300); });
    QCOMPARE(rec.results, QVector<int>{-4});
    QCOMPARE(sim.count("rx handshake"), 3);
    QVERIFY(!sim.has("rx info"));
    QCOMPARE(rec.progress.last(), 10);
}

// -1 first, then the update goes on once the port can be opened by a handshake attempt.
void WorkLimitsTest::port_that_appears_during_the_handshake()
{
    const QString link = dir.filePath("ttyLATE");
    const QString fw = dir.filePath("appear.bin");
    make_firmware(fw, 3000);
    configure(link, fw);
    std::unique_ptr<devsim_process> sim;
    const update_record rec = run_update([&](work &, const QString &line) {
        if (line == QLatin1String("result -1"))
            sim = std::make_unique<devsim_process>(QStringList{"--mode", "boot", "--link", link});
    });
    QVERIFY(sim && sim->ok());
    QCOMPARE(rec.results, (QVector<int>{-1, 0}));
    QVERIFY(sim->wait_for("image ok"));
}

// No port at all: -1 at once, then -4 when the 30-second handshake limit has passed.
void WorkLimitsTest::port_that_never_exists()
{
    const QString fw = dir.filePath("never.bin");
    make_firmware(fw, 2000);
    configure(dir.filePath("ttyNONE"), fw);
    const update_record rec = run_update();
    QCOMPARE(rec.results, (QVector<int>{-1, -4}));
    QCOMPARE(rec.progress, (QVector<int>{5, 10}));
    QCOMPARE(rec.statuses.last(), QStringLiteral("正在建立通信......"));
}

QTEST_GUILESS_MAIN(WorkLimitsTest)
#include "test_work_limits.moc"
