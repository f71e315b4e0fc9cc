#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QSerialPortInfo>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent),
      ui(new Ui::MainWindow),
      baud_rates{1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200,
                 230400, 460800, 921600, 1843200}
{
    ui->setupUi(this);
    setWindowTitle(tr("固件更新工具V2.0"));

    // Arguments carry no options; they only keep the lists empty and are logged.
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2)
        init_lists();
    qDebug() << "cmd" << args.join(QLatin1Char(' ')) << "+" << args.size();
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::init_lists()
{
    on_pB_scan_clicked();

    for (const qint32 rate : baud_rates)
        ui->cB_baud->addItem(QString::number(rate));
    ui->cB_baud->setCurrentText(QStringLiteral("115200"));

    ui->cB_stopbit->addItems({QStringLiteral("1"), QStringLiteral("2")});
    ui->cB_checkbit->addItems({tr("无校验"), tr("奇校验"), tr("偶校验")});

    auto_start = true;
}

void MainWindow::on_pB_scan_clicked()
{
    ui->cB_serial->clear();
    ui->cB_serial->clearEditText();
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
        ui->cB_serial->addItem(port.portName()
                               + (port.isBusy() ? QStringLiteral("(忙)") : QStringLiteral("(闲)")));
}

void MainWindow::on_pB_select_clicked()
{
    // Reopen where the last choice was, so picking the next build of the same
    // firmware is one click.
    const QString current = ui->lE_filePath->text();
    const QString start = current.isEmpty() ? QDir::currentPath() : current;
    // A cancelled dialog returns an empty path, which clears the field on purpose.
    ui->lE_filePath->setText(QFileDialog::getOpenFileName(this, tr("选择固件"), start,
                                                          tr("firmware (*.bin *.qvb)")));
}

void MainWindow::on_rB_auto_toggled(bool checked)
{
    auto_start = checked;
}

void MainWindow::on_pB_downLoader_clicked()
{
    // Filled in together with the progress dialog that runs the update.
}
