#include "remux.h"

#include "h264scan.h"
#include "log.h"
#include "outputfile.h"
#include "sha256.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
}

namespace korvath {

std::vector<LibraryVersion> remuxLibraries()
{
    const auto text = [](unsigned v) { return QStringLiteral("%1.%2.%3").arg(v >> 16).arg((v >> 8) & 0xFF).arg(v & 0xFF); };
    return {{QStringLiteral("libavformat"), text(LIBAVFORMAT_VERSION_INT), text(avformat_version())},
            {QStringLiteral("libavcodec"), text(LIBAVCODEC_VERSION_INT), text(avcodec_version())}};
}

namespace {

// FFmpeg hands a line over in pieces; each thread gathers its own.
void toDebugLog(void *avcl, int level, const char *format, va_list args)
{
    if (level > AV_LOG_INFO || !debugLogEnabled())
        return;
    thread_local QByteArray line;
    thread_local int printPrefix = 1;
    char piece[1024];
    av_log_format_line2(avcl, level, format, args, piece, sizeof piece, &printPrefix);
    line.append(piece);
    if (line.endsWith('\n')) {
        line.chop(1);
        KLOG << "FFmpeg:" << line.constData();
        line.clear();
    }
}

} // namespace

void quietVideoLibraries()
{
    av_log_set_callback(toDebugLog);
}

int64_t recorderSpanSeconds(RecorderTime start, RecorderTime end)
{
    auto toDateTime = [](RecorderTime t) {
        const RecorderTimeFields f = unpackRecorderTime(t);
        return QDateTime(QDate(int(f.year), int(f.month), int(f.day)), QTime(int(f.hour), int(f.minute), int(f.second)),
                         Qt::UTC);
    };
    const QDateTime a = toDateTime(start), b = toDateTime(end);
    if (!a.isValid() || !b.isValid() || b < a)
        return 0;
    return a.secsTo(b) + 1;
}

RecorderTime addSeconds(RecorderTime t, int64_t seconds)
{
    const RecorderTimeFields f = unpackRecorderTime(t);
    const QDateTime d(QDate(int(f.year), int(f.month), int(f.day)), QTime(int(f.hour), int(f.minute), int(f.second)),
                      Qt::UTC);
    return d.isValid() ? toRecorderTime(d.addSecs(seconds)) : t;
}

namespace {


// The recording's bytes from the caller, read through libavformat's I/O callbacks.
struct Source {
    const RecordingBytes *read = nullptr;
    uint64_t size = 0, pos = 0;
    const std::function<bool(uint64_t, uint64_t)> *progress = nullptr;
    uint64_t done = 0, total = 0;
    bool cancelled = false;
    bool failed = false; // a read the caller could not answer: the remux ends
    uint64_t failedAt = 0, failedLength = 0;

    bool fetch(uint64_t at, uint8_t *to, uint32_t n)
    {
        if (n == 0)
            return true;
        if (at <= size && n <= size - at && (*read)(at, to, n))
            return true;
        failed = true;
        failedAt = at;
        failedLength = n;
        return false;
    }
    // Counts `n` bytes read; false when the caller asks to stop.
    bool advance(uint64_t n)
    {
        done += n;
        if (progress && *progress && !(*progress)(done, total))
            cancelled = true;
        return !cancelled;
    }
};

int readSource(void *opaque, uint8_t *buf, int size)
{
    auto *s = static_cast<Source *>(opaque);
    if (s->failed)
        return AVERROR(EIO);
    if (s->pos >= s->size || size <= 0)
        return AVERROR_EOF;
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(uint64_t(size), s->size - s->pos));
    if (!s->fetch(s->pos, buf, n))
        return AVERROR(EIO);
    s->pos += n;
    if (!s->advance(n))
        return AVERROR_EXIT;
    return static_cast<int>(n);
}

int64_t seekSource(void *opaque, int64_t offset, int whence)
{
    auto *s = static_cast<Source *>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE)
        return int64_t(s->size);
    int64_t to = offset;
    if (whence == SEEK_CUR)
        to += int64_t(s->pos);
    else if (whence == SEEK_END)
        to += int64_t(s->size);
    else if (whence != SEEK_SET)
        return AVERROR(EINVAL);
    if (to < 0)
        return AVERROR(EINVAL);
    s->pos = uint64_t(to);
    return to;
}

QString readFailure(const QString &name, const Source &s)
{
    return QStringLiteral("%1: its bytes %2 to %3 could not be read; no playable copy was made")
        .arg(name)
        .arg(s.failedAt)
        .arg(s.failedAt + s.failedLength - 1);
}

struct InputCloser {
    void operator()(AVFormatContext *c) const
    {
        if (!c)
            return;
        AVIOContext *pb = c->pb;
        avformat_close_input(&c);
        if (pb) {
            av_freep(&pb->buffer);
            avio_context_free(&pb);
        }
    }
};
using Input = std::unique_ptr<AVFormatContext, InputCloser>;

struct PacketFree {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};
using Packet = std::unique_ptr<AVPacket, PacketFree>;

