// Playable copies from damaged native copies: each row a master as the
// recorder disk leaves it, handed over from memory as the export would; the
// MP4 is decoded and compared picture by picture.
#include "remux.h"
#include "teststream.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <cstring>
#include <functional>
#include <malloc.h>
#include <random>

using namespace korvath;
using namespace korvath::testkit;

namespace {

constexpr qint64 kMiB = 1 << 20;
const RecorderTime kStart = packRecorderTime(2024, 3, 1, 8, 0, 0);

// The recording every row starts from: more than 4 MiB, a key frame every 25.
const TestStream &source()
{
    static const TestStream s = [] {
        TestStreamOptions o;
        o.frames = 200;
        o.gop = 25;
        o.detail = 80;
        return encodeTestStream(o);
    }();
    return s;
}

const TestStream &older()
{
    static const TestStream s = [] {
        TestStreamOptions o;
        o.frames = 40;
        o.gop = 40;
        o.detail = 80;
        o.variant = 3;
        return encodeTestStream(o);
    }();
    return s;
}

struct Master {
    TestStream stream; // frames: the recording's own, at their places in bytes
    qint64 zeroAt = 0, zeroLength = 0; // the damaged stretch
    int afterEnd = 0;  // an older recording's frames after the end
    bool unreadable = true;            // the stretch is named unreadable, as the export names it
    double readsFailAt = 0;            // reads fail once this share of the work is done (0: never)
};

// The recording's bytes from memory; a read outside them breaks the contract.
// With `failFrom`, every read fails once the progress reported passes it.
RecordingBytes bytesOf(const QByteArray &bytes, const uint64_t *done = nullptr, uint64_t failFrom = 0,
                       const std::function<void()> &onFailure = {})
{
    return [&bytes, done, failFrom, onFailure](uint64_t offset, uint8_t *buffer, uint32_t size) {
        if (offset > uint64_t(bytes.size()) || size > uint64_t(bytes.size()) - offset) {
            ADD_FAILURE() << "read of " << size << " bytes at " << offset << " past the recording's end";
            return false;
        }
        if (done && *done >= failFrom) {
            if (onFailure)
                onFailure();
            return false;
        }
        std::memcpy(buffer, bytes.constData() + offset, size);
        return true;
    };
}

struct Row {
    const char *name;
    std::function<Master()> master;
    RecorderTime end;
    const char *fpsSource; // nullptr: no MP4 expected
    const char *failure = nullptr;
};

struct Expected {
    int64_t beforeKey = 0, written = 0, damaged = 0, positions = 0;
    std::vector<uint64_t> sums;
    std::vector<int64_t> position;
};

// What a player can be given: frames whose start survives, from the first key
// frame, without a damaged stretch up to the next key frame.
Expected expectedFrames(const Master &m)
{
    Expected e;
    const auto &frames = m.stream.frames;
    auto inZeros = [&](qint64 at) { return at >= m.zeroAt && at < m.zeroAt + m.zeroLength; };
    std::vector<size_t> visible;
    for (size_t i = 0; i < frames.size(); ++i)
        if (!inZeros(frames[i].offset))
            visible.push_back(i);
    bool started = false, skipping = false;
    int64_t pending = 0;
    for (size_t v = 0; v < visible.size(); ++v) {
        const TestFrame &f = frames[visible[v]];
        const qint64 end = v + 1 < visible.size() ? frames[visible[v + 1]].offset : m.stream.bytes.size() - 0;
        const bool damaged = m.zeroLength > 0 && f.offset < m.zeroAt + m.zeroLength && end > m.zeroAt;
        if (!started) {
            if (!f.key || damaged) {
                ++e.beforeKey;
                continue;
            }
            started = true;
        } else if (damaged || (skipping && !f.key)) {
            skipping = true;
            ++pending;
            continue;
        }
        if (skipping) {
            e.damaged += pending;
            e.positions += pending;
            pending = 0;
            skipping = false;
        }
        e.position.push_back(e.positions++);
        e.sums.push_back(f.checksum);
        ++e.written;
    }
    e.damaged += pending;
    return e;
}

Master plain(const TestStream &s) { return Master{s, 0, 0, 0}; }

// One bit of a P slice's header flipped: its slice_type 5 (00110) reads 6 (00111), a B slice.
Master flippedToB(size_t frame)
{
    Master m = plain(source());
    const qint64 header = unitOffset(m.stream, frame, 1);
    const uint8_t b = uint8_t(m.stream.bytes[int(header) + 1]);
    if (header < 0 || (b & 0xFC) != 0x98) // first_mb 0, then 00110
        return Master{};
    m.stream.bytes[int(header) + 1] = char(b ^ 0x04);
    m.zeroAt = header + 1;
    m.zeroLength = 1;
    m.unreadable = false; // only the stream says so
    return m;
}

// SPS and PPS at the start only; a stretch from [from] to inside frame 30 unreadable.
Master parameterSetsAtStartThenDamage(bool damageThem)
{
    Master m = plain(withParameterSetsOnlyAtStart(source()));
    const qint64 from = damageThem ? unitOffset(m.stream, 0, 7) + 2 : unitOffset(m.stream, 0, 5) + 100;
    m.zeroAt = from;
    m.zeroLength = m.stream.frames[30].offset + 10 - from;
    m.stream = withZeros(m.stream, m.zeroAt, m.zeroLength);
    return m;
}

// A still picture, so that every P-frame is a few bytes.
TestStream stillStream(int frames, int size)
{
    TestStreamOptions o;
    o.frames = frames;
    o.gop = frames;
    o.width = o.height = size;
    o.still = true;
    o.checksums = false;
    return encodeTestStream(o);
}

const Row kRows[] = {
    {"clean", [] { return plain(source()); }, packRecorderTime(2024, 3, 1, 8, 0, 7), "recorder stamps"},
    {"recorder_bytes_before_every_frame", [] { return plain(withRecorderBytes(source(), 7)); },
     packRecorderTime(2024, 3, 1, 8, 0, 7), "recorder stamps"},
    {"cut_mid_gop",
     [] {
         const TestFrame &f = source().frames[37];
         return plain(cutBefore(source(), f.offset + f.size / 2));
     },
     packRecorderTime(2024, 3, 1, 8, 0, 5), "recorder stamps"},
    {"older_recording_after_the_end",
     [] {
         // From the middle of an older frame 13 to the middle of its frame 21: no key frame among them.
         const TestStream &o = older();
         const qint64 from = o.frames[13].offset + o.frames[13].size / 3;
         const qint64 to = o.frames[21].offset + o.frames[21].size / 2;
         Master m = plain(withTrailing(withRecorderBytes(source(), 9), o.bytes.mid(int(from), int(to - from))));
         m.afterEnd = 21 - 14 + 1;
         return m;
     },
     packRecorderTime(2024, 3, 1, 8, 0, 7), "recorder stamps"},
    {"ends_in_the_middle_of_a_frame",
     [] {
         // The recording stopped while its last frame was being written.
         const TestFrame &f = source().frames[190];
         Master m = plain(source());
         m.stream.bytes.truncate(int(f.offset + f.size / 2));
         m.stream.frames.resize(190);
         m.afterEnd = 1;
         return m;
     },
     packRecorderTime(2024, 3, 1, 8, 0, 7), "recorder stamps"},
    {"unreadable_cluster_in_the_middle",
     [] {
         Master m = plain(withZeros(source(), 2 * kMiB, 2 * kMiB));
         m.zeroAt = 2 * kMiB;
         m.zeroLength = 2 * kMiB;
         return m;
     },
     packRecorderTime(2024, 3, 1, 8, 0, 7), "recorder stamps"},
    {"unreadable_stretch_named_by_the_caller",
     [] {
         // Not zeros this time: only the caller knows these bytes are not the recording's.
         Master m = plain(source());
         std::fill(m.stream.bytes.begin() + int(2 * kMiB + 4096), m.stream.bytes.begin() + int(3 * kMiB), '\x55');
         m.zeroAt = 2 * kMiB + 4096;
         m.zeroLength = kMiB - 4096;
         return m;
     },
     packRecorderTime(2024, 3, 1, 8, 0, 7), "recorder stamps"},
    {"stamps_span_an_hour_stream_timing_used", [] { return plain(source()); }, packRecorderTime(2024, 3, 1, 9, 0, 0),
     "stream timing"},
    {"zero_padding_after_the_last_frame",
     [] {
         // Padding is no damage: the last frame stays.
         Master m = plain(source());
         m.stream.bytes.append(QByteArray(int(kMiB + 700), '\0'));
         return m;
     },
     packRecorderTime(2024, 3, 1, 8, 0, 7), "recorder stamps"},
    {"zeros_between_frames_are_not_damage",
     [] {
         // Only the export's list of unreadable sectors says what was lost: zeros the recorder wrote stay.
         Master m = plain(source());
         const qint64 at = m.stream.frames[100].offset;
         m.stream.bytes.insert(int(at), QByteArray(int(kMiB), '\0'));
         for (size_t i = 100; i < m.stream.frames.size(); ++i)
             m.stream.frames[i].offset += kMiB;
         return m;
     },
     packRecorderTime(2024, 3, 1, 8, 0, 7), "recorder stamps"},
    {"no_video_at_all",
     [] {
         Master m;
         std::mt19937 rng(11);
         for (int i = 0; i < 3 * kMiB; ++i)
             m.stream.bytes.append(static_cast<char>(rng()));
         return m;
     },
     packRecorderTime(2024, 3, 1, 8, 0, 7), nullptr, "no H.264 video found"},
    {"pictures_but_no_key_frame",
     [] {
         // Frames 1 to 24: P-frames whose key frame was overwritten.
         Master m = plain(cutBefore(source(), source().frames[1].offset));
         m.stream.bytes.truncate(int(source().frames[25].offset - source().frames[1].offset));
         return m;
     },
     packRecorderTime(2024, 3, 1, 8, 0, 7), nullptr, "no key frame"},
    {"b_slice_type_from_one_flipped_bit", [] { return flippedToB(60); }, packRecorderTime(2024, 3, 1, 8, 0, 7),
     "recorder stamps"},
    {"parameter_sets_only_before_a_damaged_stretch", [] { return parameterSetsAtStartThenDamage(false); },
     packRecorderTime(2024, 3, 1, 8, 0, 7), "recorder stamps"},
    {"parameter_sets_only_inside_the_damaged_stretch", [] { return parameterSetsAtStartThenDamage(true); },
     packRecorderTime(2024, 3, 1, 8, 0, 7), nullptr, "with its parameter sets whole"},
    {"h265_is_named",
     [] {
         TestStreamOptions o;
         o.frames = 30;
         o.hevc = true;
         return plain(encodeTestStream(o));
     },
     packRecorderTime(2024, 3, 1, 8, 0, 1), nullptr, "holds H.265 (HEVC) video"},
    {"pictures_larger_than_any_level_are_not_decoded",
     [] { return plain(withClaimedSize(stillStream(300, 320), 1024, 1000)); }, packRecorderTime(2024, 3, 1, 8, 0, 11),
     nullptr, "its pictures claim 16384x16000, more than any H.264 level allows"},
    {"b_frames_refused",
     [] {
         TestStreamOptions o;
         o.frames = 30;
         o.bFrames = true;
         return plain(encodeTestStream(o));
     },
     packRecorderTime(2024, 3, 1, 8, 0, 1), nullptr, "B-frames"},
    // The bytes stop coming (the source failed under the reader): in the first
    // pass, and in the second while the MP4 has bytes on disk.
    {"reads_fail_while_the_stream_is_planned",
     [] {
         Master m = plain(source());
         m.readsFailAt = 0.25;
         return m;
     },
     packRecorderTime(2024, 3, 1, 8, 0, 7), nullptr, "could not be read"},
    {"reads_fail_while_the_mp4_is_written",
     [] {
         Master m = plain(source());
         m.readsFailAt = 0.75;
         return m;
     },
     packRecorderTime(2024, 3, 1, 8, 0, 7), nullptr, "could not be read"},
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

class RemuxTable : public ::testing::TestWithParam<Row>
{
};

TEST_P(RemuxTable, PlayableCopyMatchesTheSource)
{
    const Row &row = GetParam();
    ASSERT_EQ(source().frames.size(), 200u) << "the test stream could not be made";
    ASSERT_GT(source().bytes.size(), 4 * kMiB + kMiB / 2);
    const Master m = row.master();
    ASSERT_FALSE(m.stream.bytes.isEmpty()) << "the row's damage could not be made";
    QTemporaryDir dir;
    const QString mp4Path = dir.filePath(QStringLiteral("playable/ch01_rec.mp4"));

    RemuxOptions o;
    o.start = kStart;
    o.end = row.end;
    o.masterName = QStringLiteral("ch01_rec.h264");
    o.masterSha256 = sha256Hex(m.stream.bytes);
    o.sha256 = true;
    if (m.unreadable && m.zeroLength > 0)
        o.unreadable.push_back({uint64_t(m.zeroAt), uint64_t(m.zeroLength)});
    uint64_t lastDone = 0, total = 0;
    o.progress = [&](uint64_t done, uint64_t all) {
        lastDone = done;
        total = all;
        return true;
    };
    const uint64_t size = uint64_t(m.stream.bytes.size());
    qint64 onDiskAtFailure = -1; // what the playable folder held when the reads failed
    const RecordingBytes read = bytesOf(m.stream.bytes, m.readsFailAt > 0 ? &lastDone : nullptr,
                                        uint64_t(m.readsFailAt * double(2 * size)), [&] {
        if (onDiskAtFailure < 0) {
            onDiskAtFailure = 0;
            for (const QFileInfo &f : QDir(dir.filePath(QStringLiteral("playable"))).entryInfoList(QDir::Files | QDir::Hidden))
                onDiskAtFailure += f.size();
        }
    });
    const RemuxResult r = remuxToMp4(read, size, mp4Path, o);

    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    const QStringList made = QDir(dir.filePath(QStringLiteral("playable"))).entryList(QDir::Files | QDir::Hidden);

    if (!row.fpsSource) {
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.error.contains(QLatin1String(row.failure))) << qPrintable(r.error);
        EXPECT_TRUE(r.error.contains(o.masterName)) << qPrintable(r.error);
        EXPECT_EQ(r.noVideo, m.readsFailAt == 0 && !QByteArray(row.failure).contains("B-frames"));
        EXPECT_TRUE(made.isEmpty()) << qPrintable(made.join(QLatin1Char(' ')));
        if (m.readsFailAt > 0.5)
            EXPECT_GT(onDiskAtFailure, 0) << "the reads failed before the MP4 had bytes on disk";
        else
            EXPECT_EQ(r.framesDecoded, 0);
        return;
    }
    ASSERT_TRUE(r.ok) << qPrintable(r.error);
    EXPECT_EQ(made, QStringList{QStringLiteral("ch01_rec.mp4")});
    EXPECT_EQ(lastDone, total);
    EXPECT_EQ(total, 2 * uint64_t(m.stream.bytes.size()));

    const Expected e = expectedFrames(m);
    EXPECT_EQ(r.framesBeforeKey, e.beforeKey);
    EXPECT_EQ(r.framesWritten, e.written);
    EXPECT_EQ(r.framesDamaged, e.damaged);
    EXPECT_EQ(r.framesAfterEnd, m.afterEnd);
    EXPECT_EQ(r.fpsSource, QLatin1String(row.fpsSource));
    const int64_t span = recorderSpanSeconds(o.start, o.end);
    const double fps = r.fpsSource == QLatin1String("recorder stamps") ? double(e.beforeKey + e.positions) / double(span) : 25.0;
    EXPECT_NEAR(r.fps, fps, 1e-9);
    EXPECT_NEAR(r.durationSeconds, double(e.positions) / fps, 1e-9);

    // Its hash is taken as it is written, the media box's size foreseen.
    EXPECT_EQ(r.sha256, QString::fromLatin1(fileSha256(mp4Path)));
    EXPECT_TRUE(r.sha256AsWritten);
    EXPECT_EQ(r.framesUnchecked, 0);
    EXPECT_LE(r.framesDecoded, 25 + 1); // the last group and the copy's first frame

    // Nothing but the kept frames' own bytes (recorder bytes between them
    // included): no padding after the last one.
    qint64 kept = 0;
    for (size_t i = 0; i < m.stream.frames.size(); ++i)
        kept += (i + 1 == m.stream.frames.size() ? m.stream.frames[i].offset + m.stream.frames[i].size : frameSlotEnd(m.stream, i))
                - m.stream.frames[i].offset;
    EXPECT_LT(QFileInfo(mp4Path).size(), kept + 64 * 1024);

    const DecodedVideo v = decodeFile(mp4Path);
    ASSERT_TRUE(v.opened);
    EXPECT_EQ(v.codec, QStringLiteral("h264"));
    EXPECT_EQ(v.width, source().width);
    EXPECT_EQ(v.height, source().height);
    EXPECT_EQ(v.errors, 0);
    EXPECT_EQ(v.checksums, e.sums);
    ASSERT_EQ(v.ptsSeconds.size(), e.position.size());
    for (size_t i = 0; i < e.position.size(); ++i)
        ASSERT_NEAR(v.ptsSeconds[i], double(e.position[i]) / fps, 1.0 / 90000) << "frame " << i;
    EXPECT_TRUE(v.keyPackets.front());
    EXPECT_NEAR(v.durationSeconds, double(e.positions) / fps, 2.0 / 90000);
    EXPECT_EQ(v.metadata.value(QStringLiteral("creation_time")), QStringLiteral("2024-03-01T08:00:00.000000Z"));
    const QString comment = v.metadata.value(QStringLiteral("comment"));
    EXPECT_TRUE(comment.contains(QStringLiteral("Derived")) && comment.contains(o.masterName)
                && comment.contains(o.masterSha256) && comment.contains(QStringLiteral("recorder's wall clock")))
        << qPrintable(comment);
}

INSTANTIATE_TEST_SUITE_P(Masters, RemuxTable, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row> &i) { return std::string(i.param.name); });

