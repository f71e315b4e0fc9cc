#include "stationwindow.h"
#include "ui_stationwindow.h"

#include "command_line.h"
#include "enter_key.h"
#include "job_exit.h"
#include "tile_view.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QShortcut>
#include <QTextDocument>

// The grid's columns and tile size at each change, for whoever sizes a line's screen.
Q_LOGGING_CATEGORY(layout_log, "korvane.station.layout", QtWarningMsg)

namespace {

// Tight, so that a line's worth of tiles fits a small screen: 32 at 1366x768.
constexpr int tile_spacing = 4;
constexpr int tally_points = 20;
constexpr int tally_points_narrow = 16;
constexpr int tally_gap = 16;
const QKeySequence start_key(Qt::Key_F5);
const QKeySequence auto_key(Qt::Key_F6);

// A red band across the window: what stops the line is seen from across the room.
const char banner_style[] = "background: #c62828; color: white; font-weight: bold; padding: 6px;";

// The focus ring of the Fusion style is a faint line; an operator working from the
// keyboard must see where Space and Return will land.
const char focus_style[] =
    "QPushButton:focus, QLineEdit:focus, QComboBox:focus, QCheckBox:focus "
    "{ border: 3px solid #1565c0; border-radius: 3px; }"
    "QPushButton { padding: 4px 12px; border: 1px solid #8a8a8a; border-radius: 3px; background: #f2f2f2; }"
    "QPushButton:disabled { color: #9e9e9e; }"
    "QPushButton#pB_auto:checked { background: #2e7d32; color: white; }"
    "QPushButton#pB_auto:checked:disabled { background: #b9cfba; color: #f4f4f4; }"
    "QLineEdit, QComboBox { border: 1px solid #8a8a8a; border-radius: 3px; padding: 2px; }";

QString format_text(const image::loaded &l)
{
    if (l.container)
        return StationWindow::tr("二进制（.qvb）");
    if (l.format == firmware_file::format::binary)
        return StationWindow::tr("二进制");
    return QString::fromLatin1(firmware_file::name(l.format));
}

// Where the length stamp lands: an address, or the program's start + 0x400 for an image
// that carries none.
QString stamp_place(const image::loaded &l)
{
    return l.address ? image::stamp_address(l)
                     : StationWindow::tr("程序起始 +0x%1").arg(image::length_offset, 0, 16);
}

QString stamped_bytes(const image::loaded &l)
{
    return QString::fromLatin1(l.stamped_over.toHex(' ').toUpper());
}

} // namespace

StationWindow::StationWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::StationWindow)
{
    ui->setupUi(this);
    // One literal once the version is pasted in: "固件更新工作站V2.0" for any 2.0.x.
    setWindowTitle(tr("固件更新工作站V" KORVANE_VERSION_SHORT));
    press_buttons_with_enter(this);
    init_lists();
    init_look();
    init_fields();
    init_scanner();
    new QShortcut(start_key, ui->pB_start, [this] { ui->pB_start->animateClick(); });
    new QShortcut(auto_key, ui->pB_auto, [this] { ui->pB_auto->animateClick(); });

    connect(&model, &station_line::tiles_changed, this, &StationWindow::rebuild_tiles);
    connect(&model, &station_line::tile_changed, this, &StationWindow::show_tile);
    connect(&model, &station_line::device_ended, this, &StationWindow::sound_verdict);
    connect(&model, &station_line::tally_changed, this, &StationWindow::show_tally);
    connect(&model, &station_line::log_changed, this, &StationWindow::show_log_banner);
    connect(&model, &station_line::logged, this, &StationWindow::add_log_line);
    connect(&model, &station_line::finished, this, &QWidget::close);
    ui->sA_tiles->viewport()->installEventFilter(this);

    restore();
    apply_line();
    show_image();
    show_log_banner();
    show_board_serial();
    show_tally();
}

