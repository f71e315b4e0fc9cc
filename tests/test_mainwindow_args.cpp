#include "mainwindow.h"
#include "widget_test_main.h"

#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSerialPortInfo>

// The program started with one argument, the least that counts: arguments carry no
// options, they only keep the lists empty and show up in the log.
class MainWindowArgsTest : public QObject
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
};

int main(int argc, char **argv)
{
    return run_widget_test<MainWindowArgsTest>(argc, argv, {QStringLiteral("--port=COM3")});
}
#include "test_mainwindow_args.moc"
