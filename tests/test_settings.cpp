#include "update_settings.h"

#include <QThread>
#include <QtTest>

#include <type_traits>

// The record must stay the one shared instance; a copy would silently desynchronise
// the window and the worker.
static_assert(!std::is_copy_constructible_v<UpdateSettings>);
static_assert(!std::is_copy_assignable_v<UpdateSettings>);

class SettingsTest : public QObject
{
    Q_OBJECT

private slots:
    // Runs first: nothing has touched the record yet.
    void starts_with_defaults()
    {
        const UpdateSettings &s = UpdateSettings::instance();
        QVERIFY(s.port_name.isEmpty());
        QCOMPARE(s.baud_rate, 0);
        QVERIFY(s.parity.isEmpty());
        QCOMPARE(s.stop_bits, 0);
        QVERIFY(s.firmware_path.isEmpty());
        QCOMPARE(s.auto_start, false);
        QVERIFY(s.product_descriptor.isEmpty());
    }

    void is_one_instance_across_threads()
    {
        UpdateSettings *here = &UpdateSettings::instance();
        QCOMPARE(&UpdateSettings::instance(), here);

        UpdateSettings *there = nullptr;
        QScopedPointer<QThread> thread(QThread::create([&] { there = &UpdateSettings::instance(); }));
        thread->start();
        QVERIFY(thread->wait(10000));
        QCOMPARE(there, here);
    }

    // The window writes on its thread, then starts the worker's thread, which reads.
    void write_is_seen_by_a_thread_started_afterwards()
    {
        UpdateSettings &s = UpdateSettings::instance();
        s.port_name = QStringLiteral("ttyUSB0");
        s.baud_rate = 115200;
        s.parity = QStringLiteral("E");
        s.stop_bits = 2;
        s.firmware_path = QStringLiteral("/tmp/固件 v2.qvb");
        s.auto_start = true;
        s.product_descriptor = QStringLiteral("modbus,1,9,0x4D2E,0x6E3B");

        QStringList seen;
        QScopedPointer<QThread> thread(QThread::create([&] {
            const UpdateSettings &r = UpdateSettings::instance();
            seen << r.port_name << QString::number(r.baud_rate) << r.parity
                 << QString::number(r.stop_bits) << r.firmware_path
                 << (r.auto_start ? "true" : "false") << r.product_descriptor;
        }));
        thread->start();
        QVERIFY(thread->wait(10000));

        const QStringList expected{"ttyUSB0", "115200", "E", "2", "/tmp/固件 v2.qvb", "true",
                                   "modbus,1,9,0x4D2E,0x6E3B"};
        QCOMPARE(seen, expected);
    }
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "test_settings.moc"
