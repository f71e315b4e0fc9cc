#include "settings_harness.h"

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
        const settings_values written{"ttyUSB0", 115200, "E", 2, "/tmp/固件 v2.qvb", true,
                                      "modbus,1,9,0x4D2E,0x6E3B"};
        fill_settings(UpdateSettings::instance(), written);

        QStringList seen;
        QScopedPointer<QThread> thread(
            QThread::create([&] { seen = settings_fields(UpdateSettings::instance()); }));
        thread->start();
        QVERIFY(thread->wait(10000));
        QCOMPARE(seen, settings_fields(written));
    }
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "test_settings.moc"
