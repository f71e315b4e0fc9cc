#pragma once
// The simulated device as a real process on a pseudo-terminal of its own, with the event
// lines it prints, and firmware files to give it.

#include "image.h"
#include "modbus.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <sys/types.h>

// The simulated device, started with the given options; port() is its slave's path.
class devsim_process
{
public:
    explicit devsim_process(QStringList args = {})
    {
        // Pseudo-terminal numbers are reused at once; a port name of our own keeps a worker
        // that still reopens a finished simulator's port away from the next test's device.
        const bool own_link = !args.contains(QStringLiteral("--link"));
        if (own_link)
            args << QStringLiteral("--link") << links.filePath(QStringLiteral("ttySIM"));
        proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc.start(QStringLiteral(KORVANE_BIN_DIR "/korvane-devsim"), args);
        if (!proc.waitForStarted(5000))
            return;
        while (lines.isEmpty() && proc.state() == QProcess::Running && proc.waitForReadyRead(5000))
            drain();
        if (!lines.isEmpty()) {
            slave_path = lines.takeFirst();
            port_path = own_link ? links.filePath(QStringLiteral("ttySIM")) : slave_path;
        }
    }
    ~devsim_process() { stop(); }
    devsim_process(const devsim_process &) = delete;
    devsim_process &operator=(const devsim_process &) = delete;

    bool ok() const { return !port_path.isEmpty(); }
    // A link to the slave, unique to this simulator (or the caller's own --link).
    QString port() const { return port_path; }
    QString slave() const { return slave_path; }

    // Every event line so far, the port line excepted.
    QStringList events()
    {
        drain();
        return lines;
    }
    int count(const QString &prefix)
    {
        int n = 0;
        for (const QString &line : events())
            n += line.startsWith(prefix);
        return n;
    }
    bool has(const QString &prefix) { return count(prefix) > 0; }
    // Waits until an event starting with prefix has been printed.
    bool wait_for(const QString &prefix, int ms = 5000)
    {
        QElapsedTimer clock;
        clock.start();
        while (!has(prefix)) {
            if (clock.elapsed() > ms || proc.state() != QProcess::Running)
                return has(prefix);
            proc.waitForReadyRead(50);
        }
        return true;
    }
    // Ends it the way an operator would (SIGTERM, so that --save is written) or with the
    // given signal; its exit code, -1 when it did not end normally, -2 when it did not end.
    int stop(int sig = SIGTERM)
    {
        if (proc.state() == QProcess::NotRunning)
            return finished();
        ::kill(pid_t(proc.processId()), sig);
        const int code = finished();
        if (code == -2) {
            proc.kill();
            proc.waitForFinished(5000);
        }
        return code;
    }
    // Waits for it to end by itself (a hang-up, an unplug).
    int finished()
    {
        if (proc.state() != QProcess::NotRunning && !proc.waitForFinished(5000))
            return -2;
        drain();
        return proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -1;
    }

private:
    void drain()
    {
        // The simulator prints a request's event before it answers, so whatever the pipe
        // holds now covers every request already answered.
        while (proc.state() == QProcess::Running && proc.waitForReadyRead(0)) {
        }
        partial += proc.readAllStandardOutput();
        int end;
        while ((end = partial.indexOf('\n')) >= 0) {
            lines << QString::fromUtf8(partial.left(end));
            partial.remove(0, end + 1);
        }
    }

    QTemporaryDir links;
    QProcess proc;
    QString slave_path;
    QString port_path;
    QStringList lines;
    QByteArray partial;
};

// A firmware file of `size` bytes (scrambled when the name ends in .qvb); returns the
// image the tool derives from it.
inline QByteArray make_firmware(const QString &path, int size, quint32 seed = 1)
{
    QByteArray plain(size, Qt::Uninitialized);
    quint32 x = seed;
    for (int i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        plain[i] = char(x >> 16);
    }
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return {};
    f.write(image::is_container(path) ? image::scramble(plain) : plain);
    return image::derive(plain);
}

inline QByteArray file_bytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// ---- the same firmware as build tools write it --------------------------------------------

struct firmware_piece
{
    quint32 address;
    QByteArray bytes;
};

// One Intel HEX record with its checksum: ":" LL AAAA TT data CC.
inline QByteArray hex_record(int type, quint16 offset, const QByteArray &data)
{
    QByteArray r;
    r.append(char(data.size())).append(char(offset >> 8)).append(char(offset)).append(char(type)).append(data);
    quint8 sum = 0;
    for (const char c : r)
        sum += quint8(c);
    r.append(char(-sum));
    return ':' + r.toHex().toUpper() + "\r\n";
}

