#pragma once
// Runs the simulated device as a real process and the update worker on its own thread,
// the way the window and the command-line tool do, and records what each of them said.

#include "image.h"
#include "update_settings.h"
#include "work.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <functional>

// The simulated device, started with the given options; port() is its slave's path.
class devsim_process
{
public:
    explicit devsim_process(QStringList args = {})
    {
        // Pseudo-terminal numbers are reused at once; a port name of our own keeps a worker
        // that still reopens a finished simulator's port away from the next test's device.
        const bool own_link = !args.contains(QStringLiteral("--link"));
        if (own_link)
            args << QStringLiteral("--link") << links.filePath(QStringLiteral("ttySIM"));
        proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc.start(QStringLiteral(KORVANE_BIN_DIR "/korvane-devsim"), args);
        if (!proc.waitForStarted(5000))
            return;
        while (lines.isEmpty() && proc.state() == QProcess::Running && proc.waitForReadyRead(5000))
            drain();
        if (!lines.isEmpty()) {
            slave_path = lines.takeFirst();
            port_path = own_link ? links.filePath(QStringLiteral("ttySIM")) : slave_path;
        }
    }
    ~devsim_process() { stop(); }
    devsim_process(const devsim_process &) = delete;
    devsim_process &operator=(const devsim_process &) = delete;

    bool ok() const { return !port_path.isEmpty(); }
    // A link to the slave, unique to this simulator (or the caller's own --link).
    QString port() const { return port_path; }
    QString slave() const { return slave_path; }

    // Every event line so far, the port line excepted.
    QStringList events()
    {
        drain();
        return lines;
    }
    int count(const QString &prefix)
    {
        int n = 0;
        for (const QString &line : events())
            n += line.startsWith(prefix);
        return n;
    }
    bool has(const QString &prefix) { return count(prefix) > 0; }
    // Waits until an event starting with prefix has been printed.
    bool wait_for(const QString &prefix, int ms = 5000)
    {
        QElapsedTimer clock;
        clock.start();
        while (!has(prefix)) {
            if (clock.elapsed() > ms || proc.state() != QProcess::Running)
                return has(prefix);
            proc.waitForReadyRead(50);
        }
        return true;
    }
    // Ends it the way an operator would (SIGTERM), so that --save is written.
    void stop()
    {
        if (proc.state() == QProcess::NotRunning)
            return;
        proc.terminate();
        if (!proc.waitForFinished(5000)) {
            proc.kill();
            proc.waitForFinished(5000);
        }
        drain();
    }

private:
    void drain()
    {
        // The simulator prints a request's event before it answers, so whatever the pipe
        // holds now covers every request already answered.
        while (proc.state() == QProcess::Running && proc.waitForReadyRead(0)) {
        }
        partial += proc.readAllStandardOutput();
        int end;
        while ((end = partial.indexOf('\n')) >= 0) {
            lines << QString::fromUtf8(partial.left(end));
            partial.remove(0, end + 1);
        }
    }

    QTemporaryDir links;
    QProcess proc;
    QString slave_path;
    QString port_path;
    QStringList lines;
    QByteArray partial;
};

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
    qint64 confirmed = 0;
    bool ended = false;
};

// The operator's choices for the next update: 115200 8N1, the standard restart request.
inline void configure(const QString &port, const QString &firmware, bool auto_start = true)
{
    UpdateSettings &s = UpdateSettings::instance();
    s.port_name = port;
    s.baud_rate = 115200;
    s.parity = QStringLiteral("N");
    s.stop_bits = 1;
    s.firmware_path = firmware;
    s.auto_start = auto_start;
    s.product_descriptor = QStringLiteral("modbus,1,9,0x4D2E,0x6E3B");
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

// A firmware file of `size` bytes (scrambled when the name ends in .qvb); returns the
// image the tool derives from it.
inline QByteArray make_firmware(const QString &path, int size, quint32 seed = 1)
{
    QByteArray plain(size, Qt::Uninitialized);
    quint32 x = seed;
    for (int i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        plain[i] = char(x >> 16);
    }
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return {};
    f.write(image::is_container(path) ? image::scramble(plain) : plain);
    return image::derive(plain);
}

inline QByteArray file_bytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
