#include "stationwindow.h"
#include "ui_stationwindow.h"

#include "command_line.h"
#include "enter_key.h"
#include "tile_view.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScrollBar>

namespace {

constexpr int tile_columns = 3;

QString format_text(const image::loaded &l)
{
    if (l.container)
        return StationWindow::tr("二进制（.qvb）");
    if (l.format == firmware_file::format::binary)
        return StationWindow::tr("二进制");
    return QString::fromLatin1(firmware_file::name(l.format));
}

} // namespace

StationWindow::StationWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::StationWindow)
{
    ui->setupUi(this);
    // One literal once the version is pasted in: "固件更新工作站V2.0" for any 2.0.x.
    setWindowTitle(tr("固件更新工作站V" KORVANE_VERSION_SHORT));
    press_buttons_with_enter(this);
    init_lists();
    // The tally is read from across the bench like the tiles.
    QFont big = ui->lB_tally->font();
    big.setPointSize(20);
    big.setBold(true);
    ui->lB_tally->setFont(big);
    ui->wG_tiles->layout()->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    show_tally();

    // A typed path is loaded once the field is left or Return pressed; 选择 always loads,
    // so a rebuilt file of the same name is picked up by choosing it again.
    connect(ui->lE_firmware, &QLineEdit::editingFinished, this, [this] {
        if (ui->lE_firmware->text() != model.firmware().path)
            load_firmware(ui->lE_firmware->text());
    });
    connect(ui->lE_ports, &QLineEdit::editingFinished, this, [this] { apply_patterns(); });
    for (QComboBox *box : {ui->cB_baud, ui->cB_stopbit, ui->cB_checkbit})
        connect(box, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] { apply_line(); });
    connect(ui->rB_autoStart, &QRadioButton::toggled, this, [this] { apply_line(); });
    apply_line();

    connect(&model, &station_line::tiles_changed, this, &StationWindow::rebuild_tiles);
    connect(&model, &station_line::tile_changed, this, &StationWindow::show_tile);
    connect(&model, &station_line::tally_changed, this, &StationWindow::show_tally);
    connect(&model, &station_line::logged, this, &StationWindow::add_log_line);
    connect(&model, &station_line::finished, this, &QWidget::close);
    model.start_watching();
}

StationWindow::~StationWindow()
{
    delete ui;
}

void StationWindow::init_lists()
{
    // The same choices as the bench window's.
    for (const qint32 rate : {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800,
                              921600, 1843200})
        ui->cB_baud->addItem(QString::number(rate));
    ui->cB_baud->setCurrentText(QStringLiteral("115200"));
    ui->cB_stopbit->addItems({QStringLiteral("1"), QStringLiteral("2")});
    ui->cB_checkbit->addItems({tr("无校验"), tr("奇校验"), tr("偶校验")});
}

bool StationWindow::apply(const station_options &options, QString *why)
{
    if (!options.log.isEmpty() && !model.open_log(options.log, why))
        return false;
    ui->lE_ports->setText(options.patterns.join(QLatin1Char(' ')));
    model.set_raw(options.raw);
    apply_patterns();
    if (!options.firmware.isEmpty()) {
        ui->lE_firmware->setText(options.firmware);
        load_firmware(options.firmware);
    }
    ui->pB_auto->setChecked(options.automatic);
    return true;
}

// ---- the operator's choices ---------------------------------------------------------

void StationWindow::on_pB_select_clicked()
{
    const QString current = ui->lE_firmware->text();
    const QString chosen = QFileDialog::getOpenFileName(
        this, tr("选择固件"), current.isEmpty() ? QDir::currentPath() : current,
        tr("固件 (%1);;所有文件 (*)").arg(QLatin1String(firmware_file::dialog_patterns)));
    if (chosen.isEmpty())
        return; // cancelled: the line keeps the firmware it has
    ui->lE_firmware->setText(chosen);
    load_firmware(chosen);
}

void StationWindow::load_firmware(const QString &path)
{
    model.load_firmware(path);
    show_image();
}

