// The handshake loop's time limit, and a port that is missing when the update starts.
#include "engine_harness.h"

#include <QtTest>

class WorkHandshakeTest : public QObject
{
    Q_OBJECT

private slots:
    void handshake_answer_after_the_limit();
    void port_that_appears_during_the_handshake();
    void port_that_never_exists();

private:
    QTemporaryDir dir;
};

// An answer after the limit counts as none.
void WorkHandshakeTest::handshake_answer_after_the_limit()
{
    const QString fw = dir.filePath("late.bin");
    make_firmware(fw, 2000);
    devsim_process sim({"--mode", "boot", "--fault", "handshake:delay:0:1:150"});
    QVERIFY(sim.ok());
    configure(sim.port(), fw);

    // The attempt takes at least its 20 ms pause plus the 150 ms delay: past a 100 ms limit.
    const update_record rec = run_update({}, [](work &w) { w.set_handshake_limit_ms(100); });
    QCOMPARE(rec.results, QVector<int>{-4});
    QCOMPARE(sim.count("rx handshake"), 1);
    QVERIFY(sim.has("fault delay handshake"));
    QVERIFY(!sim.has("rx info"));
    QCOMPARE(rec.progress.last(), 10);
}

// -1 first, then the update goes on once the port can be opened by a handshake attempt.
void WorkHandshakeTest::port_that_appears_during_the_handshake()
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
void WorkHandshakeTest::port_that_never_exists()
{
    const QString fw = dir.filePath("never.bin");
    make_firmware(fw, 2000);
    configure(dir.filePath("ttyNONE"), fw);
    const update_record rec = run_update();
    QCOMPARE(rec.results, (QVector<int>{-1, -4}));
    QCOMPARE(rec.progress, (QVector<int>{5, 10}));
    QCOMPARE(rec.statuses.last(), QStringLiteral("正在建立通信......"));
}

QTEST_GUILESS_MAIN(WorkHandshakeTest)
#include "test_work_handshake.moc"
