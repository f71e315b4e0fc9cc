#pragma once
// korvane-station's command line, for a line that starts itself from a script:
//   korvane-station [--watch PATTERN]... [--port NAME]... [--auto] [--log FILE]
//                   [--accept-silent-start] [--echo] [FIRMWARE]
// Read before the window exists, so --help, --version and a usage error need no display.
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

struct station_options
{
    QStringList patterns; // --watch, then --port
    bool automatic = false;
    bool no_sound = false;
    bool accept_silent_start = false;
    bool line_echoes = false; // the line gives back what korvane sends
    bool raw = false; // the firmware is a binary image whatever it holds
    QString log;
    QString firmware;
};

class station_command_line
{
public:
    station_command_line();

    enum class verdict { run, help, version, usage_error };
    // Checks every pattern too, so a typing error stops the script at once.
    verdict parse(const QStringList &arguments);
    const station_options &options() const { return given; }
    const QString &error() const { return why; }

    // What --help, --version or a usage error print, and the exit status; needs a
    // QCoreApplication (the parser names the program from it).
    int answer(verdict v) const;

private:
    QCommandLineParser parser;
    QCommandLineOption watch;
    QCommandLineOption port;
    QCommandLineOption automatic;
    QCommandLineOption no_sound;
    QCommandLineOption log;
    QCommandLineOption silent_start;
    QCommandLineOption echo;
    QCommandLineOption raw;
    station_options given;
    QString why;
};
