#include "tile_view.h"

#include "job.h"
#include "station_line.h"

#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>

tile_view::tile_view(QWidget *parent)
    : QFrame(parent), port(new QLabel(this)), serial(new QLabel(this)), state(new QLabel(this)),
      bar(new QProgressBar(this)), step(new QLabel(this)), elapsed(new QLabel(this))
{
    setFrameShape(QFrame::StyledPanel);
    setMinimumWidth(300);
    QFont bold = port->font();
    bold.setBold(true);
    port->setFont(bold);
    serial->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // The verdict is read from meters away: large, bold, on a full-width coloured band.
    QFont big = state->font();
    big.setPointSize(28);
    big.setBold(true);
    state->setFont(big);
    state->setAlignment(Qt::AlignCenter);
    state->setAutoFillBackground(true);
    state->setMinimumHeight(72);
    bar->setRange(0, 100);
    elapsed->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    step->setWordWrap(true);

    auto *grid = new QGridLayout(this);
    grid->addWidget(port, 0, 0);
    grid->addWidget(serial, 0, 1);
    grid->addWidget(state, 1, 0, 1, 2);
    grid->addWidget(bar, 2, 0, 1, 2);
    grid->addWidget(step, 3, 0);
    grid->addWidget(elapsed, 3, 1);
    grid->setColumnStretch(0, 1);
}

void tile_view::paint_state(const station_tile &t)
{
    QPalette p = state->palette();
    QColor band(0xe0, 0xe0, 0xe0);
    QColor text(0x30, 0x30, 0x30);
    if (t.what == station_tile::state::ok) {
        band = QColor(0x2e, 0x7d, 0x32);
        text = Qt::white;
    } else if (t.what == station_tile::state::failed) {
        band = QColor(0xc6, 0x28, 0x28);
        text = Qt::white;
    }
    p.setColor(QPalette::Window, band);
    p.setColor(QPalette::WindowText, text);
    state->setPalette(p);
    state->setText(station_line::state_text(t.what));
}

void tile_view::show_tile(const station_tile &t, qint64 elapsed_ms)
{
    port->setText(t.present ? t.location : tr("%1 (已拔出)").arg(t.location));
    serial->setText(t.serial.isEmpty() ? QString() : tr("序列号 %1").arg(t.serial));
    paint_state(t);
    bar->setValue(t.job ? qMax(0, t.job->progress) : 0);
    // A failure says why, in red; otherwise the step the update is at (or ended in).
    const bool failed = t.what == station_tile::state::failed;
    QPalette p = step->palette();
    p.setColor(QPalette::WindowText, failed ? QColor(0xc6, 0x28, 0x28) : palette().color(QPalette::WindowText));
    step->setPalette(p);
    if (failed)
        step->setText(t.reason);
    else if (t.what == station_tile::state::ok)
        step->setText(tr("更新完成"));
    else
        step->setText(t.job ? t.job->step : QString());
    elapsed->setText(t.job ? tr("%1 秒").arg(double(elapsed_ms) / 1000.0, 0, 'f', 1) : QString());
}
