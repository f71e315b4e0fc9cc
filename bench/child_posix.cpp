#include "child.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QVector>

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace child {

bool ended::exited() const
{
    return !killed && WIFEXITED(status);
}

int ended::exit_code() const
{
    return exited() ? WEXITSTATUS(status) : -1;
}

int ended::signal() const
{
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

double ended::cpu_seconds() const
{
    return double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) / 1e6
           + double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) / 1e6;
}

pid_t spawn(const QString &program, const QStringList &args, const QString &out, const QString &err)
{
    QVector<QByteArray> storage;
    storage.append(QFile::encodeName(program));
    for (const QString &a : args)
        storage.append(a.toLocal8Bit());
    QVector<char *> argv;
    for (QByteArray &s : storage)
        argv.append(s.data());
    argv.append(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, QFile::encodeName(out).constData(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, QFile::encodeName(err).constData(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    return rc == 0 ? pid : -1;
}

// wait4() also says what the child cost; a watchdog thread kills it past its limit.
ended wait_for(pid_t pid, clock_type::time_point started, double limit_s)
{
    std::mutex lock;
    std::condition_variable done_signal;
    bool done = false;
    ended result;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> held(lock);
        if (!done_signal.wait_for(held, std::chrono::duration<double>(limit_s), [&] { return done; })) {
            result.killed = true;
            ::kill(pid, SIGKILL);
        }
    });
    int status = 0;
    while (wait4(pid, &status, 0, &result.usage) < 0 && errno == EINTR) {
    }
    result.wall_s = std::chrono::duration<double>(clock_type::now() - started).count();
    result.status = status;
    {
        std::lock_guard<std::mutex> held(lock);
        done = true;
    }
    done_signal.notify_one();
    watchdog.join();
    return result;
}

QByteArray read_file(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList read_lines(const QString &path)
{
    return QString::fromUtf8(read_file(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString parse_command_line(QCommandLineParser &parser, const QString &description,
                           const QList<QCommandLineOption> &options)
{
    parser.setApplicationDescription(description);
    parser.addHelpOption();
    const QCommandLineOption bin(QStringLiteral("bin"),
                                 QStringLiteral("Where korvane-cli and korvane-devsim are (default: this "
                                                "build's)."),
                                 QStringLiteral("DIR"), QStringLiteral(KORVANE_BIN_DIR));
    parser.addOptions(options);
    parser.addOption(bin);
    parser.process(QCoreApplication::arguments());
    return QDir(parser.value(bin)).absolutePath();
}

simulator::simulator(const QString &bin, const QString &link_path, const QStringList &args)
    : link(link_path), events_path(link + QStringLiteral(".events")),
      saved_path(link + QStringLiteral(".saved"))
{
    pid = spawn(bin + QStringLiteral("/korvane-devsim"),
                QStringList(args) << QStringLiteral("--link") << link << QStringLiteral("--save") << saved_path,
                events_path, link + QStringLiteral(".stderr"));
    // Ready once it has printed its port (its first line) and made the link.
    for (int i = 0; pid >= 0 && i < 500 && !up; ++i) {
        up = !read_lines(events_path).isEmpty() && QFileInfo(link).isSymLink();
        if (!up)
            QThread::msleep(10);
    }
}

void simulator::stop()
{
    if (pid < 0)
        return;
    ::kill(pid, SIGTERM);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

} // namespace child
