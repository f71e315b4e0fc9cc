// korvane-bench-reference: the least a client of the bootloader can do, as a yardstick for
// korvane-cli. One thread, blocking reads, no retries but the handshake's, no checks
// beyond the replies' own:
// the same requests and the same pauses as an update by korvane-cli, against the same
// simulated device, so that what korvane-cli takes beyond it is korvane's own cost and
// what both take beyond the wire is the test rig's.
//
//   korvane-bench-reference PORT BAUD FIRMWARE [TIMES]
//
// Exits 0 when every request was answered and accepted, 1 otherwise. TIMES, if given, gets
// one line as korvane-cli's KORVANE_TURNAROUND_LOG does: PORT, then the nanoseconds from
// each reply read to the next block's request written.
#include "frame.h"
#include "image.h"
#include "modbus.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

// Every reply wait. A clean run never reaches it: it only keeps a machine loaded by others
// (or by 32 simulators) from failing a client that korvane's worker, which counts its
// waits in polls rather than on the clock, would have waited for.
constexpr int reply_wait_ms = 10000;
constexpr int handshake_limit_ms = 30000;

qint64 now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(clock_type::now().time_since_epoch()).count();
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "korvane-bench-reference: %s\n", what);
    std::exit(1);
}

speed_t speed_of(int baud)
{
    return baud == 921600 ? B921600 : baud == 460800 ? B460800 : baud == 230400 ? B230400 : B115200;
}

int open_port(const char *path, int baud)
{
    const int fd = ::open(path, O_RDWR | O_NOCTTY);
    if (fd < 0)
        fail("cannot open the port");
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, speed_of(baud));
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

void write_all(int fd, const QByteArray &bytes)
{
    for (qint64 done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n <= 0)
            fail("cannot write to the port");
        done += n;
    }
}

// Whether anything arrives within `timeout_ms`.
bool readable(int fd, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeout_ms) > 0;
}

// Reads until the bytes form a frame; empty after `timeout_ms` without a byte.
QByteArray read_frame(int fd, int timeout_ms)
{
    QByteArray reply;
    char buffer[256];
    while (!frame::is_complete(reply)) {
        if (!readable(fd, timeout_ms))
            return {};
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return {};
        reply.append(buffer, int(n));
    }
    return reply;
}

struct client
{
    const char *path;
    int baud;
    int fd = -1;
    std::vector<qint64> turnaround_ns;

    // The device application's restart into its bootloader: each request, a wait for any
    // answer, the pause.
    void restart()
    {
        const modbus::restart_request r = modbus::parse_descriptor(QLatin1String(modbus::default_descriptor));
        for (const qint32 value : r.values) {
            write_all(fd, modbus::write_register_request(r.address, r.reg, value));
            readable(fd, reply_wait_ms);
            std::this_thread::sleep_for(std::chrono::milliseconds(modbus::pause_ms));
        }
    }

    // The handshake as korvane's worker makes it: close, pause, reopen, ask; again while
    // nothing answers, for up to 30 s.
    bool handshake()
    {
        const clock_type::time_point started = clock_type::now();
        while (clock_type::now() - started < std::chrono::milliseconds(handshake_limit_ms)) {
            ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            fd = open_port(path, baud);
            tcflush(fd, TCIFLUSH);
            write_all(fd, frame::handshake_request());
            const frame::verdict v = frame::judge_handshake(read_frame(fd, frame::handshake_wait_ms));
            if (v.status != outcome::no_reply)
                return v.status == outcome::accepted;
        }
        return false;
    }

    frame::verdict ask(const QByteArray &request, frame::verdict (*judge)(const QByteArray &))
    {
        write_all(fd, request);
        return judge(read_frame(fd, reply_wait_ms));
    }

    void write_image(quint32 base, const QByteArray &image)
    {
        turnaround_ns.reserve(size_t(image.size() / frame::block_size + 1));
        qint64 reply_read = -1;
        for (int offset = 0; offset < image.size(); offset += frame::block_size) {
            const int length = std::min(frame::block_size, image.size() - offset);
            const QByteArray request = frame::write_request(base + quint32(offset), image.constData() + offset, length);
            if (reply_read >= 0)
                turnaround_ns.push_back(now_ns() - reply_read);
            write_all(fd, request);
            const frame::verdict v = frame::judge_write(read_frame(fd, reply_wait_ms));
            reply_read = now_ns();
            if (v.status != outcome::accepted)
                fail("a block was not accepted");
        }
    }
};

bool save_times(const char *path, const char *port, const std::vector<qint64> &ns)
{
    QByteArray line(port);
    for (const qint64 each : ns)
        line += ' ' + QByteArray::number(each);
    line += '\n';
    QFile file(QString::fromLocal8Bit(path));
    return file.open(QIODevice::WriteOnly | QIODevice::Append) && file.write(line) == line.size();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: korvane-bench-reference PORT BAUD FIRMWARE [TIMES]\n");
        return 64;
    }
    client c{argv[1], std::atoi(argv[2]), -1, {}};
    c.fd = open_port(c.path, c.baud);
    c.restart();
    if (!c.handshake())
        fail("no handshake");
    const frame::verdict info = c.ask(frame::info_request(), frame::judge_info);
    if (info.status != outcome::accepted)
        fail("no device information");
    const image::loaded loaded = image::load(QString::fromLocal8Bit(argv[3]));
    if (!loaded.ok())
        fail("the firmware does not load");
    const quint32 end = info.address + quint32(loaded.bytes.size());
    if (c.ask(frame::erase_request(info.address, end), frame::judge_erase).status
        != outcome::accepted)
        fail("the erase was not accepted");
    c.write_image(info.address, loaded.bytes);
    if (c.ask(frame::start_request(info.address), frame::judge_start).status != outcome::accepted)
        fail("the start was not accepted");
    ::close(c.fd);
    if (argc > 4 && !save_times(argv[4], argv[1], c.turnaround_ns))
        fail("cannot write the times");
    return 0;
}
