#include "modalboxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QTimer>

namespace korvath {
namespace testkit {

QList<ModalBox> runWithModalBoxes(const std::function<void()> &action, const BoxAnswer &answer)
{
    QList<ModalBox> seen;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        QWidget *w = QApplication::activeModalWidget();
        // Marked on the box, not kept by address: two boxes shown one after
        // the other from one function can have the same address.
        if (!w || w->property("korvathAnswered").toBool())
            return;
        w->setProperty("korvathAnswered", true);
        ModalBox box;
        box.className = QString::fromLatin1(w->metaObject()->className());
        box.title = w->windowTitle();
        if (auto *mb = qobject_cast<QMessageBox *>(w)) {
            box.text = mb->text();
            box.icon = mb->icon();
        } else if (auto *pd = qobject_cast<QProgressDialog *>(w)) {
            box.text = pd->labelText();
        }
        seen.append(box);
        if (answer) {
            answer(w);
        } else if (auto *mb = qobject_cast<QMessageBox *>(w)) {
            QAbstractButton *ok = mb->button(QMessageBox::Ok);
            if (ok)
                ok->click();
            else
                mb->close();
        } else if (auto *fd = qobject_cast<QFileDialog *>(w)) {
            fd->reject();
        }
    });
    poll.start();
    action();
    poll.stop();
    return seen;
}

QList<ModalBox> messageBoxes(const QList<ModalBox> &boxes)
{
    QList<ModalBox> out;
    for (const ModalBox &b : boxes)
        if (b.className == QLatin1String("QMessageBox"))
            out << b;
    return out;
}

} // namespace testkit
} // namespace korvath
