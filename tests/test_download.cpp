// The whole tool from the window: the operator types the simulated device's port, picks
// a firmware file and presses 下载; the progress dialog runs the real worker over a
// pseudo-terminal.
#include "diaglogprogress.h"
#include "engine_harness.h"
#include "mainwindow.h"
#include "test_progress_dialog_steps.h"
#include "widget_test_main.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

namespace {

const QString communicating = QStringLiteral("正在建立通信......");
const QString synchronising = QStringLiteral("正在同步信息......");
const QString updating = QStringLiteral("正在更新固件......");

diaglogProgress *front_dialog()
{
    return qobject_cast<diaglogProgress *>(QApplication::activeModalWidget());
}

QString label_of(const QWidget *dialog)
{
    return dialog->findChild<QLabel *>("lB_info")->text();
}

int percent_of(const QWidget *dialog)
{
    return dialog->findChild<QProgressBar *>("pB_percent")->value();
}

void screenshot(QWidget *widget, const char *name)
{
    QDir().mkpath(QStringLiteral(KORVANE_SCREENSHOT_DIR));
    const QString file = QStringLiteral(KORVANE_SCREENSHOT_DIR "/%1").arg(QLatin1String(name));
    if (widget->grab().save(file))
        qInfo("screenshot: %s", qPrintable(file));
    else
        qWarning("screenshot not saved: %s", qPrintable(file));
}

// The operator's part before pressing 下载: the port typed by hand, the file path set.
void fill_in(MainWindow &w, const QString &port, const QString &firmware)
{
    QLineEdit *typed = w.findChild<QComboBox *>("cB_serial")->lineEdit();
    typed->clear();
    QTest::keyClicks(typed, port);
    w.findChild<QLineEdit *>("lE_filePath")->setText(firmware);
}

void press_download(MainWindow &w)
{
    QTest::mouseClick(w.findChild<QPushButton *>("pB_downLoader"), Qt::LeftButton);
}

// A firmware file in a folder of its own, the simulated device started with `sim_args`, and
// the window shown and filled in for both.
struct download_rig
{
    QTemporaryDir dir;
    QString firmware = dir.filePath(QStringLiteral("app.bin"));
    devsim_process sim;
    MainWindow w;

    explicit download_rig(const QStringList &sim_args) : sim(sim_args) {}
    bool ready(int firmware_size = 2000)
    {
        if (make_firmware(firmware, firmware_size).isEmpty() || !sim.ok())
            return false;
        w.show();
        if (!QTest::qWaitForWindowExposed(&w))
            return false;
        fill_in(w, sim.port(), firmware);
        return true;
    }
};

// Every value the progress dialog's bar takes, from the moment the dialog is shown: the
// worker's calls wait in the queue until the dialog's modal loop runs, so none is missed.
class progress_values : public QObject
{
public:
    progress_values() { qApp->installEventFilter(this); }
    ~progress_values() override { qApp->removeEventFilter(this); }
    QList<int> values;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *bar = qobject_cast<QProgressBar *>(watched);
        if (event->type() == QEvent::Show && bar && bar->objectName() == "pB_percent"
            && qobject_cast<diaglogProgress *>(bar->window()))
            connect(bar, &QProgressBar::valueChanged, this, [this](int v) { values << v; },
                    Qt::UniqueConnection);
        return false;
    }
};

} // namespace

