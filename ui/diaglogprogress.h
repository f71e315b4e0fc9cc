#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QThread>

class QMessageBox;
class work;

QT_BEGIN_NAMESPACE
namespace Ui { class diaglogProgress; }
QT_END_NAMESPACE

// The modal window behind which one update runs. Constructing it starts the update on a
// thread of its own; it shows the worker's step and percentage, accepts itself on
// success and shows a failure in an error box, staying open until the operator closes it.
// Destroying it waits for the worker thread to end.
class diaglogProgress : public QDialog
{
    Q_OBJECT

public:
    explicit diaglogProgress(QWidget *parent = nullptr);
    ~diaglogProgress() override;

    // What the error box says for a non-zero result code.
    static QString failure_text(int errcode);

signals:
    void start();
    void stop(); // part of the interface; nothing emits it

public slots:
    void result(int errcode);
    void work_status_str(QString str);
    void progress_set(int value);

protected:
    // Lets a caller supply the worker (tests script one); it must have no parent.
    using worker_factory = work *(*)();
    diaglogProgress(QWidget *parent, worker_factory make_worker);

private:
    Ui::diaglogProgress *ui;
    QThread workThread;
    work *worker;
    QPointer<QMessageBox> msgBox; // the failure box created last
};
