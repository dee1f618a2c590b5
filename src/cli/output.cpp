#include "commands.h"

#include "clock.h"

#include <QStringList>
#include <cstdio>

namespace korvath {
namespace cli {

void err(const QString &line)
{
    std::fprintf(stderr, "korvath-cli: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

void out(const QString &line)
{
    std::fprintf(stdout, "%s\n", line.toLocal8Bit().constData());
}

QString stampText(RecorderTime t)
{
    return recorderStampText(t);
}

uint64_t recordingBytes(const Recording &r)
{
    return static_cast<uint64_t>(r.clusters.size()) * kClusterBytes;
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
