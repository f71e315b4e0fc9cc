// The shift log's file on Windows. Every korvane process that appends to one log takes the
// same lock first (a byte far past any end of file, which no reader or writer touches), so
// a record goes whole to the end of the file as it is at that moment, and a short write is
// known byte for byte and can be cut back. Failures carry the system's own words.
#include "shift_log.h"

#include <QString>

#include <windows.h>

namespace {

constexpr DWORD64 lock_offset = 0x7FFFFFFFFFFFFFF0ull;

QString system_words(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                       | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString words = n > 0 ? QString::fromWCharArray(text, int(n)).trimmed()
                          : QStringLiteral("system error %1").arg(error);
    LocalFree(text);
    return words;
}

OVERLAPPED at(DWORD64 offset)
{
    OVERLAPPED o = {};
    o.Offset = DWORD(offset);
    o.OffsetHigh = DWORD(offset >> 32);
    return o;
}

// The other writers' lock, held for the life of the object.
class writers_lock
{
public:
    explicit writers_lock(HANDLE file) : file(file)
    {
        OVERLAPPED o = at(lock_offset);
        held = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &o) != 0;
    }
    ~writers_lock()
    {
        OVERLAPPED o = at(lock_offset);
        if (held)
            UnlockFileEx(file, 0, 1, 0, &o);
    }
    writers_lock(const writers_lock &) = delete;
    writers_lock &operator=(const writers_lock &) = delete;

private:
    HANDLE file;
    bool held = false;
};

class file_sink : public shift_log::sink
{
public:
    explicit file_sink(HANDLE file) : file(file), disk(GetFileType(file) == FILE_TYPE_DISK) {}
    ~file_sink() override { CloseHandle(file); }
    file_sink(const file_sink &) = delete;
    file_sink &operator=(const file_sink &) = delete;

    qint64 write(const QByteArray &bytes, QString *why) override
    {
        if (!disk)
            return write_at(nullptr, bytes, why);
        const writers_lock lock(file);
        LARGE_INTEGER size = {};
        if (!GetFileSizeEx(file, &size)) {
            *why = system_words(GetLastError());
            return 0;
        }
        OVERLAPPED o = at(DWORD64(size.QuadPart));
        const qint64 done = write_at(&o, bytes, why);
        end = size.QuadPart + done;
        return done;
    }

    bool take_back(qint64 count) override
    {
        if (!disk)
            return false;
        const writers_lock lock(file);
        LARGE_INTEGER size = {};
        // Anything past what this log wrote last is someone else's.
        if (!GetFileSizeEx(file, &size) || size.QuadPart != end || end < count)
            return false;
        FILE_END_OF_FILE_INFO info = {};
        info.EndOfFile.QuadPart = end - count;
        if (!SetFileInformationByHandle(file, FileEndOfFileInfo, &info, sizeof info))
            return false;
        end -= count;
        return true;
    }

    bool ends_mid_line() override
    {
        if (!disk)
            return false;
        const writers_lock lock(file);
        LARGE_INTEGER size = {};
        if (!GetFileSizeEx(file, &size) || size.QuadPart == 0)
            return false;
        OVERLAPPED o = at(DWORD64(size.QuadPart - 1));
        char last = '\n';
        DWORD got = 0;
        return ReadFile(file, &last, 1, &got, &o) && got == 1 && last != '\n';
    }

private:
    qint64 write_at(OVERLAPPED *o, const QByteArray &bytes, QString *why)
    {
        DWORD written = 0;
        if (WriteFile(file, bytes.constData(), DWORD(bytes.size()), &written, o) && written == DWORD(bytes.size()))
            return written;
        const DWORD error = GetLastError();
        *why = written < DWORD(bytes.size()) && error == ERROR_SUCCESS ? QStringLiteral("it takes no more bytes")
                                                                      : system_words(error);
        return written;
    }

    const HANDLE file;
    const bool disk;    // a file on a disk, rather than a console, a pipe or NUL
    qint64 end = -1;    // where this log's last record ended
};

} // namespace

std::unique_ptr<shift_log::sink> shift_log::open_file(const QString &path, QString *why)
{
    const HANDLE file = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(reinterpret_cast<const wchar_t *>(path.utf16()));
        *why = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                   ? QStringLiteral("it is a directory, not a file")
                   : system_words(error);
        return nullptr;
    }
    return std::make_unique<file_sink>(file);
}
