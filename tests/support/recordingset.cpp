#include "recordingset.h"

#include <QDateTime>
#include <random>

namespace korvath {
namespace testkit {

QVector<Recording> busyRecorder(int count, int channels, uint32_t seed)
{
    std::mt19937 rng(seed);
    QVector<Recording> recs;
    recs.reserve(count);
    for (int ch = 0; ch < channels; ++ch) {
        QDateTime t = QDateTime(QDate(2019, 1, 1), QTime(0, 0), Qt::UTC).addSecs(ch * 3700);
        const int perChannel = count / channels + (ch < count % channels ? 1 : 0);
        for (int i = 0; i < perChannel; ++i) {
            const int length = 60 + int(rng() % 1800);
            const int kind = int(rng() % 100);
            const int gap = kind < 70 ? int(rng() % 120) : kind < 97 ? int(rng() % 20000) : int(rng() % 400000);
            Recording r;
            r.channel = uint32_t(ch);
            r.startTime = toRecorderTime(t);
            r.endTime = toRecorderTime(t.addSecs(length));
            r.name = recordingFileName(r.startTime, r.endTime, r.channel);
            r.recordIndex = uint32_t(recs.size());
            for (int c = 0; c <= length / 200; ++c)
                r.clusters.push_back(uint32_t(recs.size() * 16 + c));
            recs.push_back(r);
            t = t.addSecs(length + gap);
        }
    }
    return recs;
}

} // namespace testkit
} // namespace korvath
