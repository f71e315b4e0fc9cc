// The download action in a window started with an argument, whose line-setting lists
// stay empty.
#include "diaglogprogress.h"
#include "mainwindow.h"
#include "test_progress_dialog_steps.h"
#include "update_settings.h"
#include "widget_test_main.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

class DownloadArgsTest : public QObject
{
    Q_OBJECT

private slots:
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
    return run_widget_test<DownloadArgsTest>(argc, argv, {QStringLiteral("--port=COM3")});
}
#include "test_download_args.moc"
