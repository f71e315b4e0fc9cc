#pragma once
// A serial line and a bootloader inside the fuzz process, on a clock of their own: the
// worker's 5 ms waits cost nothing, so a whole update with its retries and its 3 s erase
// waits runs in microseconds. What the device does with each request (answer, lose it,
// answer late, twice, corrupted, ...) is read from the fuzz input.
#include "fuzz_check.h"

#include "frame.h"
#include "image.h"

#include "line.h"

#include <map>

namespace fuzz {

// What the device does with one request; the fuzz input picks one per request.
// `echo` answers and sends the same reply again up to three reply waits later; `very_late`
// answers three to six reply waits late. Replies name no request, so no rule can tell such a
// reply from an answer in every case: only the device's own check at the start can.
enum class act { answer, lose, late, blocked, twice, corrupt, stray, error, split, echo, very_late };

struct scripted_device
{
    quint32 base = 0x8000;
    QByteArray flash = QByteArray(16384, char(0xFF));
    bool erased = false;
    quint32 erase_start = 0, erase_end = 0;
    bool started_ok = false;   // a start request found a good image and said so
    bool start_refused = false;

    // The reply the device owes a request it carried out; empty for none.
    QByteArray carry_out(const QByteArray &request);

private:
    QByteArray start_program();
    bool inside(quint64 start, quint64 end) const;
};

class scripted_port : public line
{
public:
    scripted_port(reader &script, scripted_device &device, QObject *parent)
        : line(parent), script(script), device(device)
    {
    }

    bool open() override { return opened = true; }
    void close() override { opened = false; }
    bool isOpen() const override { return opened; }
    QByteArray readAll() override;
    qint64 write(const char *data, qint64 size) override;
    bool waitForBytesWritten(int) override { return false; }
    bool waitForReadyRead(int msecs) override;
    QString errorString() const override { return {}; }

    qint64 now_ms() const { return now; }
    int requests() const { return taken; }
    // An echo or a very late reply was sent.
    bool untellable() const { return ambiguous; }

private:
    void deliver();
    void schedule(qint64 at, const QByteArray &bytes);
    act next_act(int *arg);

    reader &script;
    scripted_device &device;
    qint64 now = 0;
    qint64 busy_until = 0; // the device reads nothing before its blocked reply has left
    std::multimap<qint64, QByteArray> on_the_way;
    QByteArray arrived;
    int taken = 0;
    bool ambiguous = false;
    bool opened = false;
};

} // namespace fuzz
