#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <vector>

// Plays an operator's part while a modal run blocks the test: each step waits, polling
// the event loop every 10 ms, until its condition holds, then acts. The next poll is
// scheduled before a step acts, so a step may itself open a modal run and the later
// steps still play inside it. After the last step it waits for every modal widget to
// go. A step or an ending that waits too long marks the script stuck and closes
// whatever modal widget is left, so the test fails instead of hanging.
class modal_steps : public QObject
{
public:
    static constexpr int poll_ms = 10;
    static constexpr int max_polls = 2000; // per step

    modal_steps &then(const char *name, std::function<bool()> ready, std::function<void()> act)
    {
        steps.push_back({name, std::move(ready), std::move(act)});
        return *this;
    }

    void run() { QTimer::singleShot(0, this, [this] { poll(); }); }

    bool finished() const { return next == steps.size() && stuck.isEmpty(); }
    // Name of the step that never became ready, for the failure message.
    QString stuck;
    // Polls spent waiting on each step, in order.
    std::vector<int> waited;

private:
    struct step
    {
        const char *name;
        std::function<bool()> ready;
        std::function<void()> act;
    };

    void poll()
    {
        if (!stuck.isEmpty()) {
            if (QWidget *modal = QApplication::activeModalWidget()) {
                modal->close();
                QTimer::singleShot(poll_ms, this, [this] { poll(); });
            }
            return;
        }
        if (next == steps.size()) {
            if (!QApplication::activeModalWidget())
                return; // the run is over
            if (++polls > max_polls)
                stuck = QStringLiteral("modal run still open after the last step");
            QTimer::singleShot(poll_ms, this, [this] { poll(); });
            return;
        }
        QTimer::singleShot(poll_ms, this, [this] { poll(); });
        if (!steps[next].ready()) {
            if (++polls > max_polls)
                stuck = QString::fromUtf8(steps[next].name);
            return;
        }
        waited.push_back(polls);
        polls = 0;
        const step &current = steps[next++];
        current.act();
    }

    std::vector<step> steps;
    size_t next = 0;
    int polls = 0;
};

// The message box in front, if the widget in front is one.
inline QMessageBox *front_box()
{
    return qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
}

inline QStringList button_texts(const QMessageBox *box)
{
    QStringList texts;
    for (const QAbstractButton *button : box->buttons())
        texts << button->text();
    return texts;
}

// Presses the box's button as the operator would.
inline void press_only_button(QMessageBox *box)
{
    if (!box->buttons().isEmpty())
        box->buttons().first()->click();
}

// What the operator saw of one message box.
struct seen_box
{
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    QMessageBox::ButtonRole role = QMessageBox::InvalidRole;

    static seen_box of(const QMessageBox *box)
    {
        seen_box seen{box->windowTitle(), box->text(), box->icon(), button_texts(box),
                      QMessageBox::InvalidRole};
        if (!box->buttons().isEmpty())
            seen.role = box->buttonRole(box->buttons().first());
        return seen;
    }
};
