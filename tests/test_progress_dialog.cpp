#include "diaglogprogress.h"
#include "test_progress_dialog_steps.h"
#include "widget_test_main.h"
#include "work.h"

#include <QDir>
#include <QLabel>
#include <QLayout>
#include <QPointer>
#include <QProgressBar>
#include <QThread>

#include <atomic>
#include <climits>
#include <functional>

namespace {

// What the scripted worker did, written on the worker thread, read after the join.
struct worker_record
{
    std::atomic<bool> started{false};
    std::atomic<bool> script_done{false};
    std::atomic<bool> ended_by_request{false};
    std::atomic<int> polls{0};
    std::atomic<QThread *> destroyed_on{nullptr};
} record;

class scripted_work;
std::function<void(scripted_work &)> script; // what start() does; nothing when empty

// A worker whose start() plays a script instead of talking to a device. Its start()
// shadows the real one because the dialog connects by signature text.
class scripted_work : public work
{
    Q_OBJECT

public:
    ~scripted_work() override { record.destroyed_on = QThread::currentThread(); }

public slots:
    void start()
    {
        record.started = true;
        if (script)
            script(*this);
        record.script_done = true;
    }
};

// The dialog with the scripted worker in place of the real one.
class scripted_dialog : public diaglogProgress
{
public:
    scripted_dialog() : diaglogProgress(nullptr, []() -> work * { return new scripted_work; }) {}
};

void reset(std::function<void(scripted_work &)> next_script = {})
{
    record.started = false;
    record.script_done = false;
    record.ended_by_request = false;
    record.polls = 0;
    record.destroyed_on = nullptr;
    script = std::move(next_script);
}

QString box_text(const char *failure)
{
    return QStringLiteral("错误码:%1！").arg(QString::fromUtf8(failure));
}

void save_screenshot(QWidget *widget, const char *name)
{
    QDir().mkpath(QStringLiteral(KORVANE_SCREENSHOT_DIR));
    const QString file = QStringLiteral(KORVANE_SCREENSHOT_DIR "/%1").arg(QLatin1String(name));
    if (widget->grab().save(file))
        qInfo("screenshot: %s", qPrintable(file));
}

void post_result(diaglogProgress &dialog, int code)
{
    QMetaObject::invokeMethod(&dialog, "result", Qt::QueuedConnection, Q_ARG(int, code));
}

} // namespace

class ProgressDialogTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { reset(); }

    void form_and_state_before_the_first_call()
    {
        scripted_dialog dialog;
        QCOMPARE(dialog.objectName(), QStringLiteral("diaglogProgress"));
        QCOMPARE(dialog.metaObject()->className(), "diaglogProgress");
        QCOMPARE(dialog.size(), QSize(627, 69));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("固件更新"));

        auto *bar = dialog.findChild<QProgressBar *>("pB_percent");
        auto *label = dialog.findChild<QLabel *>("lB_info");
        QVERIFY(bar && label);
        QCOMPARE(bar->value(), 0); // the form's 24 never shows
        QCOMPARE(label->text(), QStringLiteral("固件下载中......"));

        // The label sits centred under the bar between two spacers.
        const QLayout *column = dialog.layout();
        QCOMPARE(column->itemAt(0)->widget(), bar);
        const QLayout *row = column->itemAt(1)->layout();
        QCOMPARE(row->count(), 3);
        QCOMPARE(row->itemAt(1)->widget(), label);
        QVERIFY(row->itemAt(0)->spacerItem() && row->itemAt(2)->spacerItem());
    }

    void success_accepts_without_a_box()
    {
        scripted_dialog dialog;
        modal_steps steps;
        steps.then("dialog shown", [&] { return dialog.isVisible(); }, [&] { post_result(dialog, 0); });
        steps.run();
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QVERIFY2(steps.finished(), qPrintable(steps.stuck));
        QVERIFY(dialog.findChildren<QMessageBox *>().isEmpty());
        QVERIFY(!dialog.isVisible());
    }

    void failure_box_per_code_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("-1") << -1 << box_text("打开串口失败,特殊情况更新请无视此错误！");
        QTest::newRow("-2") << -2 << box_text("测试设备中读写失败！");
        QTest::newRow("-3") << -3 << box_text("设备操作出错！");
        QTest::newRow("-4") << -4 << box_text("通信超时！");
        QTest::newRow("-5") << -5 << box_text("固件读取失败！");
        QTest::newRow("+3 by magnitude") << 3 << box_text("设备操作出错！");
        QTest::newRow("-6 unknown") << -6 << box_text("未知错误(-6)！");
        QTest::newRow("7 unknown") << 7 << box_text("未知错误(7)！");
        QTest::newRow("INT_MIN unknown")
            << INT_MIN << box_text("未知错误(-2147483648)！");
    }

    // One box per failure; after 确认 the dialog stays open as it was, and only the
    // operator closing it ends the run, rejected.
    void failure_box_per_code()
    {
        QFETCH(int, code);
        QFETCH(QString, text);
        scripted_dialog dialog;
        auto *label = dialog.findChild<QLabel *>("lB_info");
        auto *bar = dialog.findChild<QProgressBar *>("pB_percent");

        seen_box seen;
        QPointer<QMessageBox> box;
        bool open_after_confirm = false;
        modal_steps steps;
        steps.then("dialog shown", [&] { return dialog.isVisible(); },
                   [&] {
                       dialog.work_status_str(QStringLiteral("正在同步信息......"));
                       dialog.progress_set(15);
                       dialog.result(code); // runs the box's modal loop
                   })
            .then("box shown", [] { return front_box() != nullptr; },
                  [&] {
                      box = front_box();
                      seen = seen_box::of(box);
                      if (code == -1) // the longest text: must fit the box
                          save_screenshot(box, "failure_box_port.png");
                      press_only_button(box);
                  })
            .then("box released", [&] { return box.isNull(); },
                  [&] {
                      open_after_confirm = dialog.isVisible()
                                           && QApplication::activeModalWidget() == &dialog;
                      dialog.close();
                  });
        steps.run();
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        QVERIFY2(steps.finished(), qPrintable(steps.stuck));

        QCOMPARE(seen.title, QStringLiteral("错误"));
        QCOMPARE(seen.text, text);
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QCOMPARE(seen.buttons, QStringList{QStringLiteral("确认")});
        QCOMPARE(seen.role, QMessageBox::AcceptRole);
        QVERIFY(open_after_confirm);
        QCOMPARE(label->text(), QStringLiteral("正在同步信息......"));
        QCOMPARE(bar->value(), 15);
    }

    // The worker reports -1 and goes on; its later success closes the box by itself.
    void later_success_closes_the_open_box()
    {
        scripted_dialog dialog;
        QPointer<QMessageBox> box;
        modal_steps steps;
        steps.then("dialog shown", [&] { return dialog.isVisible(); }, [&] { dialog.result(-1); })
            .then("box shown", [] { return front_box() != nullptr; },
                  [&] {
                      box = front_box();
                      post_result(dialog, 0);
                  });
        steps.run();
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QVERIFY2(steps.finished(), qPrintable(steps.stuck));
        QVERIFY(!box.isNull()); // closed, not yet released
        QVERIFY(!box->isVisible());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(box.isNull());
    }

    // -1, then -3 while the first box is open: the second box opens above the first, the
    // operator confirms the newer one first, and each is released after its own 确认.
    void second_failure_stacks_a_second_box()
    {
        scripted_dialog dialog;
        QPointer<QMessageBox> first, second;
        QString first_text, second_text;
        bool first_open_under_second = false, first_alone_after = false, dialog_open_after = false;
        modal_steps steps;
        steps.then("dialog shown", [&] { return dialog.isVisible(); }, [&] { dialog.result(-1); })
            .then("first box", [] { return front_box() != nullptr; },
                  [&] {
                      first = front_box();
                      first_text = first->text();
                      post_result(dialog, -3);
                  })
            .then("second box", [&] { return front_box() && front_box() != first; },
                  [&] {
                      second = front_box();
                      second_text = second->text();
                      first_open_under_second = first && first->isVisible();
                      press_only_button(second);
                  })
            .then("second released", [&] { return second.isNull(); },
                  [&] {
                      first_alone_after = front_box() == first && first->isVisible();
                      press_only_button(first);
                  })
            .then("first released", [&] { return first.isNull(); },
                  [&] {
                      dialog_open_after = QApplication::activeModalWidget() == &dialog;
                      dialog.close();
                  });
        steps.run();
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        QVERIFY2(steps.finished(), qPrintable(steps.stuck));
        QCOMPARE(first_text, box_text("打开串口失败,特殊情况更新请无视此错误！"));
        QCOMPARE(second_text, box_text("设备操作出错！"));
        QVERIFY(first_open_under_second);
        QVERIFY(first_alone_after);
        QVERIFY(dialog_open_after);
    }

    // The dialog keeps serving the worker after its run: a failure that arrives once the
    // operator has closed it still gets its box.
    void failure_after_closing_still_shows_a_box()
    {
        scripted_dialog dialog;
        {
            modal_steps closing;
            closing.then("dialog shown", [&] { return dialog.isVisible(); }, [&] { dialog.close(); });
            closing.run();
            QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        }

        QString text;
        modal_steps confirming;
        confirming.then("late box", [] { return front_box() != nullptr; },
                        [&] {
                            text = front_box()->text();
                            press_only_button(front_box());
                        });
        confirming.run();
        dialog.result(-4);
        QVERIFY2(confirming.finished(), qPrintable(confirming.stuck));
        QCOMPARE(text, box_text("通信超时！"));
    }

    // What the worker sends before the modal loop runs waits in the queue and is applied
    // in order once it runs; a worker that ends without a result leaves the dialog open.
    void queued_calls_before_exec_and_no_result()
    {
        reset([](scripted_work &w) {
            emit w.work_status_str(QStringLiteral("正在建立连接......"));
            emit w.progress_set(5);
            emit w.work_status_str(QStringLiteral("正在重启......"));
            emit w.progress_set(10);
        });
        scripted_dialog dialog;
        auto *label = dialog.findChild<QLabel *>("lB_info");
        auto *bar = dialog.findChild<QProgressBar *>("pB_percent");
        QSignalSpy values(bar, &QProgressBar::valueChanged);

        // Wait for the script without running the GUI thread's loop.
        for (int i = 0; i < 2000 && !record.script_done; ++i)
            QThread::msleep(5);
        QVERIFY(record.script_done);
        QCOMPARE(label->text(), QStringLiteral("固件下载中......"));
        QCOMPARE(bar->value(), 0);

        int quiet_polls = 0;
        bool open_throughout = true;
        modal_steps steps;
        steps.then("calls applied", [&] { return values.count() == 2; }, [] {})
            .then("quiet while open",
                  [&] {
                      open_throughout = open_throughout && dialog.isVisible();
                      return ++quiet_polls == 20;
                  },
                  [&] { dialog.close(); });
        steps.run();
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        QVERIFY2(steps.finished(), qPrintable(steps.stuck));
        QVERIFY(open_throughout);
        QCOMPARE(values.count(), 2);
        QCOMPARE(values.at(0).at(0).toInt(), 5);
        QCOMPARE(values.at(1).at(0).toInt(), 10);
        QCOMPARE(label->text(), QStringLiteral("正在重启......"));
        QVERIFY(dialog.findChildren<QMessageBox *>().isEmpty());
    }

    // Escape in the middle of an update: the run ends at once, and the worker is told to
    // stop while it is still busy, so the destructor's join does not wait out the update.
    void closing_mid_update_stops_the_worker()
    {
        constexpr int limit = 6000; // 30 s of 5 ms polls, the handshake's span
        reset([](scripted_work &w) {
            emit w.work_status_str(QStringLiteral("正在建立通信......"));
            int polls = 0;
            while (polls < limit && !w.stop_requested()) {
                QThread::msleep(work::poll_ms);
                ++polls;
            }
            record.polls = polls;
            record.ended_by_request = w.stop_requested();
        });
        {
            scripted_dialog dialog;
            modal_steps steps;
            steps.then("update running", [&] { return dialog.isVisible() && record.started; },
                       [&] { QTest::keyClick(&dialog, Qt::Key_Escape); });
            steps.run();
            QCOMPARE(dialog.exec(), int(QDialog::Rejected));
            QVERIFY2(steps.finished(), qPrintable(steps.stuck));
        }
        QVERIFY(record.script_done);
        QVERIFY(record.ended_by_request);
        QVERIFY(record.polls < limit);
        qInfo("worker stopped after %d polls of %d ms", int(record.polls), work::poll_ms);
        QThread *destroyed_on = record.destroyed_on;
        QVERIFY(destroyed_on);
        QVERIFY(destroyed_on != QThread::currentThread());
    }
};

int main(int argc, char **argv)
{
    return run_widget_test<ProgressDialogTest>(argc, argv);
}
#include "test_progress_dialog.moc"
