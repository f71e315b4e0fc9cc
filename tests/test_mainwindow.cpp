#include "mainwindow.h"
#include "test_progress_dialog_steps.h"
#include "widget_test_main.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSerialPortInfo>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimer>

namespace {

// What the port list must show for the ports present right now.
QStringList expected_port_entries()
{
    QStringList entries;
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
        entries << port.portName() + (port.isBusy() ? QStringLiteral("(忙)") : QStringLiteral("(闲)"));
    return entries;
}

QStringList entries(const QComboBox *box)
{
    QStringList list;
    for (int i = 0; i < box->count(); ++i)
        list << box->itemText(i);
    return list;
}

// Object name of each item of a layout, "<spacer>" for spacers.
QStringList item_names(const QLayout *layout)
{
    QStringList names;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        if (item->widget())
            names << item->widget()->objectName();
        else if (item->layout())
            names << item->layout()->objectName();
        else
            names << QStringLiteral("<spacer>");
    }
    return names;
}

// Answers the next modal file dialog with `answer` once it is up; records what it
// looked like so the test can check caption, filter and start location.
struct FileDialogAnswer
{
    QString title;
    QStringList filters;
    QString directory;
    QStringList preselected;
    bool seen = false;

    void arm(const QString &answer)
    {
        QTimer::singleShot(0, [this, answer] { answer_when_up(answer, 0); });
    }

private:
    void answer_when_up(const QString &answer, int polls)
    {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog) {
            if (polls < 500)
                QTimer::singleShot(10, [=] { answer_when_up(answer, polls + 1); });
            return;
        }
        seen = true;
        title = dialog->windowTitle();
        filters = dialog->nameFilters();
        directory = dialog->directory().absolutePath();
        preselected = dialog->selectedFiles();
        if (answer.isEmpty()) {
            dialog->reject();
        } else {
            dialog->selectFile(answer);
            static_cast<QDialog *>(dialog)->accept(); // QFileDialog hides it
        }
    }
};

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void form_is_built_in_order()
    {
        MainWindow w;
        QCOMPARE(w.objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(w.size(), QSize(944, 192));
        QCOMPARE(w.centralWidget()->objectName(), QStringLiteral("centralwidget"));
        QCOMPARE(w.menuBar()->objectName(), QStringLiteral("menubar"));
        QCOMPARE(w.menuBar()->geometry(), QRect(0, 0, 944, 26));
        QVERIFY(w.menuBar()->actions().isEmpty());
        QCOMPARE(w.statusBar()->objectName(), QStringLiteral("statusbar"));

        const QLayout *column = w.centralWidget()->layout();
        QCOMPARE(column->objectName(), QStringLiteral("verticalLayout"));
        QVERIFY(qobject_cast<const QVBoxLayout *>(column));
        QCOMPARE(item_names(column),
                 QStringList({"horizontalLayout", "horizontalLayout_3", "horizontalLayout_2",
                              "horizontalLayout_4"}));

        const QList<QPair<QString, QStringList>> rows{
            {"horizontalLayout",
             {"label_2", "cB_serial", "label_3", "cB_baud", "label_4", "cB_stopbit", "label_5",
              "cB_checkbit", "pB_scan", "pB_connect"}},
            {"horizontalLayout_3", {"label_6", "cB_product"}},
            {"horizontalLayout_2", {"label", "lE_filePath", "pB_select", "pB_downLoader"}},
            {"horizontalLayout_4", {"<spacer>", "rB_auto"}},
        };
        for (const auto &row : rows) {
            auto *layout = w.findChild<QHBoxLayout *>(row.first);
            QVERIFY2(layout, qPrintable(row.first));
            QCOMPARE(item_names(layout), row.second);
        }

        // The kind of each widget is what its name prefix says.
        const QList<QPair<QString, const char *>> prefixes{
            {"label", "QLabel"}, {"cB_", "QComboBox"}, {"pB_", "QPushButton"},
            {"lE_", "QLineEdit"}, {"rB_", "QRadioButton"}};
        for (const auto &row : rows)
            for (const QString &name : row.second)
                for (const auto &prefix : prefixes)
                    if (name.startsWith(prefix.first))
                        QCOMPARE(w.findChild<QWidget *>(name)->metaObject()->className(),
                                 prefix.second);

        QSpacerItem *spacer = w.findChild<QHBoxLayout *>("horizontalLayout_4")->itemAt(0)->spacerItem();
        QVERIFY(spacer);
        QCOMPARE(spacer->sizeHint(), QSize(40, 20));
        QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    }

    void texts_are_the_chinese_ones()
    {
        MainWindow w;
        QCOMPARE(w.windowTitle(), QStringLiteral("固件更新工具V2.0"));
        const QList<QPair<QString, QString>> texts{
            {"label_2", "串口:"}, {"label_3", "波特率:"}, {"label_4", "停止位:"},
            {"label_5", "校验位:"}, {"pB_scan", "扫描"}, {"pB_connect", "连接"},
            {"label_6", "产品:"}, {"label", "固件:"}, {"pB_select", "选择"},
            {"pB_downLoader", "下载"}, {"rB_auto", "更新完自动启动"}};
        for (const auto &t : texts) {
            QObject *o = w.findChild<QObject *>(t.first);
            QVERIFY2(o, qPrintable(t.first));
            QCOMPARE(o->property("text").toString(), t.second);
        }
    }

    void initial_states_and_editability()
    {
        MainWindow w;
        auto *serial = w.findChild<QComboBox *>("cB_serial");
        QVERIFY(serial->isEditable());
        for (const char *name : {"cB_baud", "cB_stopbit", "cB_checkbit", "cB_product"})
            QVERIFY2(!w.findChild<QComboBox *>(name)->isEditable(), name);

        QCOMPARE(w.findChild<QComboBox *>("cB_product")->count(), 0);
        auto *path = w.findChild<QLineEdit *>("lE_filePath");
        QVERIFY(path->text().isEmpty());
        QVERIFY(!path->isReadOnly());
        auto *autoStart = w.findChild<QRadioButton *>("rB_auto");
        QVERIFY(autoStart->isChecked());
        QVERIFY(!autoStart->autoExclusive());
        QVERIFY(w.auto_start);
        QVERIFY(w.statusBar()->currentMessage().isEmpty());

        // pB_connect has no action: pressing it changes nothing.
        const QStringList before = entries(serial);
        QTest::mouseClick(w.findChild<QPushButton *>("pB_connect"), Qt::LeftButton);
        QCOMPARE(entries(serial), before);
        QCOMPARE(w.findChild<QComboBox *>("cB_product")->count(), 0);
    }

    void size_policies_give_width_to_lists_and_path()
    {
        MainWindow w;
        const QStringList lists{"cB_serial", "cB_baud", "cB_stopbit", "cB_checkbit", "cB_product"};
        const QStringList growing = lists + QStringList{"lE_filePath"};
        for (const QString &name : lists) {
            const QSizePolicy p = w.findChild<QWidget *>(name)->sizePolicy();
            QCOMPARE(p.horizontalPolicy(), QSizePolicy::Expanding);
            QCOMPARE(p.verticalPolicy(), QSizePolicy::Fixed);
            QCOMPARE(p.horizontalStretch(), 0);
            QCOMPARE(p.verticalStretch(), 0);
        }
        QCOMPARE(w.findChild<QWidget *>("lE_filePath")->sizePolicy(), QLineEdit().sizePolicy());

        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QStringList fixed{"label_2", "label_3", "label_4", "label_5", "pB_scan",
                                "pB_connect", "label_6", "label", "pB_select",
                                "pB_downLoader", "rB_auto"};
        QMap<QString, QSize> before;
        for (const QString &name : growing + fixed)
            before[name] = w.findChild<QWidget *>(name)->size();

        w.resize(1600, 400);
        QTRY_COMPARE(w.size(), QSize(1600, 400));
        for (const QString &name : growing + fixed) {
            const QWidget *child = w.findChild<QWidget *>(name);
            QCOMPARE(child->height(), before[name].height());
            if (growing.contains(name))
                QVERIFY2(child->width() > before[name].width(), qPrintable(name));
            else
                QCOMPARE(child->width(), before[name].width());
        }
    }

    void lists_are_filled_without_arguments()
    {
        MainWindow w;
        auto *baud = w.findChild<QComboBox *>("cB_baud");
        QCOMPARE(entries(baud),
                 QStringList({"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200",
                              "230400", "460800", "921600", "1843200"}));
        QCOMPARE(baud->currentText(), QStringLiteral("115200"));

        auto *stop = w.findChild<QComboBox *>("cB_stopbit");
        QCOMPARE(entries(stop), QStringList({"1", "2"}));
        QCOMPARE(stop->currentText(), QStringLiteral("1"));

        auto *parity = w.findChild<QComboBox *>("cB_checkbit");
        QCOMPARE(entries(parity), QStringList({"无校验", "奇校验", "偶校验"}));
        QCOMPARE(parity->currentIndex(), 0);

        auto *serial = w.findChild<QComboBox *>("cB_serial");
        const QStringList ports = expected_port_entries();
        QCOMPARE(entries(serial), ports);
        QCOMPARE(serial->currentIndex(), ports.isEmpty() ? -1 : 0);
        QVERIFY(w.auto_start);
    }

    void cmd_line_names_the_program_alone()
    {
        const QStringList logged = debug_lines_during([] { MainWindow w; });
        const QString program = QCoreApplication::arguments().at(0);
        QCOMPARE(logged.filter("cmd "), QStringList{QStringLiteral("cmd \"%1\" + 1").arg(program)});
    }

    void scan_replaces_typed_text_with_present_ports()
    {
        MainWindow w;
        auto *serial = w.findChild<QComboBox *>("cB_serial");
        serial->setEditText(QStringLiteral("COM99"));
        QTest::mouseClick(w.findChild<QPushButton *>("pB_scan"), Qt::LeftButton);
        const QStringList ports = expected_port_entries();
        QCOMPARE(entries(serial), ports);
        QCOMPARE(serial->currentText(), ports.value(0));
    }

    void auto_start_follows_clicks()
    {
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto *radio = w.findChild<QRadioButton *>("rB_auto");
        QSignalSpy toggled(radio, &QRadioButton::toggled);

        QTest::mouseClick(radio, Qt::LeftButton);
        QVERIFY(!radio->isChecked());
        QCOMPARE(toggled.count(), 1);
        QCOMPARE(w.auto_start, false);

        QTest::mouseClick(radio, Qt::LeftButton);
        QVERIFY(radio->isChecked());
        QCOMPARE(toggled.count(), 2);
        QCOMPARE(w.auto_start, true);
    }

    void file_dialog_starts_in_working_directory_and_cancel_empties_path()
    {
        MainWindow w;
        FileDialogAnswer dialog;
        dialog.arm(QString());
        QTest::mouseClick(w.findChild<QPushButton *>("pB_select"), Qt::LeftButton);

        QVERIFY(dialog.seen);
        QCOMPARE(dialog.title, QStringLiteral("选择固件"));
        QCOMPARE(dialog.filters,
                 (QStringList{QStringLiteral("固件 (*.bin *.qvb *.hex *.ihex *.ihx *.s19 *.s28 *.s37 *.srec "
                                             "*.mot *.elf *.axf)"),
                              QStringLiteral("所有文件 (*)")}));
        QCOMPARE(dialog.directory, QDir::current().absolutePath());
        QVERIFY(w.findChild<QLineEdit *>("lE_filePath")->text().isEmpty());
    }

    void file_dialog_reopens_at_the_chosen_file()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString first = dir.filePath(QStringLiteral("固件 1.bin"));
        const QString second = dir.filePath(QStringLiteral("app.qvb"));
        for (const QString &name : {first, second}) {
            QFile f(name);
            QVERIFY(f.open(QIODevice::WriteOnly));
        }

        MainWindow w;
        auto *path = w.findChild<QLineEdit *>("lE_filePath");
        auto *select = w.findChild<QPushButton *>("pB_select");

        FileDialogAnswer choose;
        choose.arm(first);
        QTest::mouseClick(select, Qt::LeftButton);
        QCOMPARE(path->text(), first);

        FileDialogAnswer again;
        again.arm(second);
        QTest::mouseClick(select, Qt::LeftButton);
        QCOMPARE(again.directory, dir.path());
        QCOMPARE(again.preselected, QStringList{first});
        QCOMPARE(path->text(), second);

        FileDialogAnswer cancel;
        cancel.arm(QString());
        QTest::mouseClick(select, Qt::LeftButton);
        QVERIFY(cancel.seen);
        QVERIFY(path->text().isEmpty());
    }

    // Return (and the keypad's Enter) presses a focused button as Space does; in the path
    // field and the port list it keeps its own meaning and starts nothing.
    void enter_presses_the_focused_button()
    {
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto *download = w.findChild<QPushButton *>("pB_downLoader");
        auto *path = w.findChild<QLineEdit *>("lE_filePath");
        auto *serial = w.findChild<QComboBox *>("cB_serial");

        QStringList boxes; // the text of every box that opened, which is then confirmed
        modal_steps watch;
        watch.then("missing firmware box", [] { return front_box() != nullptr; }, [&] {
            boxes << front_box()->text();
            press_only_button(front_box());
        });
        watch.run();
        download->setFocus();
        QTest::keyClick(download, Qt::Key_Return);
        QVERIFY2(watch.finished(), qPrintable(watch.stuck));
        QCOMPARE(boxes, QStringList{QStringLiteral("请先选择固件！")});

        // The keypad's Enter on 扫描 rescans, which drops the typed port.
        serial->setEditText(QStringLiteral("COM99"));
        w.findChild<QPushButton *>("pB_scan")->setFocus();
        QTest::keyClick(w.findChild<QPushButton *>("pB_scan"), Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(serial->currentText(), expected_port_entries().value(0));

        // In the editable port list Return enters the typed name as an entry; in the path
        // field it changes nothing. Neither presses 下载: a box would be noted and closed.
        modal_steps stray;
        stray.then("stray box", [] { return front_box() != nullptr; }, [&] {
            boxes << front_box()->text();
            press_only_button(front_box());
        });
        stray.run();
        const int ports = serial->count();
        serial->setFocus();
        serial->setEditText(QStringLiteral("ttyTYPED"));
        QTest::keyClick(serial->lineEdit(), Qt::Key_Return);
        QCOMPARE(serial->count(), ports + 1);
        QCOMPARE(serial->currentText(), QStringLiteral("ttyTYPED"));
        path->setFocus();
        QTest::keyClick(path, Qt::Key_Return);
        QVERIFY(path->text().isEmpty());
        QCOMPARE(boxes.size(), 1);
    }

    // Leaves a picture of the window in the build tree for a person to look at.
    void screenshot()
    {
        MainWindow w;
        w.findChild<QLineEdit *>("lE_filePath")->setText(QStringLiteral("/home/operator/固件/app_v2.qvb"));
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(QDir().mkpath(QStringLiteral(KORVANE_SCREENSHOT_DIR)));
        const QString file = QStringLiteral(KORVANE_SCREENSHOT_DIR "/mainwindow.png");
        QVERIFY(w.grab().save(file));
        qInfo("screenshot: %s", qPrintable(file));
    }
};

int main(int argc, char **argv)
{
    return run_widget_test<MainWindowTest>(argc, argv);
}
#include "test_mainwindow.moc"