// Extended linear address records as the upper half changes, 16 data bytes a record.
inline QByteArray to_intel_hex(const QVector<firmware_piece> &pieces)
{
    QByteArray out;
    int upper = -1;
    for (const firmware_piece &p : pieces)
        for (int i = 0; i < p.bytes.size();) {
            const quint32 at = p.address + quint32(i);
            if (int(at >> 16) != upper) {
                upper = int(at >> 16);
                out += hex_record(4, 0, QByteArray().append(char(upper >> 8)).append(char(upper)));
            }
            const int n = int(std::min<quint32>({16u, quint32(p.bytes.size() - i), 0x10000u - (at & 0xFFFF)}));
            out += hex_record(0, quint16(at), p.bytes.mid(i, n));
            i += n;
        }
    return out + hex_record(1, 0, {});
}

// One S-record with its checksum; `width` address bytes.
inline QByteArray s_record(int type, quint32 address, int width, const QByteArray &data)
{
    QByteArray r;
    r.append(char(width + data.size() + 1));
    for (int i = width - 1; i >= 0; --i)
        r.append(char(address >> (8 * i)));
    r.append(data);
    quint8 sum = 0;
    for (const char c : r)
        sum += quint8(c);
    r.append(char(~sum));
    return 'S' + QByteArray::number(type) + r.toHex().toUpper() + '\n';
}

// S1, S2 or S3 data records (`width` 2, 3 or 4) behind an S0 header, with an S5 count.
inline QByteArray to_srecord(const QVector<firmware_piece> &pieces, int width)
{
    QByteArray out = s_record(0, 0, 2, "korvane");
    int records = 0;
    for (const firmware_piece &p : pieces)
        for (int i = 0; i < p.bytes.size(); i += 32, ++records)
            out += s_record(width - 1, p.address + quint32(i), width, p.bytes.mid(i, 32));
    out += s_record(5, quint32(records), 2, {});
    return out + s_record(11 - width, 0, width, {});
}

// A linked program: each piece a loadable segment at its physical address (its virtual
// one elsewhere, as initialised data has it), behind a .bss segment with no file contents.
inline QByteArray to_elf(const QVector<firmware_piece> &pieces, bool wide, bool big)
{
    const int header = wide ? 64 : 52;
    const int entry = wide ? 56 : 32;
    const int count = pieces.size() + 1;
    QByteArray out(header + count * entry, '\0');
    const auto put = [&out, big](int at, quint64 value, int width) {
        for (int i = 0; i < width; ++i)
            out[at + (big ? width - 1 - i : i)] = char(value >> (8 * i));
    };
    const int word = wide ? 8 : 4;
    out.replace(0, 4, "\x7f" "ELF");
    out[4] = char(wide ? 2 : 1);
    out[5] = char(big ? 2 : 1);
    out[6] = 1;
    put(16, 2, 2);                  // an executable
    put(18, 40, 2);                 // for ARM
    put(wide ? 32 : 28, quint64(header), word);
    put(wide ? 54 : 42, quint64(entry), 2);
    put(wide ? 56 : 44, quint64(count), 2);
    const auto program = [&](int index, quint64 offset, quint64 vaddr, quint64 paddr, quint64 filesz, quint64 memsz) {
        const int at = header + index * entry;
        put(at, 1, 4); // PT_LOAD
        put(at + (wide ? 8 : 4), offset, word);
        put(at + (wide ? 16 : 8), vaddr, word);
        put(at + (wide ? 24 : 12), paddr, word);
        put(at + (wide ? 32 : 16), filesz, word);
        put(at + (wide ? 40 : 20), memsz, word);
    };
    program(0, 0, 0x20001000, 0x20001000, 0, 0x400);
    for (int i = 0; i < pieces.size(); ++i) {
        program(i + 1, quint64(out.size()), 0x20000000 + quint64(i) * 0x100, pieces[i].address,
                quint64(pieces[i].bytes.size()), quint64(pieces[i].bytes.size()));
        out += pieces[i].bytes;
    }
    return out;
}

// Known bytes as a raw binary of the same firmware holds them: from the lowest address,
// gaps 0xFF.
inline QByteArray as_binary(const QVector<firmware_piece> &pieces)
{
    quint32 low = pieces.constFirst().address;
    quint32 end = 0;
    for (const firmware_piece &p : pieces) {
        low = std::min(low, p.address);
        end = std::max(end, p.address + quint32(p.bytes.size()));
    }
    QByteArray out(int(end - low), char(0xFF));
    for (const firmware_piece &p : pieces)
        out.replace(int(p.address - low), p.bytes.size(), p.bytes);
    return out;
}

inline QByteArray seeded_bytes(int size, quint32 seed)
{
    QByteArray out(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        out[i] = char(seed >> 16);
    }
    return out;
}
