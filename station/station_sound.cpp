#include "station_sound.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>

namespace {

constexpr double pi = 3.14159265358979323846;

struct note
{
    double hz;  // 0: silence
    int ms;
    bool square; // a buzz rather than a clean tone
};

// Fades of a few milliseconds keep the notes from clicking.
void append_note(QByteArray &out, const note &n)
{
    const int count = station_sound::sample_rate * n.ms / 1000;
    const int fade = station_sound::sample_rate * 5 / 1000;
    for (int i = 0; i < count; ++i) {
        double v = 0.0;
        if (n.hz > 0) {
            const double phase = std::sin(2.0 * pi * n.hz * i / station_sound::sample_rate);
            v = n.square ? (phase >= 0 ? 0.35 : -0.35) : 0.5 * phase;
            v *= std::min({1.0, double(i) / fade, double(count - i) / fade});
        }
        char sample[2];
        qToLittleEndian<qint16>(qint16(v * 32767), sample);
        out.append(sample, 2);
    }
}

} // namespace

QByteArray station_sound::samples(kind k)
{
    static const note pass[] = {{660, 110, false}, {990, 180, false}};
    static const note fail[] = {{220, 160, true}, {0, 70, false}, {220, 160, true},
                                {0, 70, false},   {220, 160, true}};
    QByteArray out;
    if (k == kind::pass)
        for (const note &n : pass)
            append_note(out, n);
    else
        for (const note &n : fail)
            append_note(out, n);
    return out;
}

void station_sound::play(kind k)
{
    if (!on_)
        return;
    ++(k == kind::pass ? passes : fails);
    sound_out(samples(k));
}
