#pragma once
// The production line's window: the firmware, the watched ports and line settings, 开始
// and 自动, the board's scanned serial number, one tile per device, the tally, banners for
// what stops the line, and the run log. What to do and when is station_line's; the window
// shows it, sounds each verdict and passes the operator's choices on.
#include "station_line.h"
#include "station_sound.h"

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

    // Starts the line: the command line's patterns, firmware, log and mode over what the
    // last run left, then the watch. False, with the reason in *why and the exit status in
    // *status, when the log is the firmware or a port (a usage error) or cannot be opened:
    // a shift must not go unlogged. Nothing has been scanned then.
    bool apply(const station_options &options, QString *why, int *status = nullptr);
    station_line &line() { return model; }
    const station_sound &sound() const { return speaker; }

protected:
    // While updates run the window stays until each has stopped at its next wait.
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void on_pB_select_clicked();
    void on_pB_start_clicked();
    void on_pB_auto_toggled(bool checked);
    void on_pB_acknowledge_clicked();

private:
    void init_fields();
    void init_scanner();
    void init_lists();
    void init_look();
    void restore();
    void remember() const;
    void load_firmware(const QString &path);
    void show_image();
    void show_loaded(const image::loaded &l);
    bool apply_patterns();
    void take_ports(const QStringList &named);
    bool open_log(const QString &path, QString *why, int *status);
    void show_ports_origin();
    void apply_line();
    void show_buttons();
    void show_log_banner();
    void show_board_serial();
    void rebuild_tiles();
    void lay_out_tiles();
    void show_tile(int index);
    void show_tally();
    int tally_room() const;
    void sound_verdict(int index);
    void add_log_line(const QString &text);
    bool ask_again(int passed);

    Ui::StationWindow *ui;
    station_line model;
    station_sound speaker;
    std::vector<tile_view *> tiles;
    bool restoring = false;
    QString ports_from_last_run; // as remembered, when this run took them; empty otherwise
};