TEST(Remux, StoppedHalfwayLeavesNothing)
{
    QTemporaryDir dir;
    RemuxOptions o;
    o.start = kStart;
    o.end = packRecorderTime(2024, 3, 1, 8, 0, 7);
    o.masterName = QStringLiteral("ch01_rec.h264");
    // Stopped in the first read, then in the second (while the MP4 is being written).
    for (int quarter : {1, 3}) {
        o.progress = [quarter](uint64_t done, uint64_t total) { return done < total * uint64_t(quarter) / 4; };
        const RemuxResult r = remuxToMp4(bytesOf(source().bytes), uint64_t(source().bytes.size()),
                                         dir.filePath(QStringLiteral("ch01_rec.mp4")), o);
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.error.contains(QStringLiteral("stopped"))) << qPrintable(r.error);
        EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    }
}

// The damage rows only mean something if the damage lands where they say.
TEST(RemuxTableRows, DamageLandsMidStream)
{
    const TestStream &s = source();
    const auto key = std::count_if(s.frames.begin(), s.frames.end(), [](const TestFrame &f) { return f.key; });
    EXPECT_EQ(key, 8);
    Master zeros = kRows[5].master();
    ASSERT_EQ(std::string(kRows[5].name), "unreadable_cluster_in_the_middle");
    const Expected e = expectedFrames(zeros);
    EXPECT_GT(e.damaged, 0);
    EXPECT_GT(e.written, 100);
    EXPECT_GT(expectedFrames(kRows[2].master()).beforeKey, 5);
}

