#pragma once

#include "events.h"
#include "faults.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <vector>

namespace devsim {

struct device_config
{
    bool boot = false; // start as the bootloader instead of the application
    quint32 base = 0x8000;
    quint32 flash_size = 1048576; // never past 2^32: the flash ends with the address space
    int slave_id = 1;
    int restart_register = 9;
    QVector<quint16> restart_values{0x4D2E, 0x6E3B};
    QString save_path;
    nanos byte_time = 0; // one byte on the line; 0 when the line is not paced
    bool echo = false;   // the line gives back every request taken in, ahead of its reply
};

// One piece of a reply. Its bytes go onto the line `delay` after the previous piece has
// left (or after the request was handled, for the first piece). The device waits for every
// piece to leave before it reads on, except for pieces set `apart`: it serves later
// requests while those wait for their time.
struct reply_piece
{
    QByteArray bytes;
    nanos delay = 0;
    bool apart = false;
};

// The device behind the line: the application that answers Modbus and restarts into the
// bootloader, and the bootloader with its flash. It never touches a file descriptor, so the
// line's pacing and the device's protocol stay apart.
class device
{
public:
    device(const device_config &config, const fault_plan &faults);

    // Bytes that have arrived; the last of them arrived at `at`.
    void feed(const QByteArray &bytes, nanos at);
    // The previous reply has left the line: a half-received request gets its full quiet
    // time from now, as the device only now looks at its input again.
    void resume(nanos now);
    // Handles buffered requests until one gives a reply (or hangs up) or none is complete,
    // and drops input that has been quiet for too long.
    void process(nanos now);
    // When process() must run again to drop quiet input; -1 when nothing waits.
    nanos deadline() const;
    // How many of the bytes on their way must arrive before a request can be complete, at
    // least 1: the simulator sleeps until then instead of waking for every byte.
    int wanted(const QByteArray &on_the_way) const;
    std::vector<reply_piece> take_reply();
    bool hung_up() const { return line_hung_up; }
    // At exit: --save, when something was written since the last save.
    void finish();

private:
    bool step_app();
    bool step_boot();
    void expire(nanos now);
    void handle_modbus(const QByteArray &request);
    void handle_frame(const QByteArray &request);
    bool looped_back(const char *name, const QByteArray &request);
    bool intercept(const char *name, const QByteArray &request, const fault **applied);
    QByteArray carry_out(const QByteArray &request, quint8 command, const char *name);
    bool erase(quint64 start, quint64 end);
    bool write(quint64 address, const QByteArray &request);
    QByteArray start_program();
    bool check_image();
    void save();
    void hang_up();
    void respond(const QByteArray &normal, const QByteArray &request, const fault *f);
    QByteArray disturb(QByteArray out, const QByteArray &request, fault_kind kind) const;
    bool advance_restart(int reg, int value);
    nanos quiet_limit() const;

    device_config cfg;
    fault_plan plan;
    bool boot;
    QByteArray input;
    nanos last_input = 0;
    std::vector<reply_piece> reply;
    bool line_hung_up = false;
    bool gone = false; // the device has left; the line loops every request back
    int restart_progress = 0; // restart values received in order so far

    QByteArray flash;
    // Addresses in 64 bits, so that no range computation wraps at the top of the space.
    bool erased = false; // [erase_start, erase_end) is valid
    quint64 erase_start = 0;
    quint64 erase_end = 0;
    bool unsaved_writes = false;
};

} // namespace devsim
