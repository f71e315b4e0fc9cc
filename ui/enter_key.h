#pragma once

#include <QObject>

class QWidget;

// Makes Return and Enter press the push buttons of `window` the way Space does (down on
// the key press, clicked on its release), so the window can be worked from the keyboard
// alone. Line edits and combo boxes keep their own Return. The filter is a child of
// `window`; buttons added later are not covered.
void press_buttons_with_enter(QWidget *window);

// The event filter behind it, installed on each push button.
class enter_as_space : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};
