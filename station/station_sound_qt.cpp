// The verdict's sound through Qt Multimedia's audio output.
#include "station_sound.h"

#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QAudioOutput>
#include <QBuffer>

struct station_sound::player
{
    QBuffer buffer;
    std::unique_ptr<QAudioOutput> output; // made at the first sound
    bool no_device = false;
};

station_sound::station_sound(QObject *parent) : QObject(parent), out(std::make_unique<player>())
{
}

station_sound::~station_sound()
{
    if (out->output)
        out->output->stop();
}

void station_sound::sound_out(const QByteArray &pcm)
{
    if (out->no_device)
        return;
    if (!out->output) {
        QAudioFormat format;
        format.setSampleRate(sample_rate);
        format.setChannelCount(1);
        format.setSampleSize(16);
        format.setCodec(QStringLiteral("audio/pcm"));
        format.setByteOrder(QAudioFormat::LittleEndian);
        format.setSampleType(QAudioFormat::SignedInt);
        const QAudioDeviceInfo device = QAudioDeviceInfo::defaultOutputDevice();
        if (device.isNull() || !device.isFormatSupported(format)) {
            out->no_device = true;
            return;
        }
        out->output = std::make_unique<QAudioOutput>(device, format);
    }
    out->output->stop();
    out->buffer.close();
    out->buffer.setData(pcm);
    out->buffer.open(QIODevice::ReadOnly);
    out->output->start(&out->buffer);
}
