#pragma once

#include <QMainWindow>

#include <array>

QT_BEGIN_NAMESPACE
namespace Ui { class MainWindow; }
QT_END_NAMESPACE

// The program's only top-level window: the operator picks the port, its line
// settings and a firmware file here, and starts the download.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    // Bound to the form's widgets by name when the form is set up.
    void on_pB_downLoader_clicked();
    void on_pB_scan_clicked();
    void on_rB_auto_toggled(bool checked);
    void on_pB_select_clicked();

private:
    void init_lists();
    // Asks before a file that looks like text is written as a binary image.
    bool write_text_anyway();

    Ui::MainWindow *ui;
    std::array<qint32, 12> baud_rates;
    bool auto_start = true; // follows rB_auto, which the form creates checked

    friend class MainWindowTest;
};
