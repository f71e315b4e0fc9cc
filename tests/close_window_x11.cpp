#include "close_window_x11.h"

// After the Qt headers: Xlib defines macros (None, Bool, Status) that Qt's headers use.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

QString window_title(Display *display, Window window)
{
    Atom type;
    int format;
    unsigned long count, rest;
    unsigned char *data = nullptr;
    const Atom name = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    if (XGetWindowProperty(display, window, name, 0, 1024, False, utf8, &type, &format, &count,
                           &rest, &data) != Success || !data)
        return {};
    const QString title = QString::fromUtf8(reinterpret_cast<const char *>(data), int(count));
    XFree(data);
    return title;
}

bool is_viewable(Display *display, Window window)
{
    XWindowAttributes attributes;
    return XGetWindowAttributes(display, window, &attributes)
           && attributes.map_state == IsViewable;
}

// Without a window manager the program's windows are children of the root. Only a shown
// window counts: the operator cannot close one that is not on the screen yet.
Window find_window(Display *display, const QString &title)
{
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count))
        return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; ++i)
        if (window_title(display, children[i]) == title && is_viewable(display, children[i]))
            found = children[i];
    if (children)
        XFree(children);
    return found;
}

} // namespace

bool close_window_x11(const QByteArray &display_name, const QString &title)
{
    Display *display = XOpenDisplay(display_name.constData());
    if (!display)
        return false;
    const Window window = find_window(display, title);
    if (window) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, window, False, NoEventMask, &event);
        XSync(display, False);
    }
    XCloseDisplay(display);
    return window != 0;
}

bool display_accepts(const QByteArray &display_name)
{
    Display *display = XOpenDisplay(display_name.constData());
    if (display)
        XCloseDisplay(display);
    return display != nullptr;
}
