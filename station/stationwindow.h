#pragma once
// The production line's window: the firmware, the watched ports and line settings, 开始
// and 自动, one tile per device, the tally and the run log. What to do and when is
// station_line's; the window shows it and passes the operator's choices on.
#include "station_line.h"

#include <QMainWindow>

#include <vector>

QT_BEGIN_NAMESPACE
namespace Ui { class StationWindow; }
QT_END_NAMESPACE

struct station_options;
class tile_view;

class StationWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit StationWindow(QWidget *parent = nullptr);
    ~StationWindow() override;

    // A scripted start: the command line's patterns, firmware, log and mode. False with
    // the reason in *why when the log cannot be opened: a shift must not go unlogged.
    bool apply(const station_options &options, QString *why);
    station_line &line() { return model; }

protected:
    // While updates run the window stays until each has stopped at its next wait.
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_pB_select_clicked();
    void on_pB_start_clicked();
    void on_pB_auto_toggled(bool checked);

private:
    void init_lists();
    void load_firmware(const QString &path);
    void show_image();
    bool apply_patterns();
    void apply_line();
    void rebuild_tiles();
    void show_tile(int index);
    void show_tally();
    void add_log_line(const QString &text);

    Ui::StationWindow *ui;
    station_line model;
    std::vector<tile_view *> tiles;
};