// The operator's fields and boxes: each change is applied and remembered as it is made.
void StationWindow::init_fields()
{
    // A typed path is loaded once the field is left or Return pressed; 选择 always loads,
    // so a rebuilt file of the same name is picked up by choosing it again.
    connect(ui->lE_firmware, &QLineEdit::editingFinished, this, [this] {
        if (ui->lE_firmware->text() != model.firmware().path)
            load_firmware(ui->lE_firmware->text());
    });
    connect(ui->lE_ports, &QLineEdit::editingFinished, this, [this] {
        show_ports_origin();
        if (apply_patterns())
            remember();
    });
    for (QComboBox *box : {ui->cB_baud, ui->cB_stopbit, ui->cB_checkbit})
        connect(box, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] { apply_line(); });
    connect(ui->cK_autoStart, &QCheckBox::toggled, this, [this] { apply_line(); });
    connect(ui->cK_sound, &QCheckBox::toggled, this, [this](bool on) {
        speaker.set_enabled(on);
        remember();
    });
}

StationWindow::~StationWindow()
{
    // Closing moves the focus, and a field that loses it says its editing has finished; by
    // then the model is gone, so nothing of this window may hear that.
    for (QLineEdit *field : findChildren<QLineEdit *>())
        disconnect(field, nullptr, this, nullptr);
    delete ui;
}

