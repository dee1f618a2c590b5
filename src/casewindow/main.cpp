#include "casewindow.h"
#include "log.h"
#include "videomodule.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Korvath"));
    QApplication::setApplicationName(QStringLiteral("korvath-case"));
    QApplication::setApplicationDisplayName(QStringLiteral("Korvath Case"));
    QApplication::setApplicationVersion(QStringLiteral(KORVATH_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The examiner's window of Korvath: a recorder disk, read-only."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("SOURCE"),
                                 QStringLiteral("A drive number, a block device or a disk image (raw, split raw, E01, AFF) to open."),
                                 QStringLiteral("[SOURCE]"));
    const QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Write the library's debug log, FFmpeg's messages included."));
    parser.addOption(verbose);
    parser.process(app);
    // The library logs a line per record, and FFmpeg one per damaged frame.
    korvath::setDebugLogEnabled(parser.isSet(verbose));
    QString why;
    if (!parser.isSet(verbose))
        if (const korvath::VideoModule *video = korvath::videoModule(&why))
            video->quietVideoLibraries();

    korvath::CaseWindow window;
    window.show();
    const QStringList given = parser.positionalArguments();
    if (!given.isEmpty())
        QTimer::singleShot(0, &window, [&window, source = given.first()] { window.openSource(source); });
    return app.exec();
}
