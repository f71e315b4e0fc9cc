#pragma once
// The simulated device as a real process on a pseudo-terminal of its own, with the event
// lines it prints, and firmware files to give it.

#include "firmware_writers.h"
#include "image.h"
#include "modbus.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <csignal>
#include <sys/types.h>

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
    // Ends it the way an operator would (SIGTERM, so that --save is written) or with the
    // given signal; its exit code, -1 when it did not end normally, -2 when it did not end.
    int stop(int sig = SIGTERM)
    {
        if (proc.state() == QProcess::NotRunning)
            return finished();
        ::kill(pid_t(proc.processId()), sig);
        const int code = finished();
        if (code == -2) {
            proc.kill();
            proc.waitForFinished(5000);
        }
        return code;
    }
    // Waits for it to end by itself (a hang-up, an unplug).
    int finished()
    {
        if (proc.state() != QProcess::NotRunning && !proc.waitForFinished(5000))
            return -2;
        drain();
        return proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -1;
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

// A firmware file of `size` bytes (scrambled when the name ends in .qvb); returns the
// image the tool derives from it. Built for this bootloader: bytes 1024 to 1027, where the
// length stamp goes, are left 00.
inline QByteArray make_firmware(const QString &path, int size, quint32 seed = 1)
{
    QByteArray plain(size, Qt::Uninitialized);
    quint32 x = seed;
    for (int i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        plain[i] = i >= image::length_offset && i < image::min_padded_size ? '\0' : char(x >> 16);
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