// A scanner types the label and Return: it replaces the one waiting, and the field is empty
// for the next scan, so two scans never run together into one serial. Esc takes it back.
void StationWindow::init_scanner()
{
    connect(ui->lE_boardSerial, &QLineEdit::returnPressed, this, [this] {
        const QString scanned = ui->lE_boardSerial->text().trimmed();
        ui->lE_boardSerial->clear();
        if (!scanned.isEmpty())
            model.set_board_serial(scanned);
    });
    new QShortcut(QKeySequence(Qt::Key_Escape), this, [this] {
        ui->lE_boardSerial->clear();
        model.set_board_serial(QString());
    });
    connect(&model, &station_line::board_serial_changed, this, &StationWindow::show_board_serial);
    // Which board takes it changes as devices come, start and end.
    connect(&model, &station_line::tiles_changed, this, &StationWindow::show_board_serial);
    connect(&model, &station_line::tile_changed, this, &StationWindow::show_board_serial);
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

void StationWindow::init_look()
{
    setStyleSheet(QString::fromLatin1(focus_style));
    // The tally is read from across the bench like the tiles.
    QFont big = ui->lB_tally->font();
    big.setPointSize(tally_points);
    big.setBold(true);
    ui->lB_tally->setFont(big);
    ui->lB_tally->setTextFormat(Qt::RichText);
    ui->lB_tally->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    ui->lB_tally->setContentsMargins(tally_gap, 0, 0, 0); // apart from the serial waiting beside it
    for (QWidget *banner : {static_cast<QWidget *>(ui->fR_logBanner), static_cast<QWidget *>(ui->lB_firmwareBanner)}) {
        banner->setStyleSheet(QString::fromLatin1(banner_style));
        banner->hide();
    }
    // The firmware's line gives way on a narrow screen rather than widen the window past it;
    // its tooltip has it whole.
    ui->lB_image->setMinimumWidth(1);
    ui->lB_portsOrigin->setStyleSheet(QStringLiteral("color: #b26a00; font-weight: bold;"));
    ui->lB_boardSerialNext->setStyleSheet(QStringLiteral("color: #1565c0; font-weight: bold;"));
    ui->lB_boardSerialNext->hide();
    ui->lB_portsOrigin->hide();
    ui->pB_acknowledge->setStyleSheet(QStringLiteral("color: black; background: white; padding: 4px 24px;"));
    ui->pB_acknowledge->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    static_cast<QBoxLayout *>(ui->fR_logBanner->layout())->setStretch(0, 1);
    ui->pB_start->setToolTip(start_key.toString(QKeySequence::NativeText));
    ui->pB_auto->setToolTip(auto_key.toString(QKeySequence::NativeText));
    auto *grid = static_cast<QGridLayout *>(ui->wG_tiles->layout());
    grid->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    grid->setSpacing(tile_spacing);
    grid->setContentsMargins(0, 0, 0, 0);
    show_buttons();
    // The line's screen is the station's: all of it, and never more whatever its density,
    // so the tally and the tiles do not fall off its edge.
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        resize(screen->availableGeometry().size());
}

// ---- what the last run left, and what this one is told ------------------------------

void StationWindow::restore()
{
    restoring = true;
    QSettings s;
    s.beginGroup(QStringLiteral("station"));
    ui->lE_ports->setText(s.value(QStringLiteral("ports")).toString());
    ui->cB_baud->setCurrentText(s.value(QStringLiteral("baud"), ui->cB_baud->currentText()).toString());
    ui->cB_stopbit->setCurrentText(s.value(QStringLiteral("stop_bits"), ui->cB_stopbit->currentText()).toString());
    ui->cB_checkbit->setCurrentIndex(s.value(QStringLiteral("parity"), ui->cB_checkbit->currentIndex()).toInt());
    ui->cK_autoStart->setChecked(s.value(QStringLiteral("auto_start"), true).toBool());
    ui->cK_sound->setChecked(s.value(QStringLiteral("sound"), true).toBool());
    speaker.set_enabled(ui->cK_sound->isChecked());
    ui->lE_firmware->setText(s.value(QStringLiteral("firmware")).toString());
    restoring = false;
}

void StationWindow::remember() const
{
    if (restoring)
        return;
    QSettings s;
    s.beginGroup(QStringLiteral("station"));
    s.setValue(QStringLiteral("firmware"), ui->lE_firmware->text());
    s.setValue(QStringLiteral("ports"), ui->lE_ports->text());
    s.setValue(QStringLiteral("baud"), ui->cB_baud->currentText());
    s.setValue(QStringLiteral("stop_bits"), ui->cB_stopbit->currentText());
    s.setValue(QStringLiteral("parity"), ui->cB_checkbit->currentIndex());
    s.setValue(QStringLiteral("auto_start"), ui->cK_autoStart->isChecked());
    s.setValue(QStringLiteral("sound"), ui->cK_sound->isChecked());
}

bool StationWindow::apply(const station_options &options, QString *why, int *status)
{
    model.set_accept_silent_start(options.accept_silent_start);
    model.set_line_echoes(options.line_echoes);
    model.set_raw(options.raw);
    take_ports(options.patterns);
    if (!options.firmware.isEmpty())
        ui->lE_firmware->setText(options.firmware);
    if (!options.log.isEmpty() && !open_log(options.log, why, status))
        return false;
    if (!ui->lE_firmware->text().isEmpty())
        load_firmware(ui->lE_firmware->text());
    if (options.no_sound)
        ui->cK_sound->setChecked(false);
    ui->pB_auto->setChecked(options.automatic);
    remember();
    // Only now that this run's ports are known is anything scanned.
    model.start_watching();
    return true;
}

// Records must reach the log, and never a device's line or the end of the firmware.
bool StationWindow::open_log(const QString &path, QString *why, int *status)
{
    const QString clash = model.log_clash(path, ui->lE_firmware->text());
    const bool refused = !clash.isEmpty();
    if (refused)
        *why = QStringLiteral("--log \"%1\" is %2; give the log a file of its own").arg(path, clash);
    else if (model.open_log(path, why))
        return true;
    else
        *why = QStringLiteral("cannot open the log \"%1\": %2").arg(path, *why);
    if (status)
        *status = refused ? exit_code::usage : exit_code::cannot_create;
    return false;
}

// Ports named on the command line replace the remembered ones outright: a board on a port
// only the last run watched is not this job's. Without any, the last run's are used and
// the window says where they come from.
void StationWindow::take_ports(const QStringList &named)
{
    if (!named.isEmpty()) {
        ui->lE_ports->setText(named.join(QLatin1Char(' ')));
    } else if (!ui->lE_ports->text().isEmpty()) {
        ports_from_last_run = ui->lE_ports->text();
        add_log_line(tr("%1  串口沿用上次运行：%2").arg(station_line::now_text(), ports_from_last_run));
    }
    show_ports_origin();
    if (!ui->lE_ports->text().isEmpty())
        apply_patterns();
}

void StationWindow::show_ports_origin()
{
    ui->lB_portsOrigin->setVisible(!ports_from_last_run.isEmpty() && ui->lE_ports->text() == ports_from_last_run);
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
    show_buttons();
    remember();
}

// Format, the file's size and the image's (padded, with its sum), the digest's start, and
// in amber what the length stamp will overwrite.
void StationWindow::show_loaded(const image::loaded &l)
{
    const QString sizes = tr("%1  文件 %2 字节  映像 %3 字节").arg(format_text(l)).arg(l.file_size).arg(l.bytes.size());
    const QString digest = tr("SHA-256 %1").arg(QString::fromLatin1(l.file_sha256.toHex().left(16)));
    // Firmware not built for this bootloader may keep a table or code where the stamp goes:
    // said in amber before the digest, so that a narrow screen cuts the digest first.
    if (!image::stamp_overwrites_data(l)) {
        ui->lB_image->setTextFormat(Qt::PlainText);
        ui->lB_image->setText(sizes + QStringLiteral("  ") + digest);
        ui->lB_image->setToolTip(ui->lB_image->text());
        return;
    }
    const QString warning = tr("长度标记覆盖 %1 处的 %2").arg(stamp_place(l), stamped_bytes(l));
    const auto html = [](const QString &text) {
        return text.toHtmlEscaped().replace(QLatin1String("  "), QLatin1String("&nbsp;&nbsp;"));
    };
    ui->lB_image->setTextFormat(Qt::RichText);
    ui->lB_image->setText(QStringLiteral("%1&nbsp;&nbsp;<b style=\"color: #b26a00\">%2</b>&nbsp;&nbsp;%3")
                              .arg(html(sizes), html(warning), html(digest)));
    ui->lB_image->setToolTip(tr("%1  %2\n固件第 %3 至 %4 字节（%5）原为 %6，既不全是 00 也不全是 FF。写入设备的"
                                "长度标记会覆盖它们：该固件可能不是为此引导程序编译的。")
                                 .arg(sizes, digest)
                                 .arg(image::length_offset)
                                 .arg(image::length_offset + 3)
                                 .arg(stamp_place(l), stamped_bytes(l)));
}

void StationWindow::show_image()
{
    const station_firmware &f = model.firmware();
    const bool failed = !f.path.isEmpty() && !f.ok();
    ui->lB_firmwareBanner->setVisible(failed);
    ui->lB_image->setTextFormat(Qt::PlainText);
    ui->lB_image->setToolTip(QString());
    if (f.path.isEmpty()) {
        ui->lB_image->setText(tr("未加载固件"));
        return;
    }
    if (f.ok()) {
        show_loaded(f.image);
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
    QString detail = QFileInfo::exists(f.path) ? QString() : tr("文件不存在");
    for (const auto &t : texts)
        if (detail.isEmpty() && t.first == f.image.error)
            detail = tr(t.second);
    // The line or header, in the file's terms; the system's reason it cannot be opened.
    const bool said = f.image.error == image::failure::bad_content
                      || (f.image.error == image::failure::cannot_open && QFileInfo::exists(f.path));
    if (said && !f.image.detail.isEmpty())
        detail += QStringLiteral("：") + f.image.detail;
    ui->lB_image->setText(tr("固件读取失败！%1").arg(detail));
    ui->lB_firmwareBanner->setText(tr("固件读取失败！%1：%2。开始和自动已停用，请重新选择固件。")
                                       .arg(QDir::toNativeSeparators(f.path), detail));
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
    ui->statusbar->showMessage(tr("串口有误：%1").arg(why));
    return false;
}

void StationWindow::apply_line()
{
    static const QString parities[] = {QStringLiteral("N"), QStringLiteral("O"), QStringLiteral("E")};
    line_settings s;
    s.baud_rate = ui->cB_baud->currentText().toInt();
    s.stop_bits = ui->cB_stopbit->currentText().toInt();
    s.parity = parities[qBound(0, ui->cB_checkbit->currentIndex(), 2)];
    s.auto_start = ui->cK_autoStart->isChecked();
    model.set_line(s);
    remember();
}

// 自动 reads at a glance: its word and its colour; both buttons wait for a firmware.
void StationWindow::show_buttons()
{
    const bool on = ui->pB_auto->isChecked();
    ui->pB_auto->setText(tr("%1 (%2)").arg(on ? tr("自动：开") : tr("自动：关"),
                                          auto_key.toString(QKeySequence::NativeText)));
    ui->pB_start->setText(tr("开始 (%1)").arg(start_key.toString(QKeySequence::NativeText)));
    const bool usable = model.firmware().ok();
    ui->pB_start->setEnabled(usable);
    ui->pB_auto->setEnabled(usable);
}

bool StationWindow::ask_again(int passed)
{
    QMessageBox box(QMessageBox::Question, tr("再次更新"),
                    tr("%1 台设备插入后已经更新成功，是否再次更新？").arg(passed), QMessageBox::NoButton, this);
    QPushButton *again = box.addButton(tr("再次更新"), QMessageBox::AcceptRole);
    QPushButton *others = box.addButton(tr("只更新其余设备"), QMessageBox::RejectRole);
    box.setDefaultButton(others);
    box.setEscapeButton(others);
    box.exec();
    return box.clickedButton() == again;
}

void StationWindow::on_pB_start_clicked()
{
    if (ui->lE_firmware->text() != model.firmware().path)
        load_firmware(ui->lE_firmware->text());
    if (!model.firmware().ok() || !apply_patterns())
        return; // the banner says why
    if (model.log_blocked()) {
        ui->statusbar->showMessage(tr("日志写入失败，请先确认"));
        return;
    }
    model.poll();
    const int passed = model.passed_count();
    const bool again = passed == 0 || ask_again(passed);
    if (model.start_now(again) == 0)
        ui->statusbar->showMessage(tr("没有可更新的设备"));
}

void StationWindow::on_pB_auto_toggled(bool checked)
{
    model.set_auto(checked);
    show_buttons();
    show_board_serial();
}

void StationWindow::on_pB_acknowledge_clicked()
{
    model.acknowledge_log();
}

// ---- what the line shows ------------------------------------------------------------

// The serial waiting for its board, and which board that is, in plain sight: a label read
// into the wrong board's record is worse than none.
void StationWindow::show_board_serial()
{
    const QString &waiting = model.board_serial();
    QString text;
    if (!waiting.isEmpty()) {
        const station_tile *taker = model.board_serial_taker();
        const QString board = taker ? QFileInfo(taker->location).fileName()
                              : model.auto_on() ? tr("下一块插入的板卡")
                                                : tr("下一块开始更新的板卡");
        text = tr("待用：%1 → %2").arg(waiting, board);
    }
    if (text == ui->lB_boardSerialNext->text())
        return;
    ui->lB_boardSerialNext->setText(text);
    ui->lB_boardSerialNext->setVisible(!text.isEmpty());
    show_tally(); // the tally's room beside it changed
}

void StationWindow::show_log_banner()
{
    ui->fR_logBanner->setVisible(model.log_blocked());
    ui->lB_logBanner->setText(tr("日志写入失败：%1。已暂停更新新设备，%2 台设备没有记录。请处理后按确认继续。")
                                  .arg(model.log_error())
                                  .arg(model.unlogged_count()));
}

void StationWindow::rebuild_tiles()
{
    const size_t wanted = model.tiles().size();
    while (tiles.size() > wanted) {
        delete tiles.back();
        tiles.pop_back();
    }
    while (tiles.size() < wanted)
        tiles.push_back(new tile_view(ui->wG_tiles));
    for (int i = 0; i < int(wanted); ++i)
        show_tile(i);
    lay_out_tiles();
}

// Columns and tile size from the space there is and the number of devices; failures first.
void StationWindow::lay_out_tiles()
{
    auto *grid = static_cast<QGridLayout *>(ui->wG_tiles->layout());
    for (tile_view *t : tiles)
        grid->removeWidget(t);
    // The room without a scroll bar: one that showed while the tiles did not fit must not
    // keep them from fitting once the room has grown. Scrolling, the bar takes its width.
    QSize area = ui->sA_tiles->maximumViewportSize();
    const QSize least = tile_view::minimum_tile(font());
    tile_grid shape = fit_tiles(int(tiles.size()), area, least, tile_spacing);
    if (!shape.fits) {
        area.rwidth() -= ui->sA_tiles->verticalScrollBar()->sizeHint().width();
        shape = fit_tiles(int(tiles.size()), area, least, tile_spacing);
    }
    qCDebug(layout_log, "%d tiles in %dx%d: %d columns of %dx%d%s", int(tiles.size()), area.width(),
            area.height(), shape.columns, shape.tile.width(), shape.tile.height(),
            shape.fits ? ", all in view" : ", scrolling");
    const std::vector<int> order = model.display_order();
    for (int place = 0; place < int(order.size()) && size_t(order[size_t(place)]) < tiles.size(); ++place) {
        tile_view *t = tiles[size_t(order[size_t(place)])];
        t->setFixedSize(shape.tile);
        grid->addWidget(t, place / shape.columns, place % shape.columns);
    }
}

bool StationWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->sA_tiles->viewport() && event->type() == QEvent::Resize) {
        show_tally();
        lay_out_tiles();
    }
    return QMainWindow::eventFilter(watched, event);
}

