// The window's debug lines as the toolkit's default handler prints them:
// exactly the text the program logs, with no category or program prefix.
#include "exportrig.h"

#include "layout.h"

using namespace rig;

namespace {

struct Line {
    QString message, printed;
};
QList<Line> g_lines;
QtMessageHandler g_previous = nullptr;

// What the default handler would print: the message formatted by the
// toolkit's pattern, which no one here sets.
void keepFormatted(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg)
        g_lines.append({message, qFormatLogMessage(type, context, message)});
    else if (g_previous)
        g_previous(type, context, message);
}

} // namespace

class WindowDebugLinesTest : public QObject
{
    Q_OBJECT

private slots:
    void linesCarryNoPrefix()
    {
        if (qEnvironmentVariableIsSet("QT_MESSAGE_PATTERN"))
            QSKIP("QT_MESSAGE_PATTERN is set: the lines would be printed in that pattern");
        Rig r;
        r.addDisk(0, ImageBuilder(8192));
        ImageBuilder b(kImageSectors);
        b.recorderSignature();
        const QString name = addRecording(b, 0, {5});
        r.addDisk(1, b);
        g_lines.clear();
        g_previous = qInstallMessageHandler(keepFormatted);
        r.open(1);
        qInstallMessageHandler(g_previous);

        QStringList printed;
        for (const Line &l : qAsConst(g_lines)) {
            QCOMPARE(l.printed, l.message);
            printed << l.printed;
        }
        const korvath::VolumeInfo info = korvath::volumeInfoForSectors(kImageSectors);
        const QString offset = QString::number(korvath::directoryBaseSector(info));
        const QStringList expected = {"count: 2",
                                      "row: 1  m_curSelectItem: -1",
                                      "i= 0",
                                      "i= 1",
                                      QStringLiteral("totalSec: %1").arg(kImageSectors),
                                      QStringLiteral("dir_size: %1").arg(info.dir_size),
                                      "offset1: " + offset,
                                      "offset2: " + offset,
                                      "first way",
                                      "filename: \"" + name + "\""};
        int from = 0;
        for (const QString &line : expected) {
            const int at = printed.indexOf(line, from);
            QVERIFY2(at >= 0, qPrintable(line + " not printed, in order, among:\n" + printed.join('\n')));
            from = at + 1;
        }
        QCOMPARE(printed.filter(QRegularExpression(QStringLiteral("^korvath"))), QStringList());
    }
};

QTEST_MAIN(WindowDebugLinesTest)
#include "window_debuglines_test.moc"
