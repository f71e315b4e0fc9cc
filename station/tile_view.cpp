#include "tile_view.h"

#include "job.h"
#include "station_line.h"

#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>

#include <algorithm>

tile_grid fit_tiles(int count, const QSize &area, const QSize &minimum, int spacing)
{
    tile_grid best;
    double best_score = -1;
    for (int columns = 1; columns <= qMax(1, count); ++columns) {
        const int rows = (qMax(1, count) + columns - 1) / columns;
        const int w = (area.width() - (columns - 1) * spacing) / columns;
        const int h = (area.height() - (rows - 1) * spacing) / rows;
        if (w < minimum.width() || h < minimum.height())
            continue;
        // Never taller than wide nor more than three times as wide as tall: one device
        // alone gets a large tile, not a banner across the screen.
        const int height = std::min(h, w);
        const int width = std::min(w, 3 * height);
        const double score = std::min(double(width), 2.0 * height);
        if (score > best_score) {
            best_score = score;
            best = {columns, QSize(width, height), true};
        }
    }
    if (best_score >= 0)
        return best;
    const int columns = qMax(1, (area.width() + spacing) / (minimum.width() + spacing));
    const int w = qMax(minimum.width(), (area.width() - (columns - 1) * spacing) / columns);
    return {columns, QSize(w, minimum.height()), false};
}

QSize tile_view::minimum_tile(const QFont &font)
{
    const int line = QFontMetrics(font).height();
    return {9 * line, 5 * line};
}

tile_view::tile_view(QWidget *parent)
    : QFrame(parent), grid(nullptr), port(new QLabel(this)), serial(new QLabel(this)), state(new QLabel(this)),
      bar(new QProgressBar(this)), step(new QLabel(this)), elapsed(new QLabel(this))
{
    setFrameShape(QFrame::StyledPanel);
    QFont bold = port->font();
    bold.setBold(true);
    port->setFont(bold);
    serial->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // The verdict is read from meters away: bold on a full-width coloured band, its size
    // set from the band's own (fit_texts()).
    QFont big = state->font();
    big.setBold(true);
    state->setFont(big);
    state->setAlignment(Qt::AlignCenter);
    state->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    bar->setRange(0, 100);
    bar->setTextVisible(false);
    bar->setFixedHeight(QFontMetrics(font()).height() * 2 / 3);
    elapsed->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // Long paths and reasons are cut to the tile (fit_texts()), never widen it.
    for (QLabel *l : {port, serial, step})
        l->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

    grid = new QGridLayout(this);
    grid->setContentsMargins(4, 3, 4, 3);
    grid->setSpacing(2);
    grid->addWidget(port, 0, 0);
    grid->addWidget(serial, 0, 1);
    grid->addWidget(state, 1, 0, 1, 2);
    grid->addWidget(bar, 2, 0, 1, 2);
    // Side by side in a row of their own, so that a failure's reason can take it all.
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(step, 1);
    bottom->addWidget(elapsed);
    grid->addLayout(bottom, 3, 0, 1, 2);
    grid->setRowStretch(1, 1);
}

void tile_view::paint_state(const station_tile &t)
{
    QColor band(0xe0, 0xe0, 0xe0);
    QColor text(0x30, 0x30, 0x30);
    if (t.what == station_tile::state::ok) {
        band = QColor(0x2e, 0x7d, 0x32);
        text = Qt::white;
    } else if (t.what == station_tile::state::written) {
        band = QColor(0xef, 0x8f, 0x00); // amber: on the device, but never confirmed by it
        text = Qt::black;
    } else if (t.what == station_tile::state::failed) {
        band = QColor(0xc6, 0x28, 0x28);
        text = Qt::white;
    }
    // Style sheets, not palettes: the tile's own sheet would override a palette.
    state->setStyleSheet(QStringLiteral("background: %1; color: %2;").arg(band.name(), text.name()));
    state->setText(station_line::state_text(t.what));
    // A failed tile is red all over, not only its band.
    setStyleSheet(t.what == station_tile::state::failed
                      ? QStringLiteral("tile_view { border: 3px solid #c62828; background: #fde0e0; }")
                      : QString());
}