// The remux of a master into a temporary folder, with a progress callback
// that may look at the process while it runs.
struct RemuxRun {
    QTemporaryDir dir;
    RemuxResult result;
    QString mp4;
    RemuxRun(const QByteArray &bytes, RecorderTime end, const std::function<bool(uint64_t, uint64_t)> &progress = {})
    {
        RemuxOptions o;
        o.start = kStart;
        o.end = end;
        o.masterName = QStringLiteral("ch01_rec.h264");
        o.progress = progress;
        mp4 = dir.filePath(QStringLiteral("ch01_rec.mp4"));
        result = remuxToMp4(bytesOf(bytes), uint64_t(bytes.size()), mp4, o);
    }
};

// A still 320x240 picture whose SPS claims 4096x2176: within the levels, but
// 300 frames of that in one group cost more than the check may decode. The
// check is left out and said so; the copy is decoded once, and its first
// frame (a picture mostly missing) decides that none is made.
TEST(Remux, TheLastGroupsCheckStaysWithinItsBudget)
{
    const TestStream s = withClaimedSize(stillStream(300, 320), 256, 136);
    ASSERT_EQ(s.frames.size(), 300u);
    const RemuxRun run(s.bytes, packRecorderTime(2024, 3, 1, 8, 0, 11));
    EXPECT_EQ(run.result.framesUnchecked, 300);
    EXPECT_EQ(run.result.framesDecoded, 1);
    EXPECT_FALSE(run.result.ok);
    EXPECT_TRUE(run.result.error.contains(QStringLiteral("the MP4 made from it was checked and its first frame")))
        << qPrintable(run.result.error);
    EXPECT_FALSE(QFileInfo::exists(run.mp4));
}

