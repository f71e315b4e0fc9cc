#pragma once
// korvane-cli as a child process: the real executable, its exit status and both outputs.
#include "step_texts.h"

#include <QProcess>
#include <QString>
#include <QStringList>

namespace cli_harness {

inline const QString cli = QStringLiteral(KORVANE_BIN_DIR "/korvane-cli");

struct cli_result
{
    int code = -1; // -1 also when it crashed or never finished
    QString out;
    QString err;
    QString describe() const
    {
        return QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3").arg(code).arg(out, err);
    }
};

// Waits for a started process; one that outlives the limit is killed, not waited for.
inline cli_result finish(QProcess &p, int limit_ms = 60000)
{
    cli_result o;
    if (!p.waitForFinished(limit_ms)) {
        p.kill();
        p.waitForFinished(5000);
        o.err = QStringLiteral("did not finish");
        return o;
    }
    o.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    o.out = QString::fromUtf8(p.readAllStandardOutput());
    o.err = QString::fromUtf8(p.readAllStandardError());
    return o;
}

// What korvane-cli runs in: the messages' locale C.UTF-8 (English step texts) and no
// NO_COLOR, whatever the tests were started in, then `extra` ("NAME=value") on top.
inline QProcessEnvironment environment(const QStringList &extra = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANGUAGE", "NO_COLOR"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    for (const QString &setting : extra)
        env.insert(setting.section(QLatin1Char('='), 0, 0), setting.section(QLatin1Char('='), 1));
    return env;
}

inline cli_result run(const QStringList &args, const QString &program = cli, int limit_ms = 60000,
                      const QStringList &env = {})
{
    QProcess p;
    p.setProcessEnvironment(environment(env));
    p.start(program, args);
    if (!p.waitForStarted(10000)) {
        cli_result o;
        o.err = QStringLiteral("did not start: ") + p.errorString();
        return o;
    }
    return finish(p, limit_ms);
}

// Every status text of a whole update, in the order the device's update shows them.
inline const QStringList &update_steps = step_texts::all;
// The same steps as the text views name them outside a Chinese locale.
inline const QStringList update_steps_english = {
    QStringLiteral("opening the serial port"),
    QStringLiteral("asking the device to restart into its bootloader"),
    QStringLiteral("looking for the bootloader"),
    QStringLiteral("reading the device information"),
    QStringLiteral("reading the firmware file"),
    QStringLiteral("erasing the old firmware"),
    QStringLiteral("writing the firmware"),
    QStringLiteral("starting the program"),
};

} // namespace cli_harness
