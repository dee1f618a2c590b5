// Input as the platform hands it over: queued for the event loop, which takes
// it only when it processes user input (QTest's clicks are delivered at once,
// past any flag of the loop, so they cannot show what a user's click does).
#pragma once

#include <QPoint>

class QWidget;

namespace korvath {
namespace testkit {

// A left click at `pos` of `widget`, queued on its window.
void queueClick(QWidget *widget, const QPoint &pos);

// Hands every queued click over now, as the event loop does when it takes
// user input (one pass of the loop may leave some for the next).
void deliverQueuedInput();

// The point of `box` (a QCheckBox) that a click toggles, whatever its width.
QPoint checkBoxPoint(QWidget *box);

// The centre of a list row's check box, or of its text.
QPoint rowPoint(QWidget *listView, int row, bool onBox);

} // namespace testkit
} // namespace korvath
