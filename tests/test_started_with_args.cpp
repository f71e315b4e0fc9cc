// The window started with one argument, the least that counts: arguments carry no
// options, they only keep the lists empty and show up in the log; the download action
// then reads empty line-setting lists.
#include "diaglogprogress.h"
#include "mainwindow.h"
#include "test_progress_dialog_steps.h"
#include "update_settings.h"
#include "widget_test_main.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSerialPortInfo>

class StartedWithArgsTest : public QObject
{
    Q_OBJECT

private slots:
    void lists_stay_empty()
    {
        MainWindow w;
        QCOMPARE(w.windowTitle(), QStringLiteral("固件更新工具V2.0"));
        for (const char *name : {"cB_serial", "cB_baud", "cB_stopbit", "cB_checkbit", "cB_product"}) {
            auto *box = w.findChild<QComboBox *>(name);
            QCOMPARE(box->count(), 0);
            QCOMPARE(box->currentIndex(), -1);
        }
        QVERIFY(w.findChild<QRadioButton *>("rB_auto")->isChecked());
    }

    void cmd_line_counts_program_and_arguments()
    {
        const QStringList logged = debug_lines_during([] { MainWindow w; });
        const QString program = QCoreApplication::arguments().at(0);
        QCOMPARE(logged.filter("cmd "),
                 QStringList{QStringLiteral("cmd \"%1 --port=COM3\" + 2").arg(program)});
    }

    // The operator can still fill the port list by hand.
    void scan_still_fills_the_port_list()
    {
        MainWindow w;
        QTest::mouseClick(w.findChild<QPushButton *>("pB_scan"), Qt::LeftButton);
        QCOMPARE(w.findChild<QComboBox *>("cB_serial")->count(),
                 QSerialPortInfo::availablePorts().size());
    }

    // With no parity entry to read, the record gets "N"; the empty number lists give 0.
    // The port does not exist, so the worker reports -1 and keeps trying until the
    // operator closes the dialog.
    void empty_lists_store_no_parity_and_zeros()
    {
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.findChild<QComboBox *>("cB_checkbit")->currentIndex(), -1);
        QLineEdit *typed = w.findChild<QComboBox *>("cB_serial")->lineEdit();
        QTest::keyClicks(typed, QStringLiteral("/dev/korvane-absent"));
        typed->insert(QStringLiteral("(忙)")); // as pasted: key clicks are ASCII only
        w.findChild<QLineEdit *>("lE_filePath")->setText(QStringLiteral("/nonexistent/app.bin"));

        seen_box port_box, failed;
        modal_steps steps;
        steps.then("port failure box", [] { return front_box() != nullptr; }, [&] {
                 port_box = seen_box::of(front_box());
                 press_only_button(front_box());
             })
            .then("dialog", [] {
                return qobject_cast<diaglogProgress *>(QApplication::activeModalWidget()) != nullptr;
            },
                  [] { QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Escape); })
            .then("failed box", [] { return front_box() != nullptr; }, [&] {
                failed = seen_box::of(front_box());
                press_only_button(front_box());
            });
        steps.run();
        QTest::mouseClick(w.findChild<QPushButton *>("pB_downLoader"), Qt::LeftButton);
        QVERIFY2(steps.finished(), qPrintable(steps.stuck));

        QCOMPARE(port_box.text, QStringLiteral("错误码:打开串口失败,特殊情况更新请无视此错误！！"));
        QCOMPARE(failed.text, QStringLiteral("更新失败"));
        const UpdateSettings &s = UpdateSettings::instance();
        QCOMPARE(s.parity, QStringLiteral("N"));
        QCOMPARE(s.baud_rate, 0);
        QCOMPARE(s.stop_bits, 0);
        QCOMPARE(s.port_name, QStringLiteral("/dev/korvane-absent"));
        QCOMPARE(s.firmware_path, QStringLiteral("/nonexistent/app.bin"));
    }
};

int main(int argc, char **argv)
{
    return run_widget_test<StartedWithArgsTest>(argc, argv, {QStringLiteral("--port=COM3")});
}
#include "test_started_with_args.moc"
