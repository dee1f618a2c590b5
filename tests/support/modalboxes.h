// Answers the modal boxes and dialogs that the window opens, from the test.
#pragma once

#include <QList>
#include <QString>
#include <functional>

class QWidget;

namespace korvath {
namespace testkit {

struct ModalBox {
    QString className; // "QMessageBox", "QFileDialog", "QProgressDialog", or empty when none came
    QString title;
    QString text;
    int icon = 0; // QMessageBox::Icon
};

// Runs `action`; each modal box that opens meanwhile is recorded and handled by
// `answer` (by default OK for a message box, cancel for a file dialog).
// Returns the boxes in the order they came; empty when none came.
using BoxAnswer = std::function<void(QWidget *box)>;
QList<ModalBox> runWithModalBoxes(const std::function<void()> &action, const BoxAnswer &answer = {});
// The message boxes among them (no progress or file dialogs).
QList<ModalBox> messageBoxes(const QList<ModalBox> &boxes);

} // namespace testkit
} // namespace korvath
