#pragma once
// One device on the production line's screen: its port and USB serial number, a progress
// bar, the current step, the time it has taken, and a pass or fail large enough to read
// from across the bench.
#include <QFrame>

class QLabel;
class QProgressBar;
struct station_tile;

class tile_view : public QFrame
{
    Q_OBJECT

public:
    explicit tile_view(QWidget *parent = nullptr);
    void show_tile(const station_tile &t, qint64 elapsed_ms);

private:
    void paint_state(const station_tile &t);

    QLabel *port;
    QLabel *serial;
    QLabel *state;
    QProgressBar *bar;
    QLabel *step;
    QLabel *elapsed;
};
