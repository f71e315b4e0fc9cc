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
        QCOMPARE(settings_fields(UpdateSettings::instance()), settings_fields(settings_values{}));
    }

    // The window writes on its thread, then starts the worker's thread, which reads the
    // same one record.
    void write_is_seen_by_a_thread_started_afterwards()
    {
        const settings_values written{"ttyUSB0", 115200, "E", 2, "/tmp/固件 v2.qvb", true,
                                      "modbus,1,9,0x4D2E,0x6E3B"};
        UpdateSettings *here = &UpdateSettings::instance();
        QCOMPARE(&UpdateSettings::instance(), here);
        fill_settings(*here, written);

        UpdateSettings *there = nullptr;
        QStringList seen;
        QScopedPointer<QThread> thread(QThread::create([&] {
            there = &UpdateSettings::instance();
            seen = settings_fields(*there);
        }));
        thread->start();
        QVERIFY(thread->wait(10000));
        QCOMPARE(there, here);
        QCOMPARE(seen, settings_fields(written));
    }
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "test_settings.moc"
