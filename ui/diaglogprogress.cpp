#include "diaglogprogress.h"
#include "ui_diaglogprogress.h"

#include "work.h"

#include <QMessageBox>

diaglogProgress::diaglogProgress(QWidget *parent)
    : diaglogProgress(parent, [] { return new work; })
{
}

diaglogProgress::diaglogProgress(QWidget *parent, worker_factory make_worker)
    : QDialog(parent), ui(new Ui::diaglogProgress)
{
    ui->setupUi(this);
    setWindowTitle(tr("固件更新"));
    msgBox = nullptr;
    ui->pB_percent->setValue(0);

    worker = make_worker();
    worker->moveToThread(&workThread);

    connect(&workThread, &QThread::finished, worker, &QObject::deleteLater);
    connect(worker, SIGNAL(result(int)), this, SLOT(result(int)));
    connect(worker, SIGNAL(work_status_str(QString)), this, SLOT(work_status_str(QString)));
    connect(worker, SIGNAL(progress_set(int)), this, SLOT(progress_set(int)));
    connect(this, SIGNAL(start()), worker, SLOT(start()));
    connect(this, SIGNAL(rejected()), worker, SLOT(stop()));
    // The queued stop() waits behind the running update, so on its own it would only
    // arrive once the update is over, and the destructor would freeze the window until
    // then. The flag is read at the worker's next wait.
    connect(this, &QDialog::rejected, this, [this] {
        if (worker)
            worker->request_stop();
    });

    workThread.start();
    emit start();
}

diaglogProgress::~diaglogProgress()
{
    workThread.quit();
    workThread.wait();
    worker = nullptr; // deleted on its own thread as the thread finished
    delete ui;
}

QString diaglogProgress::failure_text(int errcode)
{
    // The worker's codes are negative; the magnitude picks the text. Listing both signs
    // rather than taking the absolute value keeps INT_MIN well defined.
    switch (errcode) {
    case -1:
    case 1:
        return tr("打开串口失败,特殊情况更新请无视此错误！");
    case -2:
    case 2:
        return tr("测试设备中读写失败！");
    case -3:
    case 3:
        return tr("设备操作出错！");
    case -4:
    case 4:
        return tr("通信超时！");
    case -5:
    case 5:
        return tr("固件读取失败！");
    default:
        return tr("未知错误(%1)！").arg(errcode);
    }
}

void diaglogProgress::result(int errcode)
{
    if (errcode == 0) {
        accept(); // also closes any failure box still open, through accepted()
        return;
    }

    // A local pointer: a later result may replace msgBox while this box is still open.
    QMessageBox *box = new QMessageBox(this);
    msgBox = box;
    box->setIcon(QMessageBox::Critical);
    box->setText(tr("错误码:%1！").arg(failure_text(errcode)));
    box->setWindowTitle(tr("错误"));
    box->addButton(tr("确认"), QMessageBox::AcceptRole);
    connect(this, &QDialog::accepted, box, &QMessageBox::accept);
    // The nested loop keeps delivering the worker's calls, a later result included.
    box->exec();
    box->deleteLater();
}

void diaglogProgress::work_status_str(QString str)
{
    ui->lB_info->setText(str);
}

void diaglogProgress::progress_set(int value)
{
    ui->pB_percent->setValue(value);
}
