#pragma once

#include <QAccessible>

class QAbstractButton;

namespace Accessibility {

// Gives a toggle-like button the role a screen reader expects (check box, radio button or
// toggle button), reports its checked state, and routes the Toggle and Press actions through
// click(): the owner then sees a change from a screen reader exactly as one from the mouse.
// Call it first thing: a change of text may already create and keep the interface.
void setToggleRole(QAbstractButton* button, QAccessible::Role role);

} // namespace Accessibility
