#pragma once
// A short sound for each verdict, heard across the room: two rising notes for a pass, three
// low buzzes for a failure. Played on the system's default device, through Qt Multimedia
// (station_sound_qt.cpp) or Windows' own sound calls (station_sound_windows.cpp); where
// there is none (a server, a test) nothing sounds and nothing fails.
#include <QByteArray>
#include <QObject>

#include <memory>

class station_sound : public QObject
{
    Q_OBJECT

public:
    enum class kind { pass, fail };

    explicit station_sound(QObject *parent = nullptr);
    ~station_sound() override;

    void set_enabled(bool on) { on_ = on; }
    bool enabled() const { return on_; }
    // Starts the sound, cutting short one still playing; nothing while disabled.
    void play(kind k);
    // How many of each were played (asked of the device, if there is one); for tests.
    int played(kind k) const { return k == kind::pass ? passes : fails; }

    // The samples: 16-bit little-endian mono at sample_rate.
    static QByteArray samples(kind k);
    static constexpr int sample_rate = 22050;

private:
    // Hands the samples to the system's audio, cutting short what still plays.
    void sound_out(const QByteArray &pcm);

    bool on_ = true;
    int passes = 0;
    int fails = 0;
    struct player; // the platform's audio output and what it plays
    std::unique_ptr<player> out;
};
