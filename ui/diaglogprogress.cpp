#include "diaglogprogress.h"
#include "ui_diaglogprogress.h"

#include "outcome.h"
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
    // The worker's codes are negative; a positive one picks the same text. Negating only
    // positive codes keeps INT_MIN well defined.
    const outcome::description *d = outcome::describe(errcode > 0 ? -errcode : errcode);
    if (d && d->window_text)
        return tr(d->window_text);
    return tr("未知错误(%1)！").arg(errcode);
}

void diaglogProgress::result(int errcode)
{
    if (errcode == outcome::success) {
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
