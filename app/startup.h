#pragma once

class QApplication;

// Start-up is split in two so tests can run the same steps as main():
// set_identity() must run before the application object exists, set_look() after.

// Organisation and application names, and the attributes that must precede QApplication.
void set_identity();

// The look of every widget the program shows, message boxes included: a 12-point
// default font, no style sheet, the Fusion style and the application icon.
void set_look(QApplication &app);
