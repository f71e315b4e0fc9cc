#include "command_line.h"
#include "job_exit.h"
#include "quit_signals.h"
#include "startup.h"
#include "stationwindow.h"

#include <QApplication>
#include <QLoggingCategory>

#include <cstdio>

int main(int argc, char *argv[])
{
    set_identity();
    // Read before any application object: --help, --version and a usage error must work
    // where there is no display (help2man runs it while the package is built).
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    station_command_line command_line;
    const station_command_line::verdict v = command_line.parse(arguments);
    if (v != station_command_line::verdict::run) {
        QCoreApplication app(argc, argv);
        return command_line.answer(v);
    }

    // The engine's debug lines (one per block written) are for an engineer at a bench, not
    // a terminal beside the line; QT_LOGGING_RULES="default.debug=true" brings them back.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QApplication app(argc, argv);
    set_look(app);
    StationWindow window;
    QString why;
    int status = exit_code::ok;
    if (!window.apply(command_line.options(), &why, &status)) {
        std::fprintf(stderr, "korvane-station: %s\n", qUtf8Printable(why));
        return status;
    }
    close_on_quit_signals(window);
    window.showMaximized();
    return app.exec();
}
