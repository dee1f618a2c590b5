// korvath-cli's arguments: the bytes are split at newlines into arguments
// after the program's name, for parseOptions, and each is also given to
// parseTimeText alone. What is accepted must be a usable request.
#include "fuzzcheck.h"
#include "options.h"
#include "recordertime.h"

#include <QCoreApplication>
#include <QDate>
#include <QString>
#include <QStringList>
#include <QTime>
#include <cstdint>

using namespace korvath;
using namespace korvath::cli;

namespace {

// --help, --help-all and --version print and exit the process; so do -h, -?
// and -v, also among compacted short options such as -xh, and --h, --v.
bool showsAndExits(const QString &arg)
{
    if (arg == QLatin1String("--"))
        return false;
    if (arg.startsWith(QLatin1String("--"))) {
        const QString name = arg.mid(2).section(QLatin1Char('='), 0, 0);
        static const QStringList exiting = {QStringLiteral("help"), QStringLiteral("help-all"),
                                            QStringLiteral("version"), QStringLiteral("h"), QStringLiteral("v"),
                                            QStringLiteral("?")};
        return exiting.contains(name);
    }
    return arg.startsWith(QLatin1Char('-'))
           && (arg.contains(QLatin1Char('h')) || arg.contains(QLatin1Char('v')) || arg.contains(QLatin1Char('?')));
}

// An accepted time is a real date and time of 2000 to 2063 that packs back
// to itself and reads back as the text it came from.
void checkTime(const QString &text, RecorderTime value)
{
    const RecorderTimeFields f = unpackRecorderTime(value);
    FUZZ_CHECK(f.year >= 2000 && f.year <= 2063);
    FUZZ_CHECK(QDate(static_cast<int>(f.year), static_cast<int>(f.month), static_cast<int>(f.day)).isValid());
    FUZZ_CHECK(f.hour < 24 && f.minute < 60 && f.second < 60);
    FUZZ_CHECK(packRecorderTime(f.year, f.month, f.day, f.hour, f.minute, f.second) == value);
    QString same = text;
    same[10] = QLatin1Char(' ');
    same.replace(QLatin1Char(':'), QLatin1Char('-'));
    FUZZ_CHECK(recorderTimeText(value) == same);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvath-cli"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const QStringList given = text.split(QLatin1Char('\n'));
    for (const QString &arg : given)
        if (showsAndExits(arg))
            return -1; // not kept in the corpus

    for (const QString &arg : given) {
        RecorderTime value = 0;
        if (parseTimeText(arg, &value)) {
            FUZZ_CHECK(arg.size() == 19 || arg.size() == 10);
            // A date alone is its first second, or with endOfDay its last.
            checkTime(arg.size() == 10 ? arg + QStringLiteral(" 00:00:00") : arg, value);
            RecorderTime last = 0;
            FUZZ_CHECK(parseTimeText(arg, &last, true));
            checkTime(arg.size() == 10 ? arg + QStringLiteral(" 23:59:59") : arg, last);
        }
    }

    Options o;
    QString error;
    const bool ok = parseOptions(QStringList{QStringLiteral("korvath-cli")} + given, &o, &error);
    if (!ok) {
        FUZZ_CHECK(!error.isEmpty());
        return 0;
    }
    FUZZ_CHECK(error.isEmpty());
    if (o.command == Command::Disks)
        return 0;
    // verify takes a report and at most a source, nothing of a range.
    if (o.command == Command::Verify) {
        FUZZ_CHECK(!o.clockOffset && o.caseDetails.empty() && o.outDir.isEmpty() && o.names.isEmpty());
        return 0;
    }
    // Case details go only into a report.
    FUZZ_CHECK(o.caseDetails.empty() || !o.report.isEmpty());
    // An observed clock gives the offset it was worked out from.
    FUZZ_CHECK(!o.clockObservation || o.clockOffset == o.clockObservation->offset());
    // An empty SOURCE argument ('') is accepted here; opening it fails later.
    FUZZ_CHECK(o.channel < 64);
    FUZZ_CHECK(o.from <= o.to);
    // The range came from two accepted times (or the defaults), so both unpack to real ones.
    for (const RecorderTime t : {o.from, o.to}) {
        const RecorderTimeFields f = unpackRecorderTime(t);
        FUZZ_CHECK(f.year <= 2063 && QDate(f.year, f.month, f.day).isValid() && QTime(f.hour, f.minute, f.second).isValid());
    }
    FUZZ_CHECK(o.command == Command::Export ? !o.outDir.isEmpty() : !o.sha256 && o.names.isEmpty());
    return 0;
}
