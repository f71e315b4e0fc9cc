#include "console.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

#include <windows.h>

// A console (cmd.exe, PowerShell, Windows Terminal) is given the text as characters, so
// that Chinese shows whatever its code page; a redirected stream (a file, a pipe) gets
// UTF-8 bytes and bare newlines, exactly what korvane-cli writes elsewhere.
namespace console::platform {

namespace {

HANDLE handle_of(stream s)
{
    return GetStdHandle(s == stream::out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool is_console(HANDLE h)
{
    DWORD mode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

// The C streams translate "\n" into "\r\n" unless told otherwise, once.
FILE *binary(stream s)
{
    static const bool set = [] {
        _setmode(_fileno(stdout), _O_BINARY);
        _setmode(_fileno(stderr), _O_BINARY);
        return true;
    }();
    (void)set;
    return s == stream::out ? stdout : stderr;
}

} // namespace

// Lines redrawn in place and colours need the console to read escape sequences (Windows
// 10 and later); an older console gets plain lines.
bool is_terminal(stream s)
{
    const HANDLE h = handle_of(s);
    DWORD mode = 0;
    if (!is_console(h) || !GetConsoleMode(h, &mode))
        return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)
           || SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int columns_of_stdout()
{
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    if (!GetConsoleScreenBufferInfo(handle_of(stream::out), &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

void write(stream s, const QString &text)
{
    const HANDLE h = handle_of(s);
    if (is_console(h)) {
        DWORD written = 0;
        WriteConsoleW(h, text.utf16(), DWORD(text.size()), &written, nullptr);
        return;
    }
    FILE *to = binary(s);
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
    std::fflush(to);
}

} // namespace console::platform