void StationWindow::show_image()
{
    const station_firmware &f = model.firmware();
    QPalette p = ui->lB_image->palette();
    const bool failed = !f.path.isEmpty() && !f.ok();
    p.setColor(QPalette::WindowText, failed ? QColor(0xc6, 0x28, 0x28) : palette().color(QPalette::WindowText));
    ui->lB_image->setPalette(p);
    if (f.path.isEmpty()) {
        ui->lB_image->setText(tr("未加载固件"));
        return;
    }
    if (f.ok()) {
        ui->lB_image->setText(tr("%1  %2 字节  SHA-256 %3")
                                  .arg(format_text(f.image))
                                  .arg(f.image.file_size)
                                  .arg(QString::fromLatin1(f.image.file_sha256.toHex().left(16))));
        return;
    }
    static const std::pair<image::failure, const char *> texts[] = {
        {image::failure::cannot_open, QT_TR_NOOP("无法打开文件")},
        {image::failure::not_regular, QT_TR_NOOP("不是普通文件")},
        {image::failure::too_large, QT_TR_NOOP("文件太大")},
        {image::failure::short_read, QT_TR_NOOP("文件读取不完整")},
        {image::failure::too_short, QT_TR_NOOP("文件太短")},
        {image::failure::not_firmware, QT_TR_NOOP("文本文件，不是可识别的固件格式")},
        {image::failure::bad_content, QT_TR_NOOP("文件内容有误")},
    };
    QString detail;
    for (const auto &t : texts)
        if (t.first == f.image.error)
            detail = tr(t.second);
    if (f.image.error == image::failure::bad_content)
        detail += QStringLiteral("：") + f.image.detail; // the line or header, in the file's terms
    ui->lB_image->setText(tr("固件读取失败！%1").arg(detail));
}

bool StationWindow::apply_patterns()
{
    const QStringList texts =
        ui->lE_ports->text().split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    QString why;
    if (model.set_patterns(texts, &why)) {
        ui->statusbar->clearMessage();
        return true;
    }
    ui->statusbar->showMessage(tr("端口有误：%1").arg(why));
    return false;
}

void StationWindow::apply_line()
{
    static const QString parities[] = {QStringLiteral("N"), QStringLiteral("O"), QStringLiteral("E")};
    line_settings s;
    s.baud_rate = ui->cB_baud->currentText().toInt();
    s.stop_bits = ui->cB_stopbit->currentText().toInt();
    s.parity = parities[qBound(0, ui->cB_checkbit->currentIndex(), 2)];
    s.auto_start = ui->rB_autoStart->isChecked();
    model.set_line(s);
}

void StationWindow::on_pB_start_clicked()
{
    if (ui->lE_firmware->text() != model.firmware().path)
        load_firmware(ui->lE_firmware->text());
    if (!model.firmware().ok()) {
        QMessageBox box(QMessageBox::Critical, tr("错误"), tr("请先选择固件！"), QMessageBox::NoButton, this);
        box.setDefaultButton(box.addButton(tr("确认"), QMessageBox::AcceptRole));
        box.exec();
        return;
    }
    if (apply_patterns() && model.start_now() == 0)
        ui->statusbar->showMessage(tr("没有可更新的设备"));
}

void StationWindow::on_pB_auto_toggled(bool checked)
{
    model.set_auto(checked);
    if (checked && !model.firmware().ok())
        ui->statusbar->showMessage(tr("请先选择固件！"));
}

// ---- what the line shows ------------------------------------------------------------

void StationWindow::rebuild_tiles()
{
    const size_t wanted = model.tiles().size();
    while (tiles.size() > wanted) {
        delete tiles.back();
        tiles.pop_back();
    }
    auto *grid = static_cast<QGridLayout *>(ui->wG_tiles->layout());
    while (tiles.size() < wanted) {
        const int i = int(tiles.size());
        auto *tile = new tile_view(ui->wG_tiles);
        grid->addWidget(tile, i / tile_columns, i % tile_columns, Qt::AlignTop);
        tiles.push_back(tile);
    }
    for (int i = 0; i < int(wanted); ++i)
        show_tile(i);
}

void StationWindow::show_tile(int index)
{
    if (index >= 0 && size_t(index) < tiles.size()) {
        const station_tile &t = *model.tiles()[size_t(index)];
        tiles[size_t(index)]->show_tile(t, model.elapsed_ms(t));
    }
}

void StationWindow::show_tally()
{
    ui->lB_tally->setText(tr("<span style=\"color:#2e7d32\">成功 %1</span> / "
                             "<span style=\"color:#c62828\">失败 %2</span>")
                              .arg(model.ok_count())
                              .arg(model.failed_count()));
}

void StationWindow::add_log_line(const QString &text)
{
    ui->lW_log->addItem(text);
    ui->lW_log->scrollToBottom();
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    if (model.running() == 0) {
        event->accept();
        return;
    }
    // Every update stops at its next wait; the model's finished() closes the window
    // again, and its shift log has a line for each stopped device by then.
    event->ignore();
    if (model.stopping())
        return;
    centralWidget()->setEnabled(false);
    ui->statusbar->showMessage(tr("正在停止……"));
    model.stop_all();
}
