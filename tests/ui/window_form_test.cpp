// The window as it is built: form, texts, icon, and every signal reaching its slot.
#include "korvath.h"
#include "testsupport.h"

#include <QCheckBox>
#include <QDateTimeEdit>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QtTest>

using namespace korvath::testkit;

class WindowFormTest : public QObject
{
    Q_OBJECT

private slots:
    void startsWithTitleSizeAndIcon()
    {
        DriveMap drives;
        Korvath w;
        QCOMPARE(w.windowTitle(), QStringLiteral("Korvath (Directory Disk Recover)"));
        QCOMPARE(w.size(), QSize(824, 353));
        QCOMPARE(w.objectName(), QStringLiteral("Korvath"));
        QVERIFY(!w.windowIcon().isNull());
        QVERIFY(!QIcon(QStringLiteral(":/new/prefix1/pie_chart.ico")).pixmap(128, 128).isNull());
        QFile ico(QStringLiteral(":/new/prefix1/pie_chart.ico"));
        QVERIFY(ico.open(QIODevice::ReadOnly));
        QCOMPARE(ico.size(), qint64(67646));
    }

    void widgetTexts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::newRow("refresh") << "searchdisk_pushButton" << "Refresh Disk";
        QTest::newRow("group") << "groupBox" << "Settings";
        QTest::newRow("start label") << "starttime_label" << "  Start time";
        QTest::newRow("end label") << "endtime_label" << "    End time";
        QTest::newRow("channel label") << "channel_label" << "Channel:";
        QTest::newRow("channel") << "channel_lineEdit" << "1";
        QTest::newRow("save") << "savepath_pushButton" << "Save path";
        QTest::newRow("save field") << "savepath_lineEdit" << "";
        QTest::newRow("all") << "selectall_checkBox" << "All";
        QTest::newRow("list") << "listfile_pushButton" << "Generate file list";
        QTest::newRow("export") << "readfile_pushButton" << "Start export";
    }

    void widgetTexts()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        DriveMap drives;
        Korvath w;
        QObject *o = w.findChild<QObject *>(name);
        QVERIFY2(o, qPrintable(name));
        QString actual;
        if (auto *b = qobject_cast<QAbstractButton *>(o))
            actual = b->text();
        else if (auto *g = qobject_cast<QGroupBox *>(o))
            actual = g->title();
        else if (auto *l = qobject_cast<QLabel *>(o))
            actual = l->text();
        else if (auto *e = qobject_cast<QLineEdit *>(o))
            actual = e->text();
        QCOMPARE(actual, text);
    }

    void layoutsNestAsDesigned()
    {
        DriveMap drives;
        Korvath w;
        auto *top = w.findChild<QVBoxLayout *>(QStringLiteral("verticalLayout_6"));
        QVERIFY(top);
        QCOMPARE(w.layout(), top);
        QCOMPARE(top->contentsMargins(), QMargins(11, 11, 11, 11));
        const QStringList names = {"verticalLayout_6", "verticalLayout_5", "horizontalLayout_7", "verticalLayout_4",
                                   "verticalLayout_3", "horizontalLayout_2", "horizontalLayout_6", "verticalLayout",
                                   "horizontalLayout_3", "horizontalLayout", "horizontalLayout_4", "verticalLayout_2",
                                   "horizontalLayout_5", "horizontalLayout_8"};
        for (const QString &n : names) {
            auto *l = w.findChild<QLayout *>(n);
            QVERIFY2(l, qPrintable(n));
            QCOMPARE(l->spacing(), 6);
        }
        auto *group = w.findChild<QGroupBox *>(QStringLiteral("groupBox"));
        QCOMPARE(group->layout()->objectName(), QStringLiteral("horizontalLayout_6"));
        QCOMPARE(group->layout()->contentsMargins(), QMargins(11, 11, 11, 11));
        // The bottom row: two spacers, list button, spacer, export button.
        auto *bottom = w.findChild<QHBoxLayout *>(QStringLiteral("horizontalLayout_8"));
        QCOMPARE(bottom->count(), 5);
        QVERIFY(bottom->itemAt(0)->spacerItem() && bottom->itemAt(1)->spacerItem() && bottom->itemAt(3)->spacerItem());
        QCOMPARE(bottom->itemAt(2)->widget()->objectName(), QStringLiteral("listfile_pushButton"));
        QCOMPARE(bottom->itemAt(4)->widget()->objectName(), QStringLiteral("readfile_pushButton"));
        auto *times = w.findChild<QHBoxLayout *>(QStringLiteral("horizontalLayout_3"));
        const QStringList order = {"starttime_label", "starttime_dateTimeEdit", "endtime_label", "endtime_dateTimeEdit"};
        for (int i = 0; i < order.size(); ++i)
            QCOMPARE(times->itemAt(i)->widget()->objectName(), order[i]);
        QCOMPARE(w.findChild<QWidget *>(QStringLiteral("starttime_label"))->parentWidget(), group);
        QCOMPARE(w.findChild<QWidget *>(QStringLiteral("file_listView"))->parentWidget(), &w);
    }

    void everySlotIsBoundByName()
    {
        DriveMap drives;
        Korvath w;
        const QMetaObject *mo = w.metaObject();
        const QStringList slotNames = {"on_searchdisk_pushButton_clicked()",
                                   "on_channel_lineEdit_textChanged(QString)",
                                   "on_savepath_pushButton_clicked()",
                                   "on_listfile_pushButton_clicked()",
                                   "on_readfile_pushButton_clicked()",
                                   "on_file_listView_clicked(QModelIndex)",
                                   "on_selectall_checkBox_stateChanged(int)",
                                   "on_disk_listView_clicked(QModelIndex)",
                                   "on_starttime_dateTimeEdit_dateTimeChanged(QDateTime)",
                                   "on_endtime_dateTimeEdit_dateTimeChanged(QDateTime)",
                                   "on_endtime_dateTimeEdit_editingFinished()"};
        for (int i = 0; i < slotNames.size(); ++i) {
            const int index = mo->indexOfSlot(QMetaObject::normalizedSignature(qPrintable(slotNames[i])));
            QCOMPARE(index - mo->methodOffset(), i);
        }
        // Each slot is connected to the signal its name gives (disconnect says whether it was).
        const QList<QPair<QString, QString>> bindings = {
            {"searchdisk_pushButton", "clicked(bool)"}, {"channel_lineEdit", "textChanged(QString)"},
            {"savepath_pushButton", "clicked(bool)"}, {"listfile_pushButton", "clicked(bool)"},
            {"readfile_pushButton", "clicked(bool)"}, {"file_listView", "clicked(QModelIndex)"},
            {"selectall_checkBox", "stateChanged(int)"}, {"disk_listView", "clicked(QModelIndex)"},
            {"starttime_dateTimeEdit", "dateTimeChanged(QDateTime)"},
            {"endtime_dateTimeEdit", "dateTimeChanged(QDateTime)"}, {"endtime_dateTimeEdit", "editingFinished()"}};
        for (int i = 0; i < bindings.size(); ++i) {
            const auto &b = bindings[i];
            QObject *o = w.findChild<QObject *>(b.first);
            QVERIFY2(o, qPrintable(b.first));
            const QMetaMethod signal = o->metaObject()->method(
                o->metaObject()->indexOfSignal(QMetaObject::normalizedSignature(qPrintable(b.second))));
            QVERIFY2(signal.isValid(), qPrintable(b.second));
            const QMetaMethod slot = mo->method(mo->indexOfSlot(QMetaObject::normalizedSignature(qPrintable(slotNames[i]))));
            QVERIFY2(QObject::disconnect(o, signal, &w, slot), qPrintable(b.first + QLatin1Char(' ') + b.second));
        }
    }

    void startsWithEqualTimesShowingSeconds()
    {
        DriveMap drives;
        Korvath w;
        auto *start = w.findChild<QDateTimeEdit *>(QStringLiteral("starttime_dateTimeEdit"));
        auto *end = w.findChild<QDateTimeEdit *>(QStringLiteral("endtime_dateTimeEdit"));
        QCOMPARE(start->dateTime(), end->dateTime());
        QVERIFY(qAbs(start->dateTime().secsTo(QDateTime::currentDateTime())) < 60);
        QCOMPARE(start->displayFormat(), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QCOMPARE(end->displayFormat(), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QCOMPARE(start->text(), start->dateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    }
};

QTEST_MAIN(WindowFormTest)
#include "window_form_test.moc"