// A stop asked while the last group is checked ends the check at the frame
// in hand (the first report at the copy's end is its first pass's last read).
TEST(Remux, AStopDuringTheCheckEndsItAtTheFrameInHand)
{
    const TestStream s = stillStream(2000, 64);
    int atEnd = 0;
    const RemuxRun run(s.bytes, packRecorderTime(2024, 3, 1, 8, 1, 19),
                       [&](uint64_t done, uint64_t total) { return !(done == total / 2 && ++atEnd == 2); });
    EXPECT_FALSE(run.result.ok);
    EXPECT_TRUE(run.result.error.contains(QStringLiteral("stopped"))) << qPrintable(run.result.error);
    EXPECT_EQ(run.result.framesDecoded, 1);
    EXPECT_TRUE(QDir(run.dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

// Random units with slice headers in the middle of a stream that never
// reorders: damage up to the next key frame, never "B-frames".
TEST(Remux, RandomUnitsAreDamageNotBFrames)
{
    Master m = plain(source());
    const qint64 from = source().frames[80].offset + 10, to = from + 256 * 1024;
    std::mt19937 rng(5);
    for (qint64 i = from; i < to; ++i)
        m.stream.bytes[int(i)] = char((i - from) % 40 < 3 ? "\0\0\1"[(i - from) % 40] : ((i - from) % 40 == 3 ? "\x41\x65\x01"[rng() % 3] : char(rng())));
    const RemuxRun run(m.stream.bytes, packRecorderTime(2024, 3, 1, 8, 0, 7));
    ASSERT_TRUE(run.result.ok) << qPrintable(run.result.error);
    const DecodedVideo v = decodeFile(run.mp4);
    // Every frame before the random bytes, and every frame from the first key frame after them.
    size_t resume = 81;
    while (!(source().frames[resume].key && source().frames[resume].offset >= to))
        ++resume;
    const size_t after = source().frames.size() - resume;
    ASSERT_GE(v.checksums.size(), 80 + after);
    for (size_t i = 0; i < 80; ++i)
        EXPECT_EQ(v.checksums[i], source().frames[i].checksum) << "frame " << i;
    for (size_t i = 0; i < after; ++i)
        EXPECT_EQ(v.checksums[v.checksums.size() - after + i], source().frames[resume + i].checksum) << "frame " << resume + i;
    EXPECT_GT(run.result.framesDamaged, 0);
}

// 30,000 frames of 12 bytes in one group: the plan keeps a few bytes a frame,
// not a buffer each (the heap is looked at on every 128th progress report).
TEST(Remux, TinyFramesTakeLittleMemory)
{
    if (mallinfo2().uordblks == 0)
        GTEST_SKIP() << "this allocator does not report its use (a sanitizer build)";
    const TestStream s = stillStream(30000, 16);
    ASSERT_EQ(s.frames.size(), 30000u);
    size_t base = 0, peak = 0, calls = 0;
    const RemuxRun run(s.bytes, packRecorderTime(2024, 3, 1, 8, 40, 0), [&](uint64_t, uint64_t) {
        if (calls++ % 128)
            return true; // the heap's walk is slow
        const struct mallinfo2 m = mallinfo2();
        const size_t now = m.uordblks + m.hblkhd;
        base = base ? base : now;
        peak = std::max(peak, now);
        return true;
    });
    ASSERT_TRUE(run.result.ok) << qPrintable(run.result.error);
    EXPECT_EQ(run.result.framesWritten, 30000);
    // The decoder of the check takes about 1.4 MB here; a buffer per frame would take 3.4 MB more.
    EXPECT_LT(peak - base, size_t(2 * s.bytes.size() + (2 << 20))) << "for " << s.bytes.size() << " bytes of video";
}

} // namespace

