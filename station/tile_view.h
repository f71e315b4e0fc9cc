#pragma once
// One device on the production line's screen: its port and serial number, a state band
// whose words grow with the tile so that they read from across the room, a progress bar,
// the current step or why it failed, and the time it has taken.
#include <QFrame>
#include <QSize>

class QGridLayout;
class QLabel;
class QProgressBar;
struct station_tile;

// How `count` tiles share `area`: as many columns as make the tiles largest while none is
// smaller than `minimum`. When even the minimum does not fit, as many columns as fit
// across, the rows of minimum height, and the area scrolls.
struct tile_grid
{
    int columns = 1;
    QSize tile;
    bool fits = true; // every tile in view without scrolling
};
tile_grid fit_tiles(int count, const QSize &area, const QSize &minimum, int spacing);

class tile_view : public QFrame
{
    Q_OBJECT

public:
    explicit tile_view(QWidget *parent = nullptr);
    void show_tile(const station_tile &t, qint64 elapsed_ms);
    // The smallest tile whose texts still read, from the font.
    static QSize minimum_tile(const QFont &font);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void paint_state(const station_tile &t);
    void fit_texts();
    void fit_top_row();

    QGridLayout *grid;
    QLabel *port;
    QLabel *serial;
    QLabel *state;
    QProgressBar *bar;
    QLabel *step;
    QLabel *elapsed;
    QString port_text;
    QString port_name; // the end of port_text that names the port (ttyUSB12)
    QString serial_kind; // 板卡 or 序列号, kept whole
    QString serial_text; // the number, cut at its start when it must be
    QString step_text;
    QString step_tip;
};
