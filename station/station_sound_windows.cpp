// The verdict's sound through Windows' own PlaySound, from a wave file made in memory
// around the samples. PlaySound reads that memory while it plays, so it is kept until the
// next sound or the end, and the sound playing is stopped before it is replaced.
#include "station_sound.h"

#include <QtEndian>

#include <windows.h>

#include <mmsystem.h>

namespace {

void put16(QByteArray &out, quint16 v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

void put32(QByteArray &out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

// A RIFF/WAVE file: 16-bit mono PCM at the samples' rate.
QByteArray wave_of(const QByteArray &pcm)
{
    QByteArray w;
    w.append("RIFF", 4);
    put32(w, quint32(36 + pcm.size()));
    w.append("WAVEfmt ", 8);
    put32(w, 16);
    put16(w, 1); // PCM
    put16(w, 1); // mono
    put32(w, station_sound::sample_rate);
    put32(w, station_sound::sample_rate * 2);
    put16(w, 2);
    put16(w, 16);
    w.append("data", 4);
    put32(w, quint32(pcm.size()));
    return w + pcm;
}

void stop_playing()
{
    PlaySoundW(nullptr, nullptr, 0);
}

} // namespace

struct station_sound::player
{
    QByteArray wave;
};

station_sound::station_sound(QObject *parent) : QObject(parent), out(std::make_unique<player>())
{
}

station_sound::~station_sound()
{
    stop_playing();
}

void station_sound::sound_out(const QByteArray &pcm)
{
    stop_playing();
    out->wave = wave_of(pcm);
    // Without an audio device this fails quietly, as a station without speakers should.
    PlaySoundW(reinterpret_cast<LPCWSTR>(out->wave.constData()), nullptr,
               SND_MEMORY | SND_ASYNC | SND_NODEFAULT);
}
