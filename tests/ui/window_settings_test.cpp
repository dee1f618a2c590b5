// The "Settings" group of the real window: channel, time range and save folder,
// seen through the widgets, the debug log, the boxes and what the buttons do next.
#include "exportrig.h"

using namespace rig;

namespace {

struct Box {
    QString title, text;
    int icon = 0;
    int buttons = 0;
};

// Records every modal box that opens while `action` runs and presses its OK.
QList<Box> boxesOf(const std::function<void()> &action)
{
    QList<Box> out;
    runWithModalBoxes(action, [&](QWidget *w) {
        auto *mb = qobject_cast<QMessageBox *>(w);
        QVERIFY(mb);
        out.append({mb->windowTitle(), mb->text(), int(mb->icon()), int(mb->standardButtons())});
        mb->button(QMessageBox::Ok)->click();
    });
    return out;
}

QStringList linesStarting(const LogCapture &log, const QString &label)
{
    return log.lines().filter(QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(label)));
}

const QDateTime kT(QDate(2024, 3, 1), QTime(10, 0, 5));

} // namespace

class WindowSettingsTest : public QObject
{
    Q_OBJECT

    static std::unique_ptr<Korvath> window()
    {
        std::unique_ptr<Korvath> w(new Korvath);
        w->show();
        QApplication::setActiveWindow(w.get());
        [&] { QVERIFY(QTest::qWaitForWindowActive(w.get())); }();
        return w;
    }
    static QDateTimeEdit *edit(Korvath &w, const char *name) { return w.findChild<QDateTimeEdit *>(name); }

private slots:
    void channelText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("logged");
        QTest::newRow("1") << "1" << "m_channel: 0";
        QTest::newRow("16") << "16" << "m_channel: 15";
        QTest::newRow("129") << "129" << "m_channel: 128";
        QTest::newRow("130") << "130" << "m_channel: 129";
        QTest::newRow("0") << "0" << "m_channel: -1";
        QTest::newRow("abc") << "abc" << "m_channel: -1";
        QTest::newRow("12abc") << "12abc" << "m_channel: -1";
        QTest::newRow("2^32") << "4294967296" << "m_channel: -1";
        QTest::newRow("2^32-1") << "4294967295" << "m_channel: -2";
        QTest::newRow("empty") << "" << "m_channel: -1";
        QTest::newRow("leading zero is decimal") << "010" << "m_channel: 9";
        QTest::newRow("no hexadecimal") << "0x10" << "m_channel: -1";
    }

    void channelText()
    {
        QFETCH(QString, text);
        QFETCH(QString, logged);
        DriveMap drives;
        Korvath w;
        auto *field = w.findChild<QLineEdit *>("channel_lineEdit");
        field->setText(QStringLiteral("7"));
        LogCapture log;
        field->setText(text);
        QCOMPARE(log.lines(), QStringList{logged});
    }

    // Typed and erased key by key: the slot runs for every intermediate text.
    void channelTypedAndErased()
    {
        DriveMap drives;
        auto w = window();
        auto *field = w->findChild<QLineEdit *>("channel_lineEdit");
        field->clear();
        field->setFocus();
        LogCapture log;
        QTest::keyClicks(field, QStringLiteral("129"));
        for (int i = 0; i < 3; ++i)
            QTest::keyClick(field, Qt::Key_Backspace);
        QCOMPARE(log.lines(), (QStringList{"m_channel: 0", "m_channel: 11", "m_channel: 128", "m_channel: 11",
                                           "m_channel: 0", "m_channel: -1"}));
    }

    // Only the dialog's answer counts: a cancel clears an earlier choice, and
    // text typed into the field by hand is not a save path.
    void savePathComesFromTheDialogOnly()
    {
        Rig r;
        r.w = window();
        const QString chosen = r.tmp.filePath(QStringLiteral("out"));
        QVERIFY(QDir().mkpath(chosen));
        auto *field = r.w->findChild<QLineEdit *>("savepath_lineEdit");
        const QString emptyPath = QStringLiteral("The file path is empty. Please set path");

        LogCapture log;
        QFileDialog::Options options;
        QWidget *parent = nullptr;
        runWithModalBoxes([&] { r.button("savepath_pushButton")->click(); },
                          [&](QWidget *box) {
                              auto *fd = qobject_cast<QFileDialog *>(box);
                              QVERIFY(fd);
                              options = fd->options();
                              parent = fd->parentWidget();
                              fd->setDirectory(chosen);
                              QMetaObject::invokeMethod(fd, "accept", Qt::QueuedConnection);
                          });
        QCOMPARE(options, QFileDialog::Options(QFileDialog::ShowDirsOnly));
        QCOMPARE(parent, static_cast<QWidget *>(r.w.get()));
        QCOMPARE(field->text(), chosen);
        QCOMPARE(linesStarting(log, "savepath:"), QStringList{QStringLiteral("savepath: \"%1\"").arg(chosen)});
        // With a path the export goes on to its next check, an empty selection.
        QList<Box> boxes = boxesOf([&] { r.button("readfile_pushButton")->click(); });
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text, QStringLiteral("No files to be recovered"));

        log.clear();
        runWithModalBoxes([&] { r.button("savepath_pushButton")->click(); },
                          [](QWidget *box) { qobject_cast<QDialog *>(box)->reject(); });
        QCOMPARE(field->text(), QString());
        QCOMPARE(linesStarting(log, "savepath:"), QStringList{QStringLiteral("savepath: \"\"")});
        boxes = boxesOf([&] { r.button("readfile_pushButton")->click(); });
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, QStringLiteral("Save path"));
        QCOMPARE(boxes[0].text, emptyPath);

        field->setFocus();
        QTest::keyClicks(field, chosen);
        boxes = boxesOf([&] { r.button("readfile_pushButton")->click(); });
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text, emptyPath);
    }

    void startsWithEqualBounds()
    {
        DriveMap drives;
        LogCapture log;
        Korvath w;
        const QStringList start = linesStarting(log, "stime: ");
        const QStringList end = linesStarting(log, " endtime: ");
        QCOMPARE(start.size(), 1);
        QCOMPARE(end.size(), 1);
        QCOMPARE(start[0].mid(7), end[0].mid(10));
        QCOMPARE(edit(w, "starttime_dateTimeEdit")->dateTime(), edit(w, "endtime_dateTimeEdit")->dateTime());
        const QDateTime shown = edit(w, "starttime_dateTimeEdit")->dateTime();
        QVERIFY(qAbs(shown.secsTo(QDateTime::currentDateTime())) <= 5);
        QCOMPARE(start[0], QStringLiteral("stime: \"%1\"").arg(shown.toString(QStringLiteral("yyyy-MM-dd HH-mm-ss"))));
        QCOMPARE(boxesOf([&] { QTest::keyClick(edit(w, "endtime_dateTimeEdit"), Qt::Key_Return); }).size(), 0);
    }

    void timeLogLines_data()
    {
        QTest::addColumn<QDateTime>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("plain") << QDateTime(QDate(2016, 3, 5), QTime(8, 7, 9)) << "2016-03-05 08-07-09";
        QTest::newRow("first second of 2000") << QDateTime(QDate(2000, 1, 1), QTime(0, 0)) << "2000-01-01 00-00-00";
        QTest::newRow("1999 wraps to 2063") << QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59)) << "2063-12-31 23-59-59";
        QTest::newRow("2064 wraps to 2000") << QDateTime(QDate(2064, 1, 1), QTime(0, 0)) << "2000-01-01 00-00-00";
        QTest::newRow("milliseconds dropped") << QDateTime(QDate(2024, 3, 1), QTime(10, 0, 5, 999)) << "2024-03-01 10-00-05";
    }

    void timeLogLines()
    {
        QFETCH(QDateTime, value);
        QFETCH(QString, text);
        DriveMap drives;
        Korvath w;
        edit(w, "starttime_dateTimeEdit")->setDateTime(QDateTime(QDate(2030, 6, 6), QTime(6, 6, 6)));
        edit(w, "endtime_dateTimeEdit")->setDateTime(QDateTime(QDate(2030, 6, 6), QTime(6, 6, 6)));
        LogCapture log;
        edit(w, "starttime_dateTimeEdit")->setDateTime(value);
        QCOMPARE(log.lines(), QStringList{QStringLiteral("stime: \"%1\"").arg(text)});
        log.clear();
        edit(w, "endtime_dateTimeEdit")->setDateTime(value);
        QCOMPARE(log.lines(), QStringList{QStringLiteral(" endtime: \"%1\"").arg(text)});
    }

    void orderCheck_data()
    {
        QTest::addColumn<QDateTime>("start");
        QTest::addColumn<QDateTime>("end");
        QTest::addColumn<bool>("warned");
        QTest::newRow("equal to the second") << kT << kT << false;
        QTest::newRow("start one second later") << kT.addSecs(1) << kT << true;
        QTest::newRow("start one second earlier") << kT << kT.addSecs(1) << false;
        QTest::newRow("same minute, start later by seconds") << kT.addSecs(40) << kT.addSecs(20) << true;
        QTest::newRow("end in 2064 packs below 2063") << QDateTime(QDate(2063, 12, 31), QTime(23, 59, 59))
                                                    << QDateTime(QDate(2064, 1, 1), QTime(0, 0)) << true;
    }

    // Return in the end edit finishes its editing; the check runs every time,
    // and the start edit has no check of its own.
    void orderCheck()
    {
        QFETCH(QDateTime, start);
        QFETCH(QDateTime, end);
        QFETCH(bool, warned);
        DriveMap drives;
        Korvath w;
        edit(w, "starttime_dateTimeEdit")->setDateTime(start);
        edit(w, "endtime_dateTimeEdit")->setDateTime(end);
        for (int round = 0; round < 2; ++round) {
            const QList<Box> boxes = boxesOf([&] { QTest::keyClick(edit(w, "endtime_dateTimeEdit"), Qt::Key_Return); });
            QCOMPARE(boxes.size(), warned ? 1 : 0);
            if (warned) {
                QCOMPARE(boxes[0].title, QStringLiteral("Time set error"));
                QCOMPARE(boxes[0].text, QStringLiteral("Start time later then the end"));
                QCOMPARE(boxes[0].icon, int(QMessageBox::Warning));
                QCOMPARE(boxes[0].buttons, int(QMessageBox::Ok));
            }
        }
        QCOMPARE(boxesOf([&] { QTest::keyClick(edit(w, "starttime_dateTimeEdit"), Qt::Key_Return); }).size(), 0);
        // Neither value is touched by the check.
        QCOMPARE(edit(w, "starttime_dateTimeEdit")->dateTime(), start);
        QCOMPARE(edit(w, "endtime_dateTimeEdit")->dateTime(), end);
    }

    // Typed as a user types, key by key into a tabbed-into edit: the seconds
    // reach the bounds, and leaving the end edit finishes its editing too.
    void typedTimesReachTheBoundsToTheSecond()
    {
        DriveMap drives;
        auto w = window();
        QDateTimeEdit *start = edit(*w, "starttime_dateTimeEdit");
        QDateTimeEdit *end = edit(*w, "endtime_dateTimeEdit");
        LogCapture log;
        auto type = [&](QDateTimeEdit *e, const char *digits) {
            e->setFocus(Qt::TabFocusReason);
            e->setSelectedSection(QDateTimeEdit::YearSection); // as a click on the year does
            QTest::keyClicks(e, QString::fromLatin1(digits));
        };
        QList<Box> boxes = boxesOf([&] { type(start, "20240301100005"); });
        QCOMPARE(boxes.size(), 0);
        QCOMPARE(start->text(), QStringLiteral("2024-03-01 10:00:05"));
        QCOMPARE(linesStarting(log, "stime: ").last(), QStringLiteral("stime: \"2024-03-01 10-00-05\""));

        boxes = boxesOf([&] { type(end, "20240301100004"); });
        QCOMPARE(boxes.size(), 0);
        QCOMPARE(linesStarting(log, " endtime: ").last(), QStringLiteral(" endtime: \"2024-03-01 10-00-04\""));
        // One Return, one warning, although the box takes the focus from the edit.
        boxes = boxesOf([&] { QTest::keyClick(end, Qt::Key_Return); });
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text, QStringLiteral("Start time later then the end"));

        // Offscreen no window manager hands the window back its activation.
        QApplication::setActiveWindow(w.get());
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(end));
        // Tabbing back into the start edit ends the end edit's editing: warned again.
        boxes = boxesOf([&] { start->setFocus(Qt::TabFocusReason); });
        QCOMPARE(boxes.size(), 1);
        QApplication::setActiveWindow(w.get());
        boxes = boxesOf([&] { type(start, "20240301100004"); });
        QCOMPARE(boxes.size(), 0);
        QCOMPARE(linesStarting(log, "stime: ").last(), QStringLiteral("stime: \"2024-03-01 10-00-04\""));
        boxes = boxesOf([&] {
            end->setFocus(Qt::TabFocusReason);
            QTest::keyClick(end, Qt::Key_Return);
        });
        QCOMPARE(boxes.size(), 0);
    }
};

QTEST_MAIN(WindowSettingsTest)
#include "window_settings_test.moc"
