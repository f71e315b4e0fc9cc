#include "enter_key.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QWidget>

namespace {

class enter_as_space : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
            return false;
        // Only the bare key (the keypad's Enter carries KeypadModifier): Ctrl+Return and
        // the like keep whatever meaning they have.
        if ((key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
            return false;
        // Handed to the button as Space, so holding the key, auto-repeat and releasing it
        // behave exactly as they do for Space.
        QKeyEvent space(key->type(), Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "),
                        key->isAutoRepeat(), ushort(key->count()));
        QCoreApplication::sendEvent(watched, &space);
        return true;
    }
};

} // namespace

void press_buttons_with_enter(QWidget *window)
{
    auto *filter = new enter_as_space(window);
    for (QPushButton *button : window->findChildren<QPushButton *>())
        button->installEventFilter(filter);
}
