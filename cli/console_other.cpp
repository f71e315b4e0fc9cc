#include "console.h"

#include <cstdio>

// Without a known way to redraw lines in place, every stream is treated as a log: plain
// lines, no control characters, 80 columns.
namespace console::platform {

bool is_terminal(stream)
{
    return false;
}

int columns_of_stdout()
{
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