QString averror(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

// Opens the raw H.264 demuxer over the source.
Input openInput(Source &src, QString *error)
{
    constexpr int kBuffer = 1 << 20;
    auto *buffer = static_cast<uint8_t *>(av_malloc(kBuffer));
    AVIOContext *pb = buffer ? avio_alloc_context(buffer, kBuffer, 0, &src, readSource, nullptr, seekSource) : nullptr;
    AVFormatContext *ic = pb ? avformat_alloc_context() : nullptr;
    if (!ic) {
        if (pb) {
            av_freep(&pb->buffer);
            avio_context_free(&pb);
        } else {
            av_free(buffer);
        }
        *error = QStringLiteral("out of memory");
        return nullptr;
    }
    ic->pb = pb;
    ic->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVDictionary *opts = nullptr;
    av_dict_set(&opts, "raw_packet_size", "65536", 0);
    const int rc = avformat_open_input(&ic, nullptr, av_find_input_format("h264"), &opts);
    av_dict_free(&opts);
    if (rc < 0) {
        // avformat_open_input frees the context but not custom I/O.
        av_freep(&pb->buffer);
        avio_context_free(&pb);
        *error = averror(rc);
        return nullptr;
    }
    return Input(ic);
}

bool overlaps(const std::vector<ByteRange> &ranges, uint64_t at, uint64_t length)
{
    // Ranges sorted by offset and not overlapping one another.
    auto it = std::upper_bound(ranges.begin(), ranges.end(), at,
                               [](uint64_t v, const ByteRange &r) { return v < r.offset; });
    if (it != ranges.begin() && std::prev(it)->offset + std::prev(it)->length > at)
        return true;
    return it != ranges.end() && it->offset < at + length;
}

std::vector<ByteRange> merged(std::vector<ByteRange> a, const std::vector<ByteRange> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    std::sort(a.begin(), a.end(), [](const ByteRange &x, const ByteRange &y) { return x.offset < y.offset; });
    std::vector<ByteRange> out;
    for (const ByteRange &r : a) {
        if (r.length == 0)
            continue;
        if (!out.empty() && r.offset <= out.back().offset + out.back().length)
            out.back().length = std::max(out.back().length, r.offset + r.length - out.back().offset);
        else
            out.push_back(r);
    }
    return out;
}

// The first pass's verdict on every packet, a byte or two each however small
// the packets: a varint of size << 3 | kept << 2 | jump << 1 | repeated, then
// the frame position when it does not follow the last kept packet's, then,
// when repeated, how many more packets have the same size and verdict.
class PacketIndex
{
public:
    void add(uint64_t size, int64_t slot)
    {
        const bool kept = slot >= 0;
        const bool jump = kept && slot != m_lastSlot + 1;
        const uint64_t v = (size << 3) | (kept ? 4u : 0u) | (jump ? 2u : 0u);
        if (kept)
            m_lastSlot = slot;
        ++packets;
        bytes += size;
        if (!jump && m_pending && v == m_value) {
            ++m_repeats;
            return;
        }
        flush();
        m_pending = true;
        m_value = v;
        m_slot = slot;
    }
    // Writes the last entry; call once, before reading.
    void flush()
    {
        if (!m_pending)
            return;
        put(m_value | (m_repeats ? 1u : 0u));
        if (m_value & 2)
            put(uint64_t(m_slot));
        if (m_repeats)
            put(m_repeats);
        m_pending = false;
        m_repeats = 0;
    }
    struct Cursor {
        size_t at = 0;
        int64_t lastSlot = -1;
        uint64_t value = 0, repeats = 0;
    };
    // The next packet's size and position (-1: dropped); false at the end.
    bool next(Cursor &c, uint64_t &size, int64_t &slot) const
    {
        if (c.repeats > 0) {
            --c.repeats;
        } else {
            if (c.at >= m_data.size())
                return false;
            c.value = get(c.at);
            if (c.value & 2)
                c.lastSlot = int64_t(get(c.at)) - 1;
            if (c.value & 1)
                c.repeats = get(c.at);
        }
        size = c.value >> 3;
        slot = -1;
        if (c.value & 4)
            slot = ++c.lastSlot;
        return true;
    }
    size_t memoryBytes() const { return m_data.capacity(); }
    uint64_t packets = 0, bytes = 0;

private:
    void put(uint64_t v)
    {
        for (; v >= 0x80; v >>= 7)
            m_data.push_back(uint8_t(v | 0x80));
        m_data.push_back(uint8_t(v));
    }
    uint64_t get(size_t &at) const
    {
        uint64_t v = 0;
        for (int shift = 0; at < m_data.size() && shift < 64; shift += 7) {
            const uint8_t b = m_data[at++];
            v |= uint64_t(b & 0x7F) << shift;
            if (!(b & 0x80))
                break;
        }
        return v;
    }
    std::vector<uint8_t> m_data;
    int64_t m_lastSlot = -1;
    bool m_pending = false;
    uint64_t m_value = 0, m_repeats = 0;
    int64_t m_slot = -1;
};

// Where the frames from the last key frame on lie in the copy, to be read
// again for the decode check. Its work is bounded by the recording's bytes,
// not by the sizes the stream claims: each frame costs its macroblocks plus a
// fixed share, and a group beyond the budget is kept unchecked and said so.
constexpr int64_t kCheckBudget = 4000000; // about 500 frames of 1920x1080
constexpr int64_t kCheckFrameCost = 64;
constexpr uint64_t kCheckSpan = 1u << 30;

struct Tail {
    uint64_t firstOffset = 0, firstPacket = 0;
    std::vector<uint32_t> starts, ends; // per frame, its bytes after firstOffset
    std::vector<uint32_t> packets;      // per frame, its packet number after firstPacket
    std::vector<uint32_t> muxed;        // per frame, its bytes in the MP4
    int64_t firstSlot = 0;
    int64_t cost = 0;
    int64_t frames = 0; // the group's frames, kept or not
    bool tooLong = false;

    void restart(int64_t slot, uint64_t packet, uint64_t offset)
    {
        firstOffset = offset;
        firstPacket = packet;
        starts.clear();
        ends.clear();
        packets.clear();
        muxed.clear();
        firstSlot = slot;
        cost = 0;
        frames = 0;
        tooLong = false;
    }
    void add(uint64_t at, uint64_t end, uint64_t packet, int64_t macroblocks, uint64_t muxedSize)
    {
        ++frames;
        cost += macroblocks + kCheckFrameCost;
        if (tooLong || cost > kCheckBudget || end - firstOffset > kCheckSpan) {
            tooLong = true;
            starts = ends = packets = muxed = {};
            return;
        }
        starts.push_back(uint32_t(at - firstOffset));
        ends.push_back(uint32_t(end - firstOffset));
        packets.push_back(uint32_t(packet - firstPacket));
        muxed.push_back(uint32_t(muxedSize));
    }
};

// How many of the tail's frames decode without an error, from the key frame
// that starts them; the stop request is asked after every frame.
size_t wholeFrames(const Tail &tail, const QByteArray &parameterSets, Source &src, RemuxResult &r)
{
    if (tail.ends.empty())
        return 0;
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext *ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    const size_t count = tail.ends.size();
    size_t whole = count;
    if (ctx && pkt && frame) {
        ctx->thread_count = 1; // errors belong to the packet just sent
        ctx->err_recognition |= AV_EF_EXPLODE;
        if (avcodec_open2(ctx, codec, nullptr) >= 0) {
            QByteArray bytes;
            for (size_t i = 0; i < count && whole == count; ++i) {
                const int size = int(tail.ends[i] - tail.starts[i]);
                bytes = i == 0 ? parameterSets : QByteArray();
                const int head = bytes.size();
                bytes.resize(head + size + AV_INPUT_BUFFER_PADDING_SIZE);
                std::memset(bytes.data() + head + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
                if (!src.fetch(tail.firstOffset + tail.starts[i], reinterpret_cast<uint8_t *>(bytes.data() + head),
                               uint32_t(size))) {
                    whole = i;
                    break;
                }
                pkt->data = reinterpret_cast<uint8_t *>(bytes.data());
                pkt->size = head + size;
                ++r.framesDecoded;
                if (avcodec_send_packet(ctx, pkt) < 0) {
                    whole = i;
                    break;
                }
                int rc;
                while ((rc = avcodec_receive_frame(ctx, frame)) >= 0)
                    if (frame->decode_error_flags || (frame->flags & AV_FRAME_FLAG_CORRUPT))
                        whole = i;
                if (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF)
                    whole = i;
                if (!src.advance(0))
                    break;
            }
        }
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return whole;
}

// What the first pass decided about the stream.
struct Plan {
    PacketIndex index;
    uint64_t cut = UINT64_MAX; // packets from this one on are left out (the last group's broken end)
    int64_t frames = 0;        // positions used, dropped ones in between included
    uint64_t muxedBytes = 0;   // what the kept packets take in the MP4
    QByteArray parameterSets;  // SPS and PPS of the first key frame, Annex B
    h264::Sps sps;
    h264::Sps timingSps;
};

QString recordingName(const RemuxOptions &o)
{
    return o.masterName.isEmpty() ? QStringLiteral("the recording") : o.masterName;
}

// Slices in this many pictures, each in its place in the frame_num order, make
// a stream one with B-frames; fewer are a damaged slice header.
constexpr int kBFrameVotes = 3;
// A parameter set unit longer than this is not one.
constexpr size_t kParameterSetBytes = 4096;

QByteArray annexB(const QByteArray &unit)
{
    return unit.isEmpty() ? unit : QByteArray("\0\0\0\1", 4) + unit;
}

// The bytes the MP4 muxer stores for a packet of Annex B units: each unit as
// a four-byte length and its bytes, up to the next start code less one zero.
uint64_t muxedBytes(const uint8_t *p, size_t size)
{
    const uint8_t *end = p + size;
    auto next = [end](const uint8_t *from) {
        const uint8_t *sc = h264::findStartCode(from, end);
        return from < sc && sc < end && sc[-1] == 0 ? sc - 1 : sc;
    };
    uint64_t total = 0;
    for (const uint8_t *start = next(p);;) {
        while (start < end && !*(start++)) {
        }
        if (start == end)
            break;
        const uint8_t *stop = next(start);
        total += 4 + uint64_t(stop - start);
        start = stop;
    }
    return total;
}

// Without the zeros at its end: no unit ends in a zero byte, so they are
// stuffing or the last cluster's padding, not the frame's.
int withoutTrailingZeros(const uint8_t *p, int size)
{
    while (size > 0 && p[size - 1] == 0)
        --size;
    return size;
}

bool planStream(Source &src, const RemuxOptions &o, const QString &name, Plan &plan, RemuxResult &r)
{
    QString error;
    Input in = openInput(src, &error);
    if (!in) {
        r.error = src.failed ? readFailure(name, src) : QStringLiteral("%1: cannot read as H.264: %2").arg(name, error);
        return false;
    }
    Packet pkt(av_packet_alloc());
    h264::ParameterSets sets;
    // The bytes of the last SPS and PPS of each id seen whole outside any damage.
    std::map<int, QByteArray> goodSps, goodPps;
    enum { BeforeKey, Running, Skipping } state = BeforeKey;
    bool skipForBreak = false;
    bool skipForB = false; // skipping since a B slice that fell in place
    int64_t pendingDropped = 0;
    uint32_t prevRefFrameNum = 0;
    int bVotes = 0;
    bool voteRefKnown = false;
    uint32_t voteRef = 0;
    int64_t h265Units = 0;
    uint64_t position = 0;
    const std::vector<ByteRange> bad = merged({}, o.unreadable);
    Tail tail;
    int rc;
    while ((rc = av_read_frame(in.get(), pkt.get())) >= 0) {
        struct Unref {
            AVPacket *p;
            ~Unref() { av_packet_unref(p); }
        } unref{pkt.get()};
        const uint64_t at = position;
        position += static_cast<uint64_t>(pkt->size);
        const uint64_t packetNumber = plan.index.packets;
        int64_t slot = -1;
        struct Note {
            PacketIndex &index;
            uint64_t size;
            int64_t &slot;
            ~Note() { index.add(size, slot); }
        } note{plan.index, uint64_t(pkt->size), slot};

        const bool damaged = overlaps(bad, at, position - at);

        h264::SliceHeader slice;
        bool idr = false;
        bool picture = false; // a slice that starts a picture, parsed or not
        h264::forEachNal(pkt->data, static_cast<size_t>(pkt->size), [&](const uint8_t *nal, size_t size, size_t offset) {
            const int type = nal[0] & 0x1F;
            if (h264::isH265ParameterSet(nal, size))
                ++h265Units;
            if (type == h264::kSps || type == h264::kPps) {
                const bool parsed = sets.take(nal, size);
                // Without the zeros the unit may carry at its end.
                size_t n = size;
                while (n > 1 && nal[n - 1] == 0)
                    --n;
                if (parsed && n <= kParameterSetBytes && !overlaps(bad, at + offset, n + 3)) {
                    const QByteArray unit(reinterpret_cast<const char *>(nal), static_cast<int>(n));
                    h264::ParameterSets one;
                    one.take(nal, size);
                    if (type == h264::kSps)
                        goodSps[one.sps.begin()->first] = unit;
                    else
                        goodPps[one.ppsToSps.begin()->first] = unit;
                }
            } else if (type == h264::kIdrSlice || type == h264::kNonIdrSlice) {
                idr = idr || type == h264::kIdrSlice;
                picture = picture || (size > 1 && (nal[1] & 0x80));
                if (!slice.valid)
                    slice = sets.slice(nal, size);
            }
            return true;
        });
        const h264::Sps *sps = slice.valid ? sets.spsForPps(slice.ppsId) : nullptr;
        if (slice.valid && sps && !h264::withinLevelLimits(*sps)) {
            // Never decoded: the decoder would take its memory from the claim.
            ++r.framesTooLarge;
            r.tooLargeWidth = sps->width;
            r.tooLargeHeight = sps->height;
            continue;
        }
        const uint32_t maxFrameNum = 1u << (sps ? sps->log2MaxFrameNum : 16);
        bool bFrame = false;
        if (slice.valid && state != BeforeKey) {
            // A B slice counts only where frame_num says a picture belongs, in
            // a stream whose order of output can differ from its order of
            // decoding; a single one, or one in a stream that never reorders,
            // is a damaged header.
            bFrame = slice.sliceType == 1;
            if (bFrame && (state == Running || skipForB) && sps && sps->pocType != 2 && voteRefKnown
                && slice.frameNum == (voteRef + 1) % maxFrameNum && ++bVotes >= kBFrameVotes) {
                r.error = QStringLiteral("%1 has B-frames; their presentation order cannot be kept without "
                                         "re-encoding, so no playable copy was made")
                              .arg(name);
                return false;
            }
        }
        if (slice.valid && (slice.refIdc != 0 || idr)) {
            voteRef = slice.frameNum;
            voteRefKnown = voteRefKnown || idr;
        }
        if (!slice.valid || bFrame) {
            // Stray bytes, a picture whose parameter sets were not seen, or a
            // damaged slice header: it cannot be decoded.
            if (!picture && !bFrame)
                continue;
            if (state == BeforeKey) {
                ++r.framesBeforeKey;
            } else if (state == Skipping) {
                ++pendingDropped;
            } else {
                state = Skipping;
                skipForBreak = !bFrame;
                skipForB = bFrame;
                pendingDropped = 1;
            }
            continue;
        }
        const bool key = idr; // recovery points are not trusted as a start

        if (state == BeforeKey || state == Skipping) {
            // A start needs its parameter sets whole, in its own packet or seen before.
            QByteArray startSets;
            if (key && !damaged && sps) {
                const auto s = goodSps.find(sps->id);
                const auto p = goodPps.find(slice.ppsId);
                if (s != goodSps.end() && p != goodPps.end())
                    startSets = annexB(s->second) + annexB(p->second);
            }
            if (!startSets.isEmpty()) {
                if (state == BeforeKey) {
                    plan.parameterSets = startSets;
                    plan.sps = *sps;
                } else {
                    r.framesDamaged += pendingDropped;
                    plan.frames += pendingDropped;
                }
                pendingDropped = 0;
                state = Running;
                skipForB = false;
            } else {
                if (state == BeforeKey)
                    ++r.framesBeforeKey;
                else
                    ++pendingDropped;
                continue;
            }
        } else if (damaged || (!key && !(sps && sps->gapsAllowed) && slice.frameNum != (prevRefFrameNum + 1) % maxFrameNum)) {
            // A damaged frame, or one that does not follow: nothing decodes until the next key frame.
            state = Skipping;
            skipForBreak = !damaged;
            skipForB = false;
            pendingDropped = 1;
            continue;
        }
        if (slice.refIdc != 0)
            prevRefFrameNum = slice.frameNum;
        if (idr)
            tail.restart(plan.frames, packetNumber, at);
        const uint64_t muxed = muxedBytes(pkt->data, size_t(withoutTrailingZeros(pkt->data, pkt->size)));
        plan.muxedBytes += muxed;
        tail.add(at, position, packetNumber, sps ? sps->macroblocks() : 0, muxed);
        slot = plan.frames++;
        ++r.framesWritten;
        if (sps && sps->timing)
            plan.timingSps = *sps;
    }
    plan.index.flush();
    if (src.failed || src.cancelled || rc != AVERROR_EOF) {
        r.error = src.failed      ? readFailure(name, src)
                  : src.cancelled ? QStringLiteral("%1: stopped").arg(name)
                                  : QStringLiteral("%1: read failed: %2").arg(name, averror(rc));
        return false;
    }
    if (state == Skipping) {
        if (skipForBreak)
            r.framesAfterEnd = pendingDropped;
        else
            r.framesDamaged += pendingDropped;
    }
    // The last cluster may end in the middle of a frame, or hold an older
    // recording's frames: the last group decodes only as far as it is whole.
    if (tail.tooLong) {
        r.framesUnchecked = tail.frames;
    } else {
        const size_t whole = wholeFrames(tail, plan.parameterSets, src, r);
        if (src.failed || src.cancelled) {
            r.error = src.failed ? readFailure(name, src) : QStringLiteral("%1: stopped").arg(name);
            return false;
        }
        if (whole < tail.ends.size()) {
            const int64_t cut = int64_t(tail.ends.size() - whole);
            plan.cut = tail.firstPacket + tail.packets[whole];
            plan.frames = tail.firstSlot + int64_t(whole);
            for (size_t i = whole; i < tail.muxed.size(); ++i)
                plan.muxedBytes -= tail.muxed[i];
            r.framesWritten -= cut;
            r.framesAfterEnd += cut;
        }
    }
    if (r.framesWritten == 0) {
        r.noVideo = true;
        if (h265Units > 0 && r.framesBeforeKey == 0)
            r.error = QStringLiteral("%1 holds H.265 (HEVC) video, which is not copied into an MP4 here; "
                                     "no playable copy was made").arg(name);
        else if (r.framesTooLarge > 0)
            r.error = QStringLiteral("%1: its pictures claim %2x%3, more than any H.264 level allows; they were not "
                                     "decoded and no playable copy was made")
                          .arg(name).arg(r.tooLargeWidth).arg(r.tooLargeHeight);
        else if (r.framesAfterEnd > 0 || r.framesDamaged > 0)
            r.error = QStringLiteral("%1: no frame decodes whole from a key frame on; no playable copy was made").arg(name);
        else if (r.framesBeforeKey > 0)
            r.error = QStringLiteral("%1: H.264 pictures but no key frame (IDR) with its parameter sets whole to start "
                                     "from; no playable copy was made").arg(name);
        else
            r.error = QStringLiteral("%1: no H.264 video found; no playable copy was made").arg(name);
        return false;
    }
    if (!plan.sps.valid) {
        r.error = QStringLiteral("%1: the first key frame's parameter sets do not parse").arg(name);
        return false;
    }
    return true;
}

QString creationTimeText(RecorderTime t)
{
    return recorderStampText(t, QLatin1Char('T')) + QStringLiteral(".000000Z");
}

QString stampText(RecorderTime t)
{
    return recorderStampText(t);
}

// The second pass: the first pass's packets lie back to back in the recording,
// so their bytes are read in large blocks, without the parser running again.
struct BlockReader {
    Source &src;
    std::vector<uint8_t> block = std::vector<uint8_t>(size_t(4) << 20);
    size_t begin = 0, end = 0;

    // The next n bytes into `to`, or past them when `to` is null.
    bool take(uint8_t *to, size_t n)
    {
        while (n > 0) {
            if (begin == end) {
                const auto got = static_cast<uint32_t>(std::min<uint64_t>(block.size(), src.size - src.pos));
                if (got == 0 || !src.fetch(src.pos, block.data(), got))
                    return false;
                src.pos += got;
                begin = 0;
                end = got;
                if (!src.advance(got))
                    return false;
            }
            const size_t k = std::min(n, end - begin);
            if (to) {
                std::memcpy(to, block.data() + begin, k);
                to += k;
            }
            begin += k;
            n -= k;
        }
        return true;
    }
};

struct OutputCloser {
    void operator()(AVFormatContext *c) const
    {
        if (!c)
            return;
        if (c->pb) {
            av_freep(&c->pb->buffer);
            avio_context_free(&c->pb);
        }
        avformat_free_context(c);
    }
};

// The MP4 written through this sink is hashed as it is written. The muxer
// writes its media box with a placeholder size and fills it in at the end; the
// plan knows that size beforehand, so the hash takes the final bytes at once,
// and the late write is checked against them (a mismatch: hashed again later).
struct Sink {
    explicit Sink(OutputFile &f) : file(f) {}
    OutputFile &file;
    Sha256 hash;
    uint64_t pos = 0, hashed = 0, end = 0;
    uint64_t mediaBytes = 0; // the predicted payload of the media box
    uint64_t patchAt = UINT64_MAX;
    QByteArray patch;
    bool hashing = false;
    bool hashValid = true, patched = false;
    QString error;

    // The header's "free" and "mdat" boxes, with the sizes the muxer will write into them.
    void predict(QByteArray &bytes, uint64_t from)
    {
        static const QByteArray boxes("\0\0\0\x08" "free\0\0\0\0mdat", 16);
        const int at = bytes.left(512).indexOf(boxes);
        if (at < 0)
            return;
        QByteArray fill(16, '\0');
        auto be = [&](int from, uint64_t v, int n) {
            for (int i = 0; i < n; ++i)
                fill[from + i] = char(v >> (8 * (n - 1 - i)));
        };
        if (mediaBytes + 8 <= UINT32_MAX) {
            fill = boxes;
            be(8, mediaBytes + 8, 4);
            patchAt = from + uint64_t(at) + 8;
            patch = fill.mid(8, 4);
        } else {
            be(0, 1, 4);
            fill.replace(4, 4, "mdat");
            be(8, mediaBytes + 16, 8);
            patchAt = from + uint64_t(at);
            patch = fill;
        }
        bytes.replace(at, 16, fill);
    }
    int write(const uint8_t *buf, int size)
    {
        if (!file.seek(qint64(pos)) || !file.write(buf, size)) {
            error = file.reason(); // "No space left on device" says more than EIO
            return AVERROR(EIO);
        }
        if (!hashing) {
            hashValid = false;
        } else if (pos == hashed) {
            QByteArray bytes(reinterpret_cast<const char *>(buf), size);
            if (patchAt == UINT64_MAX && pos < 512)
                predict(bytes, pos);
            hash.update(bytes.constData(), size_t(bytes.size()));
            hashed += uint64_t(size);
        } else if (pos == patchAt && !patched && QByteArray(reinterpret_cast<const char *>(buf), size) == patch) {
            patched = true;
        } else {
            hashValid = false;
        }
        pos += uint64_t(size);
        end = std::max(end, pos);
        return size;
    }
};

int writeSink(void *opaque, uint8_t *buf, int size)
{
    return static_cast<Sink *>(opaque)->write(buf, size);
}

int64_t seekSink(void *opaque, int64_t offset, int whence)
{
    auto *s = static_cast<Sink *>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE)
        return int64_t(s->end);
    const int64_t to = offset + (whence == SEEK_CUR ? int64_t(s->pos) : whence == SEEK_END ? int64_t(s->end) : 0);
    if ((whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) || to < 0)
        return AVERROR(EINVAL);
    s->pos = uint64_t(to);
    return to;
}


using Output = std::unique_ptr<AVFormatContext, OutputCloser>;

bool writeMp4(Source &src, const RemuxOptions &o, const QString &name, const Plan &plan, AVRational fps,
              const QString &tmpPath, Sink &sink, RemuxResult &r)
{
    const bool direct = plan.index.bytes == src.size;
    QString error;
    Input in = direct ? nullptr : openInput(src, &error);
    if (!direct && !in) {
        r.error = src.failed ? readFailure(name, src) : QStringLiteral("%1: cannot read as H.264: %2").arg(name, error);
        return false;
    }
    AVFormatContext *ocRaw = nullptr;
    sink.mediaBytes = plan.muxedBytes;
    if (avformat_alloc_output_context2(&ocRaw, nullptr, "mp4", nullptr) < 0 || !ocRaw) {
        r.error = QStringLiteral("the MP4 writer is missing");
        return false;
    }
    Output oc(ocRaw);
    AVStream *st = avformat_new_stream(oc.get(), nullptr);
    if (!st) {
        r.error = QStringLiteral("out of memory");
        return false;
    }
    AVCodecParameters *par = st->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = AV_CODEC_ID_H264;
    par->codec_tag = 0;
    par->width = plan.sps.width;
    par->height = plan.sps.height;
    par->extradata = static_cast<uint8_t *>(av_mallocz(static_cast<size_t>(plan.parameterSets.size()) + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata) {
        r.error = QStringLiteral("out of memory");
        return false;
    }
    std::memcpy(par->extradata, plan.parameterSets.constData(), static_cast<size_t>(plan.parameterSets.size()));
    par->extradata_size = plan.parameterSets.size();
    st->time_base = AVRational{1, 90000};
    st->avg_frame_rate = fps;

    const QString comment =
        QStringLiteral("Derived playable copy of %1 (SHA-256 %2): its H.264 units copied unchanged, not re-encoded; "
                       "the native copy is the evidence. creation_time is the recorder's wall clock at the start "
                       "(%3, recorder time, zone unknown), not UTC. Timed at %4 frames per second (%5).")
            .arg(name, o.masterSha256.isEmpty() ? QStringLiteral("not given") : o.masterSha256, stampText(o.start))
            .arg(av_q2d(fps), 0, 'f', 3)
            .arg(r.fpsSource);
    av_dict_set(&oc->metadata, "creation_time", creationTimeText(o.start).toUtf8().constData(), 0);
    av_dict_set(&oc->metadata, "comment", comment.toUtf8().constData(), 0);
    av_dict_set(&oc->metadata, "title", QStringLiteral("%1 (derived MP4)").arg(name).toUtf8().constData(), 0);

    constexpr int kSinkBuffer = 1 << 20;
    auto *buffer = static_cast<uint8_t *>(av_malloc(kSinkBuffer));
    oc->pb = buffer ? avio_alloc_context(buffer, kSinkBuffer, 1, &sink, nullptr, writeSink, seekSink) : nullptr;
    if (!oc->pb) {
        av_free(buffer);
        r.error = QStringLiteral("out of memory");
        return false;
    }
    oc->flags |= AVFMT_FLAG_CUSTOM_IO;
    oc->flush_packets = 0; // else every packet is a write of its own
    int rc;
    if ((rc = avformat_write_header(oc.get(), nullptr)) < 0) {
        r.error = QStringLiteral("MP4 header: %1").arg(sink.error.isEmpty() ? averror(rc) : sink.error);
        return false;
    }
    const AVRational frameTime = av_inv_q(fps);
    auto tick = [&](int64_t position) { return av_rescale_q(position, frameTime, st->time_base); };

    // A kept packet is written once the next kept one gives its duration.
    Packet pkt(av_packet_alloc()), held(av_packet_alloc());
    int64_t heldSlot = -1;
    auto writeHeld = [&](int64_t following) {
        if (heldSlot < 0)
            return true;
        held->stream_index = st->index;
        held->pts = held->dts = tick(heldSlot);
        held->duration = tick(following) - held->pts;
        held->pos = -1;
        // The first kept frame and every IDR after it are sync samples.
        bool idr = false;
        h264::forEachNal(held->data, static_cast<size_t>(held->size), [&](const uint8_t *nal, size_t, size_t) {
            idr = (nal[0] & 0x1F) == h264::kIdrSlice;
            return !idr;
        });
        held->flags = idr ? AV_PKT_FLAG_KEY : 0;
        rc = av_write_frame(oc.get(), held.get());
        av_packet_unref(held.get());
        heldSlot = -1;
        if (rc < 0) {
            r.error = QStringLiteral("MP4 write: %1").arg(sink.error.isEmpty() ? averror(rc) : sink.error);
            return false;
        }
        return true;
    };
    auto keep = [&](int64_t slot) {
        if (!writeHeld(slot))
            return false;
        av_shrink_packet(pkt.get(), withoutTrailingZeros(pkt->data, pkt->size));
        av_packet_move_ref(held.get(), pkt.get());
        heldSlot = slot;
        return true;
    };
    PacketIndex::Cursor cursor;
    uint64_t number = 0, size = 0;
    int64_t slot = -1;
    auto nextPlanned = [&]() {
        if (!plan.index.next(cursor, size, slot))
            return false;
        if (number++ >= plan.cut)
            slot = -1;
        return true;
    };
    bool changed = false;
    if (direct) {
        BlockReader reader{src};
        while (nextPlanned()) {
            if (slot < 0) {
                if (!reader.take(nullptr, size_t(size)))
                    break;
                continue;
            }
            av_packet_unref(pkt.get());
            if (av_new_packet(pkt.get(), static_cast<int>(size)) < 0) {
                r.error = QStringLiteral("out of memory");
                return false;
            }
            if (!reader.take(pkt->data, size_t(size)))
                break;
            if (!keep(slot))
                return false;
        }
        changed = number != plan.index.packets;
    } else {
        while ((rc = av_read_frame(in.get(), pkt.get())) >= 0) {
            if (src.cancelled || !nextPlanned() || uint64_t(pkt->size) != size) {
                changed = true;
                break;
            }
            if (slot >= 0 && !keep(slot)) {
                av_packet_unref(pkt.get());
                return false;
            }
            av_packet_unref(pkt.get());
        }
        av_packet_unref(pkt.get());
        changed = changed || (!src.cancelled && (rc != AVERROR_EOF || number != plan.index.packets));
    }
    if (src.failed || src.cancelled || changed) {
        r.error = src.failed      ? readFailure(name, src)
                  : src.cancelled ? QStringLiteral("%1: stopped").arg(name)
                                  : QStringLiteral("%1 changed while it was read").arg(name);
        return false;
    }
    if (!writeHeld(heldSlot + 1))
        return false;
    if ((rc = av_write_trailer(oc.get())) < 0) {
        r.error = QStringLiteral("MP4 trailer: %1").arg(sink.error.isEmpty() ? averror(rc) : sink.error);
        return false;
    }
    avio_flush(oc->pb);
    if (oc->pb->error < 0 || !sink.error.isEmpty()) {
        r.error = QStringLiteral("cannot finish %1: %2").arg(tmpPath, sink.error.isEmpty() ? averror(oc->pb->error) : sink.error);
        return false;
    }
    return true;
}

QString fileSha256(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    Sha256 hash;
    std::vector<char> buffer(1 << 20);
    qint64 n;
    while ((n = f.read(buffer.data(), qint64(buffer.size()))) > 0)
        hash.update(buffer.data(), size_t(n));
    return n < 0 ? QString() : QString::fromStdString(hash.hex());
}

// A copy is called playable only once it opens and its first frame decodes
// without an error, as a player would read it.
QString firstFrameProblem(const QString &path, RemuxResult &r)
{
    AVFormatContext *raw = nullptr;
    int rc = avformat_open_input(&raw, QFile::encodeName(path).constData(), nullptr, nullptr);
    if (rc < 0)
        return QStringLiteral("it does not open (%1)").arg(averror(rc));
    struct Close {
        AVFormatContext *c;
        ~Close() { avformat_close_input(&c); }
    } close{raw};
    if (raw->nb_streams != 1 || raw->streams[0]->codecpar->codec_id != AV_CODEC_ID_H264)
        return QStringLiteral("it holds no H.264 stream");
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext *)> ctx(
        codec ? avcodec_alloc_context3(codec) : nullptr, [](AVCodecContext *c) { avcodec_free_context(&c); });
    Packet pkt(av_packet_alloc());
    std::unique_ptr<AVFrame, void (*)(AVFrame *)> frame(av_frame_alloc(), [](AVFrame *f) { av_frame_free(&f); });
    if (!ctx || !pkt || !frame || avcodec_parameters_to_context(ctx.get(), raw->streams[0]->codecpar) < 0)
        return QStringLiteral("out of memory");
    ctx->thread_count = 1;
    ctx->err_recognition |= AV_EF_EXPLODE;
    if ((rc = avcodec_open2(ctx.get(), codec, nullptr)) < 0)
        return QStringLiteral("its decoder does not open (%1)").arg(averror(rc));
    if ((rc = av_read_frame(raw, pkt.get())) < 0)
        return QStringLiteral("its first frame cannot be read (%1)").arg(averror(rc));
    ++r.framesDecoded;
    rc = avcodec_send_packet(ctx.get(), pkt.get());
    av_packet_unref(pkt.get());
    if (rc >= 0) {
        rc = avcodec_receive_frame(ctx.get(), frame.get());
        if (rc == AVERROR(EAGAIN) && avcodec_send_packet(ctx.get(), nullptr) >= 0)
            rc = avcodec_receive_frame(ctx.get(), frame.get());
    }
    if (rc < 0)
        return QStringLiteral("its first frame does not decode (%1)").arg(averror(rc));
    if (frame->decode_error_flags || (frame->flags & AV_FRAME_FLAG_CORRUPT))
        return QStringLiteral("its first frame decodes with errors");
    return QString();
}

} // namespace

RemuxResult remuxToMp4(const RecordingBytes &read, uint64_t recordingSize, const QString &mp4Path,
                       const RemuxOptions &o)
{
    RemuxResult r;
    const QString name = recordingName(o);
    if (!read) {
        r.error = QStringLiteral("%1: no bytes given").arg(name);
        return r;
    }
    Source src;
    src.read = &read;
    src.size = recordingSize;
    src.progress = &o.progress;
    src.total = 2 * recordingSize;
    Plan plan;
    if (!planStream(src, o, name, plan, r))
        return r;

    // Rate from the stamps when plausible, else the stream's own, else 25.
    const int64_t span = recorderSpanSeconds(o.start, o.end);
    const int64_t recorded = r.framesBeforeKey + plan.frames + r.framesTooLarge; // recorded, if not decodable
    AVRational fps{25, 1};
    r.fpsSource = QStringLiteral("default");
    if (span > 0 && recorded >= span && recorded <= 60 * span) {
        av_reduce(&fps.num, &fps.den, recorded, span, INT32_MAX);
        r.fpsSource = QStringLiteral("recorder stamps");
    } else if (plan.timingSps.timing) {
        AVRational t;
        av_reduce(&t.num, &t.den, plan.timingSps.timeScale, 2 * int64_t(plan.timingSps.unitsInTick), INT32_MAX);
        if (av_q2d(t) >= 1 && av_q2d(t) <= 240) {
            fps = t;
            r.fpsSource = QStringLiteral("stream timing");
        }
    }
    r.fps = av_q2d(fps);
    r.durationSeconds = static_cast<double>(plan.frames) / r.fps;

    const QFileInfo target(mp4Path);
    const QString folderProblem = makeOutputFolder(target.absolutePath());
    if (!folderProblem.isEmpty()) {
        r.error = QStringLiteral("cannot create %1: %2").arg(QDir::toNativeSeparators(target.absolutePath()), folderProblem);
        return r;
    }
    OutputFile file(mp4Path);
    if (!file.open()) {
        r.error = file.errorString();
        return r;
    }
    const QString tmpPath = file.temporaryPath();
    src.pos = 0;
    Sink sink(file);
    sink.hashing = o.sha256;
    if (!writeMp4(src, o, name, plan, fps, tmpPath, sink, r))
        return r; // the temporary file goes with `file`
    if (o.sha256) {
        r.sha256AsWritten = sink.hashValid && sink.patched && sink.hashed == sink.end;
        r.sha256 = r.sha256AsWritten ? QString::fromStdString(sink.hash.hex()) : fileSha256(tmpPath);
    }
    const QString problem = firstFrameProblem(tmpPath, r);
    if (!problem.isEmpty()) {
        file.discard();
        r.error = QStringLiteral("%1: the MP4 made from it was checked and %2; no playable copy was made").arg(name, problem);
        return r;
    }
    if (!file.commit()) {
        r.error = file.errorString();
        return r;
    }
    r.ok = true;
    return r;
}

} // namespace korvath
