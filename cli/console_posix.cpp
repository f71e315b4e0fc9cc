#include "console.h"

#include <cstdio>

#include <sys/ioctl.h>
#include <unistd.h>

namespace console::platform {

bool is_terminal(stream s)
{
    return isatty(s == stream::out ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

int columns_of_stdout()
{
    winsize size = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0)
        return size.ws_col;
    return 0;
}

void write(stream s, const QString &text)
{
    FILE *to = s == stream::out ? stdout : stderr;
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
    std::fflush(to);
}

} // namespace console::platform
