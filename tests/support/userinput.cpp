#include "userinput.h"

#include <QAbstractItemModel>
#include <QCheckBox>
#include <QListView>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionViewItem>
#include <QWidget>
#include <QWindow>
#include <qpa/qwindowsysteminterface.h>

namespace korvath {
namespace testkit {

void queueClick(QWidget *widget, const QPoint &pos)
{
    QWidget *top = widget->window();
    QWindow *window = top->windowHandle();
    Q_ASSERT(window);
    const QPoint local = widget->mapTo(top, pos);
    const QPoint global = top->mapToGlobal(local);
    using QWSI = QWindowSystemInterface;
    QWSI::handleMouseEvent<QWSI::AsynchronousDelivery>(window, local, global, Qt::LeftButton, Qt::LeftButton,
                                                        QEvent::MouseButtonPress);
    QWSI::handleMouseEvent<QWSI::AsynchronousDelivery>(window, local, global, Qt::NoButton, Qt::LeftButton,
                                                        QEvent::MouseButtonRelease);
}

void deliverQueuedInput()
{
    QWindowSystemInterface::sendWindowSystemEvents(QEventLoop::AllEvents);
}

QPoint checkBoxPoint(QWidget *box)
{
    QStyleOptionButton opt;
    opt.initFrom(box);
    return box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &opt, box).center();
}

QPoint rowPoint(QWidget *listView, int row, bool onBox)
{
    auto *v = qobject_cast<QListView *>(listView);
    Q_ASSERT(v);
    const QRect rect = v->visualRect(v->model()->index(row, 0));
    if (!onBox)
        return v->viewport()->mapTo(v, rect.center());
    QStyleOptionViewItem opt;
    opt.initFrom(v);
    opt.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
    opt.rect = rect;
    return v->viewport()->mapTo(v, v->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, v).center());
}

} // namespace testkit
} // namespace korvath
