#pragma once

class QApplication;
class QCoreApplication;
class QLocale;
class QTranslator;

// Start-up is split in two so tests can run the same steps as main():
// set_identity() must run before the application object exists, set_look() after.

// Organisation and application names, and the attributes that must precede QApplication.
void set_identity();

// The look of every widget the program shows, message boxes included: Qt's own texts
// (file dialog, standard buttons) in Chinese like the window, a 12-point default font,
// no style sheet, the Fusion style and the application icon.
void set_look(QApplication &app);

// Installs Qt's own catalogue ("qtbase") for `locale` when it is a Chinese one that has a
// catalogue, otherwise the zh_CN one. Returns the installed translator (a child of `app`),
// or null when no catalogue could be loaded, in which case Qt's texts stay English.
QTranslator *install_qt_translation(QCoreApplication &app, const QLocale &locale);
