#include "stop_signals.h"

#include "job_exit.h"

#include <QCoreApplication>

#include <atomic>
#include <csignal>
#include <cstdlib>

#include <windows.h>

// Windows tells a console program of Ctrl-C, Ctrl-Break and its console window closing on
// a thread of its own. The first is passed to the handler on the thread that runs the
// event loop, as a POSIX signal would land there, so it never meets a half-published set
// of workers; a second ends the process at once. A closing console ends the process as
// soon as this function returns, so it waits there for the workers to stop and the
// program to end on its own (Windows allows a few seconds).
namespace stop_signals {

namespace {

std::atomic<int> events_seen{0};

BOOL WINAPI on_console_event(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        break;
    default:
        return FALSE;
    }
    if (events_seen.fetch_add(1) > 0)
        std::_Exit(exit_code::interrupted);
    QCoreApplication *app = QCoreApplication::instance();
    if (app)
        QMetaObject::invokeMethod(app, [] { handle(SIGINT); }, Qt::QueuedConnection);
    if (event == CTRL_CLOSE_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

} // namespace

void install()
{
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

// The handler never runs on the workers' threads here: nothing to hold back.
void hold_back() {}

void let_through() {}

} // namespace stop_signals
