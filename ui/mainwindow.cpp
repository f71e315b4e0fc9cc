#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "diaglogprogress.h"
#include "enter_key.h"
#include "image.h"
#include "update_settings.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QTimer>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent),
      ui(new Ui::MainWindow),
      baud_rates{1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200,
                 230400, 460800, 921600, 1843200}
{
    ui->setupUi(this);
    // One literal once the version is pasted in: "固件更新工具V2.0" for any 2.0.x.
    setWindowTitle(tr("固件更新工具V" KORVANE_VERSION_SHORT));
    // A technician at the bench (or a barcode scanner) needs no mouse: Tab to a button
    // and Return presses it.
    press_buttons_with_enter(this);

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

namespace {

// "USB-SERIAL CH340 · wch.cn · 1a86:7523 · 序列号 A50285BI", whatever of it is known.
QString adapter_words(const QSerialPortInfo &port)
{
    QStringList words;
    if (!port.description().isEmpty())
        words << port.description();
    if (!port.manufacturer().isEmpty())
        words << port.manufacturer();
    if (port.hasVendorIdentifier() && port.hasProductIdentifier())
        words << QStringLiteral("%1:%2")
                     .arg(port.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                     .arg(port.productIdentifier(), 4, 16, QLatin1Char('0'));
    if (!port.serialNumber().isEmpty())
        words << QStringLiteral("序列号 %1").arg(port.serialNumber());
    return words.join(QStringLiteral(" · "));
}

} // namespace

void MainWindow::on_pB_scan_clicked()
{
    ui->cB_serial->clear();
    ui->cB_serial->clearEditText();
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts()) {
        ui->cB_serial->addItem(port.portName()
                               + (port.isBusy() ? QStringLiteral("(忙)") : QStringLiteral("(闲)")));
        // Which adapter is which, as the driver names it (COM numbers say nothing of that).
        ui->cB_serial->setItemData(ui->cB_serial->count() - 1, adapter_words(port), Qt::ToolTipRole);
    }
}

void MainWindow::on_pB_select_clicked()
{
    // Reopen where the last choice was, so picking the next build of the same
    // firmware is one click.
    const QString current = ui->lE_filePath->text();
    const QString start = current.isEmpty() ? QDir::currentPath() : current;
    // A cancelled dialog returns an empty path, which clears the field on purpose.
    const QString filter = tr("固件 (%1);;所有文件 (*)").arg(QLatin1String(firmware_file::dialog_patterns));
    ui->lE_filePath->setText(QFileDialog::getOpenFileName(this, tr("选择固件"), start, filter));
}

bool MainWindow::write_text_anyway()
{
    QMessageBox box(QMessageBox::Question, tr("确认"),
                    tr("所选文件看起来是文本，不是 Intel HEX、S-record 或 ELF 固件。\n"
                       "仍要把它当作二进制固件写入设备吗？"),
                    QMessageBox::NoButton, this);
    QPushButton *write = box.addButton(tr("写入"), QMessageBox::AcceptRole);
    box.setDefaultButton(box.addButton(tr("取消"), QMessageBox::RejectRole));
    box.exec();
    return box.clickedButton() == write;
}

void MainWindow::on_rB_auto_toggled(bool checked)
{
    auto_start = checked;
}

void MainWindow::on_pB_downLoader_clicked()
{
    UpdateSettings &settings = UpdateSettings::instance();
    settings.auto_start = auto_start;

    if (ui->lE_filePath->text().isEmpty()) {
        QMessageBox box(QMessageBox::Critical, tr("错误"), tr("请先选择固件！"),
                        QMessageBox::NoButton, this);
        box.setDefaultButton(box.addButton(tr("确认"), QMessageBox::AcceptRole));
        box.exec();
        return;
    }

    settings.firmware_path = ui->lE_filePath->text();
    // Text that is none of the firmware formats is almost always the wrong file (notes, a
    // listing, a C array): written as it stands it would leave the device without a program.
    const bool text = image::load(settings.firmware_path).error == image::failure::not_firmware;
    if (text && !write_text_anyway())
        return;
    settings.firmware_raw = text;
    // Scanned entries carry a "(忙)"/"(闲)" suffix; a typed name has none.
    settings.port_name = ui->cB_serial->currentText().split(QLatin1Char('(')).first();
    settings.baud_rate = ui->cB_baud->currentText().toInt();
    switch (ui->cB_checkbit->currentIndex()) {
    case 1:
        settings.parity = QStringLiteral("O");
        break;
    case 2:
        settings.parity = QStringLiteral("E");
        break;
    default:
        // Position 0, or no entry at all (the list stays empty after a start with
        // arguments): no parity, as the list's first entry would give.
        settings.parity = QStringLiteral("N");
        break;
    }
    settings.stop_bits = ui->cB_stopbit->currentText().toInt();
    settings.product_descriptor = QStringLiteral("modbus,1,9,0x4D2E,0x6E3B");

    // The dialog starts the update as it is built; its destructor waits for the worker.
    diaglogProgress dialog(this);
    const Qt::WindowFlags flags = Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint;
    QMessageBox *box;
    if (dialog.exec() == QDialog::Accepted) {
        box = new QMessageBox(QMessageBox::Information, tr("更新完成"), tr("更新完成"),
                              QMessageBox::NoButton, this, flags);
        // The box is the timer's context: if the operator closed it first and it is
        // gone, the timer is dropped with it.
        QTimer::singleShot(1000, box, &QMessageBox::accept);
    } else {
        box = new QMessageBox(QMessageBox::Critical, tr("错误"), tr("更新失败"),
                              QMessageBox::NoButton, this, flags);
    }
    box->exec();
    box->deleteLater();
}