void StationWindow::show_tile(int index)
{
    if (index >= 0 && size_t(index) < tiles.size()) {
        const station_tile &t = *model.tiles()[size_t(index)];
        tiles[size_t(index)]->show_tile(t, model.elapsed_ms(t));
    }
}

void StationWindow::sound_verdict(int index)
{
    const station_tile &t = *model.tiles()[size_t(index)];
    speaker.play(t.what == station_tile::state::failed ? station_sound::kind::fail : station_sound::kind::pass);
    lay_out_tiles(); // a failure moves to the front
}

void StationWindow::show_tally()
{
    const auto counts = [](int ok, int written, int failed) {
        QString text = tr("<span style=\"color:#2e7d32\">成功 %1</span>").arg(ok - written);
        if (written > 0)
            text += tr(" / <span style=\"color:#b26a00\">已写入 %1</span>").arg(written);
        return text + tr(" / <span style=\"color:#c62828\">失败 %1</span>").arg(failed);
    };
    const QString batch = tr("本批 %1").arg(counts(model.batch_ok_count(), model.batch_written_count(),
                                                  model.batch_failed_count()));
    QString shift = tr("本班 %1").arg(counts(model.ok_count(), model.written_count(), model.failed_count()));
    if (model.unlogged_count() > 0)
        shift += tr(" &nbsp; <span style=\"color:#c62828\">未记录 %1</span>").arg(model.unlogged_count());
    // On a narrow screen the tally first takes a smaller size, and only then does the
    // shift's count go under the batch's: a second line is taken from the tiles.
    const QString one_line = batch + QStringLiteral(" &nbsp; ") + shift;
    QFont f = ui->lB_tally->font();
    for (const int points : {tally_points, tally_points_narrow}) {
        f.setPointSize(points);
        QTextDocument doc;
        doc.setDefaultFont(f);
        doc.setHtml(one_line);
        if (doc.idealWidth() <= tally_room()) {
            ui->lB_tally->setFont(f);
            ui->lB_tally->setText(one_line);
            return;
        }
    }
    f.setPointSize(tally_points);
    ui->lB_tally->setFont(f);
    ui->lB_tally->setText(batch + QStringLiteral("<br>") + shift);
}

// What the row of 开始, 自动 and the scanned serial leaves the tally.
int StationWindow::tally_room() const
{
    int room = ui->centralwidget->width() - 40 - tally_gap;
    for (QWidget *w : {static_cast<QWidget *>(ui->pB_start), static_cast<QWidget *>(ui->pB_auto),
                       static_cast<QWidget *>(ui->label_6), static_cast<QWidget *>(ui->lE_boardSerial),
                       static_cast<QWidget *>(ui->lB_boardSerialNext)})
        if (!w->isHidden())
            room -= w->minimumSizeHint().width();
    return room;
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
    ui->statusbar->showMessage(tr("正在停止......"));
    model.stop_all();
}
