#pragma once
// Ctrl-C, SIGTERM (a session or service manager shutting down) and SIGHUP close the window
// as the operator would: updates still running stop at their next wait and go into the
// shift log as interrupted, so that a line stopped this way loses no device's record. A
// second signal ends the process at once.
class QWidget;

void close_on_quit_signals(QWidget &window);