class DownloadTest : public QObject
{
    Q_OBJECT

private slots:
    // The worker logs every block it writes; those lines would drown the test's own.
    void initTestCase()
    {
        static QtMessageHandler test_log = nullptr;
        test_log = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &context, const QString &text) {
                if (type != QtDebugMsg)
                    test_log(type, context, text);
            });
    }

    // Pressing 下载 with an empty path refuses, and only auto_start reaches the record.
    void empty_path_asks_for_firmware()
    {
        UpdateSettings &s = UpdateSettings::instance();
        settings_values kept{"kept", 4800, "E", 2, "kept.bin", true, "kept"};
        fill_settings(s, kept);

        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTest::mouseClick(w.findChild<QRadioButton *>("rB_auto"), Qt::LeftButton);

        seen_box seen;
        bool default_is_confirm = false;
        modal_steps steps;
        steps.then("missing firmware box", [] { return front_box() != nullptr; }, [&] {
            QMessageBox *box = front_box();
            seen = seen_box::of(box);
            default_is_confirm = box->defaultButton() && box->defaultButton()->text() == "确认";
            press_only_button(box);
        });
        steps.run();
        press_download(w);
        QVERIFY2(steps.finished(), qPrintable(steps.stuck));

        QCOMPARE(seen.title, QStringLiteral("错误"));
        QCOMPARE(seen.text, QStringLiteral("请先选择固件！"));
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QCOMPARE(seen.buttons, QStringList{QStringLiteral("确认")});
        QVERIFY(default_is_confirm);

        kept.auto_start = false;
        QCOMPARE(settings_fields(s), settings_fields(kept));
    }

    // From 下载 to "更新完成": the device application is restarted, the image written and
    // started, and the success box goes away without the operator.
    void update_reaches_done()
    {
        QTemporaryDir dir;
        const QString firmware = dir.filePath(QStringLiteral("固件 v2.bin"));
        const QByteArray expected = make_firmware(firmware, 16000);
        QVERIFY(!expected.isEmpty());
        const QString saved = dir.filePath(QStringLiteral("device.bin"));
        // At a real line speed, so the transfer lasts long enough to be seen.
        devsim_process sim({"--mode", "app", "--baud", "115200", "--save", saved});
        QVERIFY(sim.ok());

        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        fill_in(w, sim.port(), firmware);

        QPointer<diaglogProgress> dialog;
        int percent_while_writing = 0;
        seen_box seen;
        QElapsedTimer accepted;
        modal_steps steps;
        steps.then("progress dialog", [] { return front_dialog() != nullptr; },
                   [&] {
                       dialog = front_dialog();
                       // The box is made after the dialog is accepted, so this clock
                       // starts no later than the box's own timer.
                       connect(dialog, &QDialog::accepted, [&] { accepted.start(); });
                   })
            .then("writing", [&] {
                      return dialog && label_of(dialog) == updating && percent_of(dialog) > 40;
                  },
                  [&] {
                      percent_while_writing = percent_of(dialog);
                      screenshot(dialog, "progress_dialog.png");
                  })
            .then("success box", [] { return front_box() != nullptr; }, [&] {
                seen = seen_box::of(front_box());
                screenshot(front_box(), "update_done.png");
            });
        steps.run();
        press_download(w);
        const qint64 box_ms = accepted.elapsed();
        if (!steps.finished())
            qInfo("simulator said: %s", qPrintable(sim.events().mid(0, 12).join(" | ")));
        QVERIFY2(steps.finished(), qPrintable(steps.stuck));

        QCOMPARE(seen.title, QStringLiteral("更新完成"));
        QCOMPARE(seen.text, QStringLiteral("更新完成"));
        QCOMPARE(seen.icon, QMessageBox::Information);
        QCOMPARE(seen.buttons.size(), 1); // the framework's own OK
        // Nobody pressed it: the box closed itself, a second after it opened.
        qInfo("from success to the end of the download action: %lld ms; "
              "progress %d%% while writing", box_ms, percent_while_writing);
        QVERIFY(accepted.isValid());
        QVERIFY(box_ms >= 990);
        QVERIFY(dialog.isNull()); // the dialog went with the download action

        QVERIFY(sim.wait_for(QStringLiteral("image ok")));
        QCOMPARE(file_bytes(saved), expected);
        const UpdateSettings &s = UpdateSettings::instance();
        QCOMPARE(s.port_name, sim.port());
        QCOMPARE(s.baud_rate, 115200);
        QCOMPARE(s.parity, QStringLiteral("N"));
        QCOMPARE(s.stop_bits, 1);
        QCOMPARE(s.firmware_path, firmware);
        QVERIFY(s.auto_start);
        QCOMPARE(s.product_descriptor, QStringLiteral("modbus,1,9,0x4D2E,0x6E3B"));
    }

    // A file that looks like text is written only once the operator says so in a box;
    // 取消 leaves the device untouched, 写入 writes the text as a binary image.
    void text_firmware_asks_first()
    {
        QTemporaryDir dir;
        const QString firmware = dir.filePath(QStringLiteral("readme.bin"));
        const QByteArray text = QByteArray("build 42: see the release notes\n").repeated(60);
        QFile file(firmware);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
        file.close();
        const QString saved = dir.filePath(QStringLiteral("device.bin"));
        devsim_process sim({"--mode", "boot", "--save", saved});
        QVERIFY(sim.ok());
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        fill_in(w, sim.port(), firmware);

        for (const QString &answer : {QStringLiteral("取消"), QStringLiteral("写入")}) {
            seen_box asked;
            modal_steps steps;
            steps.then("text box", [] { return front_box() != nullptr; }, [&] {
                asked = seen_box::of(front_box());
                for (QAbstractButton *button : front_box()->buttons())
                    if (button->text() == answer)
                        button->click();
            });
            if (answer == QStringLiteral("写入"))
                steps.then("success box", [] {
                    return front_box() != nullptr && front_box()->text() == QStringLiteral("更新完成");
                }, [] {});
            steps.run();
            press_download(w);
            QVERIFY2(steps.finished(), qPrintable(steps.stuck));
            QCOMPARE(asked.buttons, (QStringList{QStringLiteral("写入"), QStringLiteral("取消")}));
            QVERIFY(asked.text.contains(QStringLiteral("看起来是文本")));
            if (answer == QStringLiteral("取消"))
                QVERIFY2(sim.events() == QStringList{"mode boot"}, qPrintable(sim.events().join('|')));
        }
        QVERIFY(sim.wait_for(QStringLiteral("saved ")));
        QCOMPARE(file_bytes(saved), image::derive(text));
        QVERIFY(UpdateSettings::instance().firmware_raw);
    }

    void parity_and_progress_through_the_window_data()
    {
        QTest::addColumn<int>("entry");
        QTest::addColumn<QString>("parity");
        QTest::addColumn<int>("file_size");
        QTest::addColumn<QList<int>>("blocks");
        QTest::addColumn<bool>("outwait_timer");
        // The image is the file padded to whole words plus its 4-byte sum; a block's value is
        // its offset's share of the image. 1032 bytes: 20 blocks, the last one short.
        QTest::newRow("无校验, 1028-byte file") << 0 << "N" << 1028
            << QList<int>{30, 33, 37, 40, 44, 47, 51, 54, 58, 61, 65, 68, 72, 75, 79, 82, 86, 89, 93, 97}
            << false;
        // 1044 bytes: the last block of 4 bytes starts at 99%, never 100.
        QTest::newRow("奇校验, 1040-byte file") << 1 << "O" << 1040
            << QList<int>{30, 33, 36, 40, 43, 47, 50, 54, 57, 61, 64, 68, 71, 75, 78, 82, 85, 89, 92, 96, 99}
            << false;
        // 1092 bytes: exactly 21 blocks.
        QTest::newRow("偶校验, 1088-byte file") << 2 << "E" << 1088
            << QList<int>{30, 33, 36, 40, 43, 46, 50, 53, 56, 60, 63, 66, 70, 73, 76, 80, 83, 86, 90, 93, 96}
            << true;
    }

    // Each parity entry reaches the settings record as its letter through the real download
    // action; the bar shows each block's share of the image; the operator closes the
    // "更新完成" box before its own timer does, and the timer dies with the box.
    void parity_and_progress_through_the_window()
    {
        QFETCH(int, entry);
        QFETCH(QString, parity);
        QFETCH(int, file_size);
        QFETCH(QList<int>, blocks);
        QFETCH(bool, outwait_timer);
        download_rig rig({});
        QVERIFY(rig.ready(file_size));
        MainWindow &w = rig.w;
        devsim_process &sim = rig.sim;
        w.findChild<QComboBox *>("cB_checkbit")->setCurrentIndex(entry);

        progress_values progress;
        QPointer<QMessageBox> box;
        QString title;
        modal_steps steps;
        steps.then("success box", [] { return front_box() != nullptr; }, [&] {
            box = front_box();
            title = box->windowTitle();
            press_only_button(box);
        });
        steps.run();
        press_download(w);
        QVERIFY2(steps.finished(), qPrintable(steps.stuck));

        QCOMPARE(title, QStringLiteral("更新完成"));
        QCOMPARE(UpdateSettings::instance().parity, parity);
        QCOMPARE(progress.values, QList<int>({5, 10, 15, 20, 25}) + blocks + QList<int>{100});
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(box.isNull());
        if (outwait_timer) // a timer left behind would now fire on the deleted box
            QTest::qWait(1200);
        QVERIFY(sim.wait_for(QStringLiteral("image ok")));
    }

    // A device that rejects the information request: the error box over the dialog,
    // the dialog left open after 确认, and "更新失败" once the operator closes it.
    void device_failure_ends_in_failed()
    {
        download_rig rig({"--mode", "boot", "--fault", "info:error"});
        QVERIFY(rig.ready());
        MainWindow &w = rig.w;
        devsim_process &sim = rig.sim;

        seen_box error, failed;
        QString label_after;
        modal_steps steps;
        steps.then("error box", [] { return front_box() != nullptr; }, [&] {
                 error = seen_box::of(front_box());
                 screenshot(front_box(), "failure_box.png");
                 press_only_button(front_box());
             })
            .then("dialog left open", [] { return front_dialog() != nullptr; }, [&] {
                label_after = label_of(front_dialog());
                QTest::keyClick(front_dialog(), Qt::Key_Escape);
            })
            .then("failed box", [] { return front_box() != nullptr; }, [&] {
                failed = seen_box::of(front_box());
                screenshot(front_box(), "update_failed.png");
                press_only_button(front_box());
            });
        steps.run();
        press_download(w);
        QVERIFY2(steps.finished(), qPrintable(steps.stuck));

        QCOMPARE(error.title, QStringLiteral("错误"));
        QCOMPARE(error.text, QStringLiteral("错误码:设备操作出错！！"));
        QCOMPARE(label_after, synchronising);
        QCOMPARE(failed.title, QStringLiteral("错误"));
        QCOMPARE(failed.text, QStringLiteral("更新失败"));
        QCOMPARE(failed.icon, QMessageBox::Critical);
        QCOMPARE(sim.count(QStringLiteral("rx info")), 1);
        QCOMPARE(sim.count(QStringLiteral("rx erase")), 0);
    }

    // Closing the dialog while no bootloader answers: the worker stops at once instead of
    // trying for the rest of its 30 s, so the download action returns promptly.
    void closing_during_handshake()
    {
        download_rig rig({"--mode", "boot", "--fault", "handshake:none:0:0"});
        QVERIFY(rig.ready());
        MainWindow &w = rig.w;
        devsim_process &sim = rig.sim;

        int handshakes_at_close = 0;
        seen_box failed;
        QElapsedTimer since_close;
        modal_steps steps;
        steps.then("handshaking",
                   [&] {
                       return front_dialog() && label_of(front_dialog()) == communicating
                              && sim.count(QStringLiteral("rx handshake")) >= 2;
                   },
                   [&] {
                       handshakes_at_close = sim.count(QStringLiteral("rx handshake"));
                       since_close.start();
                       QTest::keyClick(front_dialog(), Qt::Key_Escape);
                   })
            .then("failed box", [] { return front_box() != nullptr; }, [&] {
                failed = seen_box::of(front_box());
                press_only_button(front_box());
            });
        steps.run();
        press_download(w);
        const qint64 close_ms = since_close.elapsed();
        QVERIFY2(steps.finished(), qPrintable(steps.stuck));

        QCOMPARE(failed.text, QStringLiteral("更新失败"));
        // At most the attempt already on the line when Escape was pressed. The simulator's
        // output is read by the event loop, which has not run since the action returned.
        QTest::qWait(200);
        const int after = sim.count(QStringLiteral("rx handshake")) - handshakes_at_close;
        qInfo("handshakes after closing: %d; download action returned %lld ms after Escape",
              after, close_ms);
        QVERIFY(after <= 1);
        QCOMPARE(sim.count(QStringLiteral("rx info")), 0);
    }
};

int main(int argc, char **argv)
{
    return run_widget_test<DownloadTest>(argc, argv);
}
#include "test_download.moc"
