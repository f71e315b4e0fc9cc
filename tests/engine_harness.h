#pragma once
// Runs the update worker on its own thread, the way the window and the command-line tool
// do, against the simulated device, and records what each of them said.

#include "devsim_harness.h"
#include "settings_harness.h"
#include "work.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMutex>
#include <QThread>
#include <QTimer>

#include <functional>

// Debug lines written by any thread while an update runs.
// Install it from initTestCase(): QTest installs its own handler when the run starts.
class debug_capture
{
public:
    debug_capture() { previous = qInstallMessageHandler(&debug_capture::handler); }
    ~debug_capture() { qInstallMessageHandler(previous); }
    debug_capture(const debug_capture &) = delete;
    debug_capture &operator=(const debug_capture &) = delete;
    QStringList lines() const
    {
        QMutexLocker lock(&mutex());
        return store();
    }
    static void clear()
    {
        QMutexLocker lock(&mutex());
        store().clear();
    }

private:
    static QMutex &mutex()
    {
        static QMutex m;
        return m;
    }
    static QStringList &store()
    {
        static QStringList s;
        return s;
    }
    static void handler(QtMsgType, const QMessageLogContext &, const QString &text)
    {
        QMutexLocker lock(&mutex());
        store() << text;
    }
    QtMessageHandler previous;
};

// What one update said, in the order the signals arrived.
struct update_record
{
    QStringList trace; // "status <text>", "progress <n>", "result <n>"
    QVector<int> results;
    QVector<int> progress;
    QStringList statuses;
    quint64 polls = 0;
    int settles = 0;
    int suspects = 0;
    qint64 confirmed = 0;
    bool verified = false; // the device confirmed the start
    QString detail;        // the worker's words for a failure
    bool ended = false;
};

// The operator's choices for the next update: 115200 8N1, the standard restart request.
inline void configure(const QString &port, const QString &firmware, bool auto_start = true)
{
    fill_settings(UpdateSettings::instance(),
                  {port, 115200, QStringLiteral("N"), 1, firmware, auto_start,
                   QString::fromLatin1(modbus::default_descriptor)});
}

// Runs one whole update on a worker thread and returns when start() has returned.
// `react` sees each signal on this thread as it arrives and may, for example, ask the
// worker to stop; `prepare` runs before the start, on this thread.
inline update_record run_update(
    const std::function<void(work &, const QString &)> &react = {},
    const std::function<void(work &)> &prepare = {}, int limit_ms = 90000)
{
    update_record rec;
    QThread thread;
    auto *worker = new work;
    worker->moveToThread(&thread);
    QObject receiver; // lives here, so the worker's signals arrive queued, in order
    const auto note = [&](const QString &line) {
        rec.trace << line;
        if (react)
            react(*worker, line);
    };
    QObject::connect(worker, &work::work_status_str, &receiver, [&](const QString &text) {
        rec.statuses << text;
        note(QStringLiteral("status ") + text);
    });
    QObject::connect(worker, &work::progress_set, &receiver, [&](int value) {
        rec.progress << value;
        note(QStringLiteral("progress %1").arg(value));
    });
    QObject::connect(worker, &work::result, &receiver, [&](int code) {
        rec.results << code;
        note(QStringLiteral("result %1").arg(code));
    });
    if (prepare)
        prepare(*worker);
    QEventLoop loop;
    thread.start();
    QMetaObject::invokeMethod(worker, [&, worker] {
        worker->start();
        rec.polls = worker->poll_count();
        rec.settles = worker->settle_count();
        rec.suspects = worker->suspect_count();
        rec.verified = worker->start_confirmed();
        rec.detail = worker->failure_detail();
        rec.confirmed = worker->confirmed_bytes();
        // Posted after every signal of the sequence, so it arrives after them too.
        QMetaObject::invokeMethod(&receiver, [&] {
            rec.ended = true;
            loop.quit();
        }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
    QTimer::singleShot(limit_ms, &loop, &QEventLoop::quit);
    loop.exec();
    if (!rec.ended)
        worker->request_stop();
    thread.quit();
    thread.wait();
    delete worker;
    return rec;
}

// A size line of /proc/self/status ("VmRSS", "VmHWM") in KiB; -1 where there is none.
inline qint64 own_status_kib(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    return -1;
}
