#pragma once
// Child processes for the benchmark and the fault campaign: korvane-cli and korvane-devsim
// started with their output in files, waited for with what they cost, and killed when they
// run past a limit, so that a hung flash can never hang the measurement.
#include <QByteArray>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <chrono>

#include <sys/resource.h>
#include <sys/types.h>

namespace child {

using clock_type = std::chrono::steady_clock;

struct ended
{
    int status = -1; // as waitpid() reports it
    double wall_s = 0;
    rusage usage{};
    bool killed = false; // ran past its limit

    bool exited() const;
    int exit_code() const;  // -1 unless it exited
    int signal() const;     // 0 unless a signal ended it (the watchdog's SIGKILL included)
    double cpu_seconds() const;
};

// Starts a program with stdout and stderr to files; -1 when it cannot be started.
pid_t spawn(const QString &program, const QStringList &args, const QString &out, const QString &err);

// Waits for the child; one that runs past `limit_s` is killed.
ended wait_for(pid_t pid, clock_type::time_point started, double limit_s);

QStringList read_lines(const QString &path);

// Parses a measuring program's command line: its description and options, --help, and
// --bin (where korvane-cli and korvane-devsim are; this build's by default). Returns the
// absolute --bin folder.
QString parse_command_line(QCommandLineParser &parser, const QString &description,
                           const QList<QCommandLineOption> &options);
QByteArray read_file(const QString &path);

// One simulated device on a link of its own, running until stop(). Its events go to a
// file, read afterwards.
class simulator
{
public:
    simulator(const QString &bin, const QString &link, const QStringList &args);
    ~simulator() { stop(); }
    simulator(const simulator &) = delete;
    simulator &operator=(const simulator &) = delete;

    bool ok() const { return up; }
    // SIGTERM, so that it writes what it holds to its --save file.
    void stop();
    QStringList events() const { return read_lines(events_path).mid(1); } // without the port line
    QByteArray saved() const { return read_file(saved_path); }

    const QString link;

private:
    const QString events_path;
    const QString saved_path;
    pid_t pid = -1;
    bool up = false;
};

} // namespace child
