// The worker's attempt limits at their edges.
#include "engine_harness.h"

#include <QtTest>

class WorkLimitsTest : public QObject
{
    Q_OBJECT

private slots:
    void attempts_data();
    void attempts();

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
    QTest::newRow("block: 5 silent, the 6th answered") << "write:none:1:5" << "rx write" << 22 + 5 << 0;
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
    // A reply a busy machine made look late sends its block again, not counted as an attempt.
    const int resent = asked == QLatin1String("rx write") ? rec.suspects : 0;
    QCOMPARE(sim.count(asked), expected_requests + resent);
    if (asked == QLatin1String("rx write")) {
        // Every attempt reports the progress of its block, the same value each time.
        const int second_block = int(52.0 / img.size() * 70 + 30);
        QVERIFY(rec.progress.count(second_block) >= 6);
    }
    QCOMPARE(rec.progress.contains(100), code == 0);
    QCOMPARE(sim.has("image ok"), code == 0);
}

QTEST_GUILESS_MAIN(WorkLimitsTest)
#include "test_work_limits.moc"
