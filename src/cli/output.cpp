#include "commands.h"

#include "clock.h"

#include <QStringList>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace korvath {
namespace cli {

void err(const QString &line)
{
    std::fprintf(stderr, "korvath-cli: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

namespace {

bool g_stdoutFailed = false;

// A closed pipe (`| head -1`) stops the command like a stop signal; any other
// failure is said once and makes the run a failure.
void checkStdout(bool ok)
{
    if (ok || g_stdoutFailed)
        return;
    const int cause = errno;
    g_stdoutFailed = true;
#ifdef EPIPE
    if (cause == EPIPE) {
        requestStop(SIGPIPE);
        return;
    }
#endif
    err(QStringLiteral("standard output could not be written (%1); what follows for it is lost")
            .arg(QString::fromLocal8Bit(std::strerror(cause))));
}

} // namespace

void outText(const QByteArray &text)
{
    if (!g_stdoutFailed)
        checkStdout(std::fwrite(text.constData(), 1, size_t(text.size()), stdout) == size_t(text.size()));
}

void out(const QString &line)
{
    outText(line.toLocal8Bit() + '\n');
}

bool flushOut()
{
    if (!g_stdoutFailed)
        checkStdout(std::fflush(stdout) == 0 && !std::ferror(stdout));
    return !g_stdoutFailed;
}

bool stdoutFailed()
{
    return g_stdoutFailed && stopSignal() != SIGPIPE;
}

QString stampText(RecorderTime t)
{
    return recorderStampText(t);
}

QString channelText(const Options &o)
{
    return o.allChannels ? QStringLiteral("any channel") : QStringLiteral("channel %1").arg(o.channel + 1);
}

QString noMatchText(const Options &o)
{
    QString text = QStringLiteral("no %1recording of %2 from %3 to %4")
                       .arg(o.unlisted ? QStringLiteral("unlisted ") : QString(), channelText(o), stampText(o.from),
                            stampText(o.to));
    if (o.clockOffset)
        text += QStringLiteral(" on the recorder's clock (true %1 to %2, clock offset %3)")
                    .arg(stampText(o.trueFrom), stampText(o.trueTo), clockOffsetText(*o.clockOffset));
    return text;
}

QString trueTimeText(RecorderTime stamp, qint64 offset)
{
    const std::optional<QDateTime> t = trueTimeForRecorderTime(stamp, offset);
    return t ? t->toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

} // namespace cli
} // namespace korvath
