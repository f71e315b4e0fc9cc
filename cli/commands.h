#pragma once

#include <QStringList>

// One function per subcommand. Each gets the program's arguments with the subcommand
// folded into the first element ("korvane-cli flash", then the rest), parses them itself
// and returns the process exit status.
int run_flash(const QStringList &args);
int run_image(const QStringList &args);
int run_ports(const QStringList &args);
