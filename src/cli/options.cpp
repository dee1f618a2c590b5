#include "options.h"

#include "clock.h"

#include <QCommandLineParser>
#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTime>

namespace korvath {
namespace cli {

namespace {

constexpr char kDescription[] =
    "Lists and exports the recordings of a video recorder's disk, always read-only.\n"
    "\n"
    "  korvath-cli disks  [--json]\n"
    "  korvath-cli list   SOURCE [--channel N|all] [--from TIME] [--to TIME] [--json]\n"
    "  korvath-cli export SOURCE --out DIR [--channel N|all] [--from TIME] [--to TIME] [--name NAME]...\n"
    "                     [--sha256] [--report FILE.xml] [--mp4] [--overwrite]\n"
    "                     [--case TEXT] [--exhibit TEXT] [--examiner TEXT] [--note TEXT]...\n"
    "  korvath-cli preview SOURCE --out PATH [--channel N|all] [--from TIME] [--to TIME] [--name NAME]...\n"
    "                     [--frames K] [--overwrite]\n"
    "  korvath-cli overview SOURCE --out FILE.html [--from TIME] [--to TIME] [--frames K] [--overwrite]\n"
    "                     [--carved]\n"
    "  korvath-cli carve  SOURCE --out DIR [--json] [--sha256] [--report FILE] [--overwrite]\n"
    "  korvath-cli verify REPORT.xml [--source SOURCE]\n"
    "  korvath-cli image  SOURCE --out DISK.img [--map DISK.map] [--channel N|all] [--from TIME] [--to TIME]\n"
    "                     [--listed-only] [--report FILE] [--overwrite]\n"
    "  (list, export and preview take --unlisted: the recordings no start record reaches;\n"
    "   preview --carved draws the fragments carve finds)\n"
    "  (list, export, preview and overview also take --clock-offset [+|-][D.]HH:MM:SS\n"
    "   or --clock-observed 'RECORDER_TIME=TRUE_TIME', and --source-map FILE;\n"
    "   export and image take --map FILE and --read-timeout SECONDS)\n"
    "\n"
    "disks   prints each drive that opens: number, gigabytes, 'Male disk' or 'Disk', device,\n"
    "        and the model and serial the system reports (empty where unknown).\n"
    "list    prints each recording of the channel in the range: name, clusters, bytes\n"
    "        (with --channel all, every channel in one pass, the channel first).\n"
    "export  writes each listed recording (or each --name) to DIR/CAM<channel>/<name>, each under\n"
    "        a temporary name until it is complete; existing files are never replaced without --overwrite.\n"
    "        --mp4 adds a playable copy DIR/CAM<channel>/playable/<name>.mp4 of each: the same H.264,\n"
    "        not re-encoded, labelled with the native copy's name and SHA-256; a derived copy, the\n"
    "        .h264 stays the evidence. Frames, rate and losses of each are said on stderr.\n"
    "        --report FILE.xml writes a DFXML case report: the source, where each file's bytes lie on it,\n"
    "        the hashes, every unreadable sector and every recording not written; and beside it\n"
    "        FILE.html, the same as one page to read and print. --case, --exhibit, --examiner and\n"
    "        --note (may repeat) go into both.\n"
    "preview writes a contact sheet of K frames (default 6) of each listed recording (or each --name)\n"
    "        straight from SOURCE, nothing exported: PATH/CAM<channel>/<name>.png, or PATH itself when\n"
    "        one recording is previewed and PATH ends in .png. It reads only the clusters around each\n"
    "        frame; a cluster with any unreadable sector is not used. stdout: one line per picture,\n"
    "        its path, frames found and clusters read.\n"
    "overview writes one self-contained HTML page of every channel: the source, a timeline, a table\n"
    "        per channel (with --frames K, a small preview of K frames per recording); unlisted recordings\n"
    "        in their channel's lane, and with --carved the carved fragments in a lane of their own.\n"
    "--unlisted: recordings whose first clusters were reused (the rest of their chain keeps its records);\n"
    "        one whose stamps are implausible is listed whatever the range, named unknown-time. export\n"
    "        writes them to DIR/CAM<channel>/unlisted/.\n"
    "carve   reads the clusters no record claims, finds H.264 in them and writes each run of clusters\n"
    "        whose frames continue each other to DIR/carved/carved_clusters-<first>-<last>.h264; stdout: one\n"
    "        line per fragment (first cluster, clusters, frames, width x height, path).\n"
    "verify  re-hashes every file REPORT.xml names (relative to its folder): one line per file, OK,\n"
    "        CHANGED or MISSING; exit 0 only when all are OK. --source SOURCE also reads each native\n"
    "        copy's bytes back from where the report says they lie on SOURCE and checks their hash;\n"
    "        a derived copy is checked with its parent.\n"
    "image   copies the disk into a raw sparse image, evidence first: sector 0 and the partition table,\n"
    "        the directory, the clusters of the listed recordings, then the rest (not with --listed-only).\n"
    "        Prints its SHA-256 when every sector was tried; writes a DFXML record (--report, or DISK.img.xml).\n"
    "--map FILE (export, image) keeps a GNU ddrescue mapfile of the work; the same command with the\n"
    "        same map resumes it. Clusters that read whole come first; failed ones are read sector by\n"
    "        sector only after. --read-timeout (default 30 s): a read not answered by then counts as failed.\n"
    "--source-map FILE: SOURCE is an image made with that map; what it does not mark finished is unreadable.\n"
    "--clock-offset is the recorder's clock minus the true time (+00:03:12 when the recorder showed\n"
    "        10:03:12 at 10:00:00): --from and --to are then true times, and the output shows both.\n"
    "--clock-observed '2024-03-01 10:03:12=2024-03-01 10:00:00' (what the recorder showed = the true\n"
    "        time then) works the offset out from one reading; a report keeps the reading too.\n"
    "\n"
    "SOURCE is a drive number as 'disks' prints it, the path of a block device or disk image, or the\n"
    "first file of an evidence image (case.E01, disk.001, an AFF file); write ./12 for a file named 12.\n"
    "TIME is 'YYYY-MM-DD HH:MM:SS' (or with T), or a date alone (--from: 00:00:00, --to: 23:59:59),\n"
    "the recorder's wall clock unless --clock-offset is given. Exit status: 0 done, 1 something could\n"
    "not be read or written (or no MP4 or preview could be made of it, or stdout failed), 2 usage\n"
    "(also an output on the source, on another output or on a folder outputs go into), 128+N stopped\n"
    "by signal N (Ctrl-C: 130; a pipe closed by its reader: 141).";

const char *commandName(Command c)
{
    switch (c) {
    case Command::Disks:
        return "disks";
    case Command::List:
        return "list";
    case Command::Export:
        return "export";
    case Command::Overview:
        return "overview";
    case Command::Preview:
        return "preview";
    case Command::Verify:
        return "verify";
    case Command::Carve:
        return "carve";
    case Command::Image:
        return "image";
    }
    return "";
}

// Who handled the evidence and for what: for every command that writes a case report.
struct CaseOptions {
    const QCommandLineOption number{QStringLiteral("case"), QStringLiteral("export: the case, for the report."),
                                    QStringLiteral("TEXT")};
    const QCommandLineOption exhibit{QStringLiteral("exhibit"), QStringLiteral("export: the exhibit, for the report."),
                                     QStringLiteral("TEXT")};
    const QCommandLineOption examiner{QStringLiteral("examiner"), QStringLiteral("export: who handled it, for the report."),
                                      QStringLiteral("TEXT")};
    const QCommandLineOption note{QStringLiteral("note"), QStringLiteral("export: a note for the report (may repeat)."),
                                  QStringLiteral("TEXT")};

