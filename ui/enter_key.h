#pragma once

class QWidget;

// Makes Return and Enter press the push buttons of `window` the way Space does (down on
// the key press, clicked on its release), so the window can be worked from the keyboard
// alone. Line edits and combo boxes keep their own Return. The event filter is a child of
// `window`; buttons added later are not covered.
void press_buttons_with_enter(QWidget *window);