void tile_view::show_tile(const station_tile &t, qint64 elapsed_ms)
{
    port_text = t.present ? t.location : tr("%1 (已拔出)").arg(t.location);
    port_name = QFileInfo(port_text).fileName();
    // The board's own number is what the shift log is searched by; the adapter's otherwise.
    serial_kind = !t.board_serial.isEmpty() ? tr("板卡 ") : t.serial.isEmpty() ? QString() : tr("序列号 ");
    serial_text = t.board_serial.isEmpty() ? t.serial : t.board_serial;
    const bool failed = t.what == station_tile::state::failed;
    QStringList tip{t.location};
    if (!serial_text.isEmpty())
        tip << serial_kind + serial_text;
    if (failed)
        tip << t.reason_whole;
    setToolTip(tip.join(QLatin1Char('\n')));
    paint_state(t);
    bar->setValue(t.job ? qMax(0, t.job->progress) : 0);
    // A failure says why, in red; otherwise the step the update is at (or ended in).
    QPalette p = step->palette();
    p.setColor(QPalette::WindowText, failed ? QColor(0xc6, 0x28, 0x28) : palette().color(QPalette::WindowText));
    step->setPalette(p);
    QFont f = step->font();
    f.setBold(failed);
    step->setFont(f);
    step_tip = failed ? t.reason_whole : QString();
    if (failed)
        step_text = t.reason;
    else if (t.what == station_tile::state::ok)
        step_text = tr("更新完成");
    else if (t.what == station_tile::state::written)
        step_text = tr("已写入，未经设备确认");
    else
        step_text = t.job ? t.job->step : QString();
    elapsed->setText(t.job ? tr("%1 秒").arg(double(elapsed_ms) / 1000.0, 0, 'f', 1) : QString());
    elapsed->setVisible(!failed); // why it failed matters more than how long it took
    fit_texts();
}

void tile_view::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    fit_texts();
}

// The port on the left, the serial number on the right of one row. The number gets the room
// it needs as long as the port keeps its own name (ttyUSB12); each is cut at its start, so
// that what tells ports and boards apart, their ends (…ttyUSB12, …B002), stays in view.
void tile_view::fit_top_row()
{
    const QFontMetrics pm(port->font());
    const QFontMetrics sm(serial->font());
    const int room = qMax(0, contentsRect().width() - grid->contentsMargins().left()
                                 - grid->contentsMargins().right() - grid->horizontalSpacing());
    const int port_wants = pm.horizontalAdvance(port_text);
    // A long name (a by-id link's) says little at its end: the number comes first then.
    const int name_width = pm.horizontalAdvance(QStringLiteral("…") + port_name);
    const int port_least = qMin(port_wants, name_width <= room / 2 ? name_width : room / 3);
    const int serial_wants = serial_text.isEmpty() ? 0 : sm.horizontalAdvance(serial_kind + serial_text);
    const int serial_width = qMin(serial_wants, room - qMin(port_wants, qMax(port_least, room - serial_wants)));
    const int port_width = room - serial_width;
    grid->setColumnStretch(0, qMax(1, port_width));
    grid->setColumnStretch(1, qMax(1, serial_width));
    port->setText(pm.elidedText(port_text, Qt::ElideLeft, port_width));
    const int kind_width = sm.horizontalAdvance(serial_kind);
    serial->setText(serial_text.isEmpty() ? QString()
                                          : serial_kind + sm.elidedText(serial_text, Qt::ElideLeft,
                                                                        qMax(0, serial_width - kind_width)));
}

void tile_view::fit_texts()
{
    fit_top_row();
    // A reason's start says the most; the whole of it is in the tooltip.
    step->setText(step->fontMetrics().elidedText(step_text, Qt::ElideRight, step->width()));
    step->setToolTip(step_tip.isEmpty() ? step_text : step_tip);
    // Three characters (已写入) across the band, and no taller than the band allows.
    QFont big = state->font();
    big.setPixelSize(qBound(12, std::min(state->height() * 3 / 5, state->width() / 4), 160));
    state->setFont(big);
}