    // They only go into a report: without one they are a slip worth naming.
    bool read(const QCommandLineParser &parser, bool reporting, CaseDetails *details, QString *error) const
    {
        for (const QCommandLineOption *o : {&number, &exhibit, &examiner, &note})
            if (parser.isSet(*o) && !reporting) {
                *error = QStringLiteral("--%1 goes into the case report: give --report FILE.xml too").arg(o->names().first());
                return false;
            }
        *details = {parser.value(number), parser.value(exhibit), parser.value(examiner), parser.values(note)};
        return true;
    }
};

} // namespace

bool parseTimeText(const QString &text, RecorderTime *value, bool endOfDay)
{
    static const QRegularExpression form(
        QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})(?:[ T](\\d{2}):(\\d{2}):(\\d{2}))?$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return false;
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const bool dateOnly = m.captured(4).isEmpty();
    const QTime time = dateOnly ? (endOfDay ? QTime(23, 59, 59) : QTime(0, 0, 0))
                                : QTime(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
    if (!date.isValid() || !time.isValid() || date.year() < 2000 || date.year() > 2063)
        return false;
    *value = packRecorderTime(date.year(), date.month(), date.day(), time.hour(), time.minute(), time.second());
    return true;
}

bool applyClockOffset(Options *o, QString *error)
{
    o->trueFrom = o->from;
    o->trueTo = o->to;
    if (!o->clockOffset)
        return true;
    const struct {
        const char *name;
        bool given;
        RecorderTime *value;
    } bounds[] = {{"from", o->fromGiven, &o->from}, {"to", o->toGiven, &o->to}};
    for (const auto &b : bounds) {
        if (!b.given)
            continue;
        const std::optional<qint64> seconds = recorderTimeSeconds(*b.value);
        const std::optional<RecorderTime> recorder =
            seconds ? recorderTimeAt(*seconds + *o->clockOffset) : std::optional<RecorderTime>();
        if (!recorder) {
            *error = QStringLiteral("--%1 %2 with --clock-offset %3 is %4 on the recorder's clock, outside the years "
                                    "a stamp can hold (2000 to 2063)")
                         .arg(QLatin1String(b.name), secondsText(seconds.value_or(0)), clockOffsetText(*o->clockOffset),
                              secondsText(seconds.value_or(0) + *o->clockOffset));
            return false;
        }
        *b.value = *recorder;
    }
    return true;
}

bool parseOptions(const QStringList &arguments, Options *options, QString *error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption channel(QStringLiteral("channel"), QStringLiteral("Camera channel, 1 to 64, or all."),
                                     QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption from(QStringLiteral("from"), QStringLiteral("Start of the time range."),
                                  QStringLiteral("TIME"), QStringLiteral("2000-01-01 00:00:00"));
    const QCommandLineOption to(QStringLiteral("to"), QStringLiteral("End of the time range."), QStringLiteral("TIME"),
                                QStringLiteral("2063-12-31 23:59:59"));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("list, disks: print one JSON array."));
    const QCommandLineOption out(QStringLiteral("out"),
                                 QStringLiteral("export: the existing folder to write into; preview: a folder or a "
                                                ".png file; overview: the page."),
                                 QStringLiteral("PATH"));
    const QCommandLineOption clockOffset(QStringLiteral("clock-offset"),
                                         QStringLiteral("The recorder's clock minus the true time."),
                                         QStringLiteral("[+|-][D.]HH:MM:SS"));
    const QCommandLineOption name(QStringLiteral("name"),
                                  QStringLiteral("export, preview: only this listed recording (may repeat)."),
                                  QStringLiteral("NAME"));
    const QCommandLineOption sha256(QStringLiteral("sha256"),
                                    QStringLiteral("export: print each file's SHA-256 for 'sha256sum -c'."));
    const QCommandLineOption report(QStringLiteral("report"),
                                    QStringLiteral("export: write a DFXML case report of the export to FILE."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption overwrite(QStringLiteral("overwrite"),
                                       QStringLiteral("export, preview: replace files that exist already."));
    const QCommandLineOption mp4(QStringLiteral("mp4"),
                                 QStringLiteral("export: also a playable MP4 copy of each, in CAM<n>/playable/."));
    const QCommandLineOption frames(QStringLiteral("frames"), QStringLiteral("preview: frames per sheet, 1 to 64 (default 6); overview: 1 to 12."),
                                    QStringLiteral("K"), QStringLiteral("6"));
    const QCommandLineOption clockObserved(QStringLiteral("clock-observed"),
                                           QStringLiteral("One reading of the recorder's clock against the true time."),
                                           QStringLiteral("RECORDER_TIME=TRUE_TIME"));
    const CaseOptions caseOptions;
    const QCommandLineOption &caseNumber = caseOptions.number, &exhibit = caseOptions.exhibit,
                             &examiner = caseOptions.examiner, &note = caseOptions.note;
    const QCommandLineOption verifySource(QStringLiteral("source"),
                                          QStringLiteral("verify: also check the native copies against this source."),
                                          QStringLiteral("SOURCE"));
    const QCommandLineOption unlisted(QStringLiteral("unlisted"),
                                      QStringLiteral("list, export, preview: the recordings no start record reaches."));
    const QCommandLineOption carved(QStringLiteral("carved"),
                                    QStringLiteral("overview: carve the clusters no record claims and show the fragments."));
    const QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Write the library's debug log to stderr."));
    const QCommandLineOption map(QStringLiteral("map"), QStringLiteral("export, image: the ddrescue mapfile of this work."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption sourceMap(QStringLiteral("source-map"),
                                       QStringLiteral("The ddrescue mapfile the image SOURCE was made with."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption readTimeout(QStringLiteral("read-timeout"),
                                         QStringLiteral("export, image: seconds a read may take (default 30)."),
                                         QStringLiteral("SECONDS"), QStringLiteral("30"));
    const QCommandLineOption listedOnly(QStringLiteral("listed-only"),
                                        QStringLiteral("image: only the evidence and the listed recordings."));
    parser.addOptions({channel, from, to, json, out, name, sha256, report, overwrite, verbose, clockOffset, clockObserved,
                       mp4, frames, caseNumber, exhibit, examiner, note, verifySource, unlisted, carved, map, sourceMap,
                       readTimeout, listedOnly});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("disks, list, export, preview, overview, carve, verify or image"));
    parser.addPositionalArgument(QStringLiteral("SOURCE"), QStringLiteral("drive number or path"), QStringLiteral("[SOURCE]"));

    if (!parser.parse(arguments)) {
        // "Unknown option 'x'." in the house style of the other lines.
        QString text = parser.errorText();
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
        if (!text.isEmpty())
            text[0] = text[0].toLower();
        *error = text;
        return false;
    }
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    if (command == QLatin1String("disks"))
        options->command = Command::Disks;
    else if (command == QLatin1String("list"))
        options->command = Command::List;
    else if (command == QLatin1String("export"))
        options->command = Command::Export;
    else if (command == QLatin1String("overview"))
        options->command = Command::Overview;
    else if (command == QLatin1String("preview"))
        options->command = Command::Preview;
    else if (command == QLatin1String("verify"))
        options->command = Command::Verify;
    else if (command == QLatin1String("carve"))
        options->command = Command::Carve;
    else if (command == QLatin1String("image"))
        options->command = Command::Image;
    else {
        *error = command.isEmpty()
                     ? QStringLiteral("no command given: disks, list, export, preview, overview, carve, verify or image "
                                      "(see --help)")
                     : QStringLiteral("unknown command '%1': use disks, list, export, preview, overview, carve, verify "
                                      "or image")
                           .arg(command);
        return false;
    }
    const QString cmd = QString::fromLatin1(commandName(options->command));
    const int wanted = options->command == Command::Disks ? 1 : 2;
    if (args.size() < wanted) {
        *error = options->command == Command::Verify
                     ? QStringLiteral("'verify' needs the case report to check (REPORT.xml)")
                     : QStringLiteral("'%1' needs a SOURCE: a drive number, a block device or a disk image").arg(cmd);
        return false;
    }
    if (args.size() > wanted) {
        *error = QStringLiteral("unexpected argument '%1' after '%2'").arg(args.value(wanted), args.value(wanted - 1));
        return false;
    }

    // Each option belongs to the commands that use it; anything else is a slip worth naming.
    struct Belongs {
        const QCommandLineOption &option;
        bool list, exporting;
        bool disks = false;
        bool overview = false;
        bool preview = false;
        bool verify = false;
        bool carve = false;
        bool image = false;
    } const belongs[] = {{channel, true, true, false, false, true, false, false, true},
                         {from, true, true, false, true, true, false, false, true},
                         {to, true, true, false, true, true, false, false, true},
                         {json, true, false, true, false, false, false, true},
                         {out, false, true, false, true, true, false, true, true},
                         {name, false, true, false, false, true},
                         {sha256, false, true, false, false, false, false, true},
                         {report, false, true, false, false, false, false, true, true},
                         {overwrite, false, true, false, true, true, false, true, true},
                         {mp4, false, true},
                         {clockOffset, true, true, false, true, true},
                         {clockObserved, true, true, false, true, true},
                         {frames, false, false, false, true, true},
                         {caseNumber, false, true, false, false, false, false, false, true},
                         {exhibit, false, true, false, false, false, false, false, true},
                         {examiner, false, true, false, false, false, false, false, true},
                         {note, false, true, false, false, false, false, false, true},
                         {verifySource, false, false, false, false, false, true},
                         {unlisted, true, true, false, false, true},
                         {carved, false, false, false, true, true},
                         {map, false, true, false, false, false, false, false, true},
                         {sourceMap, true, true, false, true, true},
                         {readTimeout, false, true, false, false, false, false, false, true},
                         {listedOnly, false, false, false, false, false, false, false, true}};
    for (const Belongs &b : belongs) {
        const bool fits = options->command == Command::List       ? b.list
                          : options->command == Command::Export   ? b.exporting
                          : options->command == Command::Overview ? b.overview
                          : options->command == Command::Preview  ? b.preview
                          : options->command == Command::Verify   ? b.verify
                          : options->command == Command::Carve    ? b.carve
                          : options->command == Command::Image    ? b.image
                                                                  : b.disks;
        if (parser.isSet(b.option) && !fits) {
            *error = QStringLiteral("--%1 does not apply to '%2'").arg(b.option.names().first(), cmd);
            return false;
        }
    }

    options->verbose = parser.isSet(verbose);
    options->source = args.value(1);
    options->json = parser.isSet(json);
    options->sha256 = parser.isSet(sha256);
    options->overwrite = parser.isSet(overwrite);
    options->report = parser.value(report);
    options->names = parser.values(name);
    options->outDir = parser.value(out);
    options->mp4 = parser.isSet(mp4);
    options->unlisted = parser.isSet(unlisted);
    options->carved = parser.isSet(carved);
    options->map = parser.value(map);
    options->sourceMap = parser.value(sourceMap);
    options->listedOnly = parser.isSet(listedOnly);
    if (options->command == Command::Disks)
        return true;
    if (options->command == Command::Verify) {
        options->report = args.value(1);
        options->source = parser.value(verifySource);
        if (parser.isSet(verifySource) && options->source.isEmpty()) {
            *error = QStringLiteral("--source is empty: give a drive number, a block device or a disk image");
            return false;
        }
        return true;
    }
    // An image always writes its report (DISK.img.xml unless --report says where).
    if (!caseOptions.read(parser, parser.isSet(report) || options->command == Command::Image, &options->caseDetails,
                          error))
        return false;

    {
        bool ok = false;
        const double seconds = parser.value(readTimeout).toDouble(&ok);
        if (!ok || seconds < 0.1 || seconds > 86400) {
            *error = QStringLiteral("--read-timeout must be a number of seconds from 0.1 to 86400, not '%1'")
                         .arg(parser.value(readTimeout));
            return false;
        }
        options->readTimeoutMs = static_cast<int>(seconds * 1000);
    }
    for (const QCommandLineOption *o : {&map, &sourceMap}) {
        const QFileInfo file(parser.value(*o));
        if (parser.isSet(*o) && (parser.value(*o).isEmpty() || file.isDir() || !QFileInfo(file.absolutePath()).isDir())) {
            *error = QStringLiteral("--%1 '%2' is not a file in an existing folder").arg(o->names().first(), parser.value(*o));
            return false;
        }
    }
    if (parser.isSet(sourceMap) && !QFileInfo(options->sourceMap).isFile()) {
        *error = QStringLiteral("--source-map '%1' does not exist").arg(options->sourceMap);
        return false;
    }

    static const QRegularExpression number(QStringLiteral("^\\d{1,2}$"));
    // The overview is of every channel, always; an image takes every channel unless told otherwise.
    const QString channelText = options->command == Command::Overview || options->command == Command::Carve
                                        || (options->command == Command::Image && !parser.isSet(channel))
                                    ? QStringLiteral("all")
                                    : parser.value(channel);
    const uint channelNumber = channelText.toUInt();
    if (channelText == QLatin1String("all")) {
        options->allChannels = true;
    } else if (!number.match(channelText).hasMatch() || channelNumber < 1 || channelNumber > 64) {
        *error = QStringLiteral("--channel must be a number from 1 to 64 or 'all', not '%1'").arg(channelText);
        return false;
    } else {
        options->channel = channelNumber - 1;
    }
    const struct {
        const QCommandLineOption &option;
        RecorderTime *value;
        bool endOfDay;
    } times[] = {{from, &options->from, false}, {to, &options->to, true}};
    for (const auto &t : times) {
        const QString text = parser.value(t.option);
        if (!parseTimeText(text, t.value, t.endOfDay)) {
            *error = QStringLiteral("--%1 '%2' is not a time YYYY-MM-DD HH:MM:SS (or a date) from 2000 to 2063")
                         .arg(t.option.names().first(), text);
            return false;
        }
    }
    if (options->from > options->to) {
        *error = QStringLiteral("--from %1 is later than --to %2").arg(parser.value(from), parser.value(to));
        return false;
    }
    if (parser.isSet(clockOffset)) {
        qint64 seconds = 0;
        QString why;
        if (!parseClockOffset(parser.value(clockOffset), &seconds, &why)) {
            *error = QStringLiteral("--clock-offset: %1").arg(why);
            return false;
        }
        options->clockOffset = seconds;
    }
    if (parser.isSet(clockObserved)) {
        if (parser.isSet(clockOffset)) {
            *error = QStringLiteral("--clock-offset and --clock-observed both give the clock: give one of them");
            return false;
        }
        ClockObservation seen;
        QString why;
        if (!parseClockObservation(parser.value(clockObserved), &seen, &why)) {
            *error = QStringLiteral("--clock-observed: %1").arg(why);
            return false;
        }
        options->clockObservation = seen;
        options->clockOffset = seen.offset();
    }
    options->fromGiven = parser.isSet(from);
    options->toGiven = parser.isSet(to);
    if (!applyClockOffset(options, error))
        return false;

    if (options->command == Command::Overview) {
        if (!parser.isSet(out) || options->outDir.isEmpty()) {
            *error = QStringLiteral("'overview' needs --out FILE.html, the page to write");
            return false;
        }
        const QFileInfo page(options->outDir);
        if (page.isDir()) {
            *error = QStringLiteral("--out '%1' is a folder; 'overview' writes a file, e.g. overview.html")
                         .arg(options->outDir);
            return false;
        }
        if (!page.absoluteDir().exists()) {
            *error = QStringLiteral("--out '%1': the folder %2 does not exist")
                         .arg(options->outDir, QDir::toNativeSeparators(page.absolutePath()));
            return false;
        }
        if (page.exists() && !options->overwrite) {
            *error = QStringLiteral("%1 exists already; nothing was written; give --overwrite to replace it")
                         .arg(QDir::toNativeSeparators(options->outDir));
            return false;
        }
        if (parser.isSet(frames)) {
            static const QRegularExpression count(QStringLiteral("^\\d{1,2}$"));
            const QString text = parser.value(frames);
            options->frames = text.toInt();
            if (!count.match(text).hasMatch() || options->frames < 1 || options->frames > 12) {
                *error = QStringLiteral("--frames must be a number from 1 to 12, not '%1'").arg(text);
                return false;
            }
        }
    }

    if (options->command == Command::Preview) {
        const QString k = parser.value(frames);
        static const QRegularExpression digits(QStringLiteral("^\\d{1,2}$"));
        options->frames = k.toInt();
        if (!digits.match(k).hasMatch() || options->frames < 1 || options->frames > 64) {
            *error = QStringLiteral("--frames must be a number from 1 to 64, not '%1'").arg(k);
            return false;
        }
        const QFileInfo path(options->outDir);
        const bool png = !path.isDir() && options->outDir.endsWith(QLatin1String(".png"), Qt::CaseInsensitive);
        if (!parser.isSet(out) || options->outDir.isEmpty()) {
            *error = QStringLiteral("'preview' needs --out PATH, a folder or a .png file to write");
            return false;
        }
        if (png ? !QFileInfo(path.absolutePath()).isDir() : !path.isDir()) {
            *error = png ? QStringLiteral("--out '%1': the folder %2 does not exist").arg(options->outDir, path.absolutePath())
                         : QStringLiteral("--out '%1' is neither an existing folder nor a .png file").arg(options->outDir);
            return false;
        }
    }
    if (options->command == Command::Carve && options->json && options->sha256) {
        *error = QStringLiteral("'carve' prints either --json or --sha256 lines on stdout, not both");
        return false;
    }
    if (options->command == Command::Image) {
        const QFileInfo file(options->outDir);
        if (options->outDir.isEmpty() || file.isDir() || !QFileInfo(file.absolutePath()).isDir()) {
            *error = QStringLiteral("'image' needs --out DISK.img, a file in an existing folder");
            return false;
        }
        const bool resuming = !options->map.isEmpty() && QFileInfo::exists(options->map);
        if (file.exists() && !resuming && !options->overwrite) {
            *error = QStringLiteral("%1 exists already; give --overwrite to replace it, or --map with the map it was "
                                    "made with to go on").arg(QDir::toNativeSeparators(options->outDir));
            return false;
        }
        if (resuming && !file.exists() && !QFileInfo::exists(options->outDir + QStringLiteral(".part"))) {
            *error = QStringLiteral("the map %1 exists but the image %2 does not: give a new --map to start again")
                         .arg(options->map, options->outDir);
            return false;
        }
        if (options->report.isEmpty())
            options->report = options->outDir + QStringLiteral(".xml");
        const QFileInfo xml(options->report);
        if (xml.exists() && !resuming && !options->overwrite) {
            *error = QStringLiteral("%1 exists already; give --overwrite to replace it").arg(options->report);
            return false;
        }
    }
    if (options->command == Command::Export || options->command == Command::Carve) {
        if (!parser.isSet(out) || options->outDir.isEmpty()) {
            *error = QStringLiteral("'%1' needs --out DIR, the folder to write into").arg(cmd);
            return false;
        }
        if (!QFileInfo(options->outDir).isDir()) {
            *error = QStringLiteral("--out '%1' is not an existing folder").arg(options->outDir);
            return false;
        }
        if (parser.isSet(report)) {
            const QFileInfo file(options->report);
            if (options->report.isEmpty() || file.isDir() || !QFileInfo(file.absolutePath()).isDir()) {
                *error = QStringLiteral("--report '%1' is not a file in an existing folder").arg(options->report);
                return false;
            }
            const QFileInfo page(caseHtmlPath(options->report));
            if (file.suffix().startsWith(QLatin1String("htm"), Qt::CaseInsensitive)) {
                *error = QStringLiteral("--report '%1': the report is XML and its readable page goes beside it as "
                                        "HTML; give a name like case.xml")
                             .arg(options->report);
                return false;
            }
            for (const QFileInfo &f : {file, page})
                if ((f.exists() || f.isSymLink()) && !parser.isSet(overwrite)) {
                    *error = QStringLiteral("--report: '%1' exists already; give --overwrite to replace it")
                                 .arg(QDir::toNativeSeparators(f.filePath()));
                    return false;
                }
        }
    }
    return true;
}

} // namespace cli
} // namespace korvath
