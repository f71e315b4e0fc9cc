#pragma once

#include "startup.h"

#include <QApplication>
#include <QByteArray>
#include <QStringList>
#include <QtTest>

#include <vector>

// Runs a widget test class the way main() starts the program (identity, then the
// application object, then its look), but with an argument list the test chooses:
// the window reacts to arguments, and QTest's own arguments (test function names,
// -o, ...) must not be mistaken for the program's. Unless QT_QPA_PLATFORM says
// otherwise the offscreen platform is used, so the tests run headless.
template <class TestClass>
int run_widget_test(int argc, char **argv, const QStringList &program_args = {})
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    std::vector<QByteArray> storage{QByteArray(argv[0])};
    for (const QString &arg : program_args)
        storage.push_back(arg.toLocal8Bit());
    std::vector<char *> app_argv;
    for (QByteArray &arg : storage)
        app_argv.push_back(arg.data());
    app_argv.push_back(nullptr);
    int app_argc = int(storage.size());

    set_identity();
    QApplication app(app_argc, app_argv.data());
    set_look(app);

    TestClass test;
    return QTest::qExec(&test, argc, argv);
}

// The debug lines written while `action` runs.
template <class Action>
QStringList debug_lines_during(Action action)
{
    static QStringList *sink = nullptr;
    QStringList lines;
    sink = &lines;
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
            if (type == QtDebugMsg)
                sink->append(text);
        });
    action();
    qInstallMessageHandler(previous);
    return lines;
}
