#include "remux.h"

#include "h264scan.h"
#include "outputfile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <cstring>
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

void quietVideoLibraries()
{
    av_log_set_level(AV_LOG_QUIET);
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

constexpr int kSector = 512;

// The native copy, read through libavformat's I/O callbacks; on the first
// pass it also notes every whole sector of zeros.
struct Source {
    QFile file;
    const std::function<bool(uint64_t, uint64_t)> *progress = nullptr;
    uint64_t done = 0, total = 0;
    bool cancelled = false;
    bool scanZeros = false;
    uint64_t scanned = 0;
    uint8_t partial[kSector];
    int partialLength = 0;
    std::vector<ByteRange> zeros;

    void noteSector(const uint8_t *s, uint64_t at, int length = kSector)
    {
        if (s[0] != 0 || std::memcmp(s, s + 1, size_t(length) - 1) != 0)
            return;
        if (!zeros.empty() && zeros.back().offset + zeros.back().length == at)
            zeros.back().length += uint64_t(length);
        else
            zeros.push_back({at, uint64_t(length)});
    }
    // The copy's last, partial sector.
    void finish()
    {
        if (partialLength > 0)
            noteSector(partial, scanned - uint64_t(partialLength), partialLength);
        partialLength = 0;
    }
    void scan(const uint8_t *p, size_t n)
    {
        while (n > 0) {
            const uint64_t sectorStart = scanned - static_cast<uint64_t>(partialLength);
            if (partialLength == 0 && n >= static_cast<size_t>(kSector)) {
                noteSector(p, scanned);
                p += kSector;
                n -= kSector;
                scanned += kSector;
                continue;
            }
            const size_t take = std::min<size_t>(kSector - partialLength, n);
            std::memcpy(partial + partialLength, p, take);
            partialLength += static_cast<int>(take);
            p += take;
            n -= take;
            scanned += take;
            if (partialLength == kSector) {
                noteSector(partial, sectorStart);
                partialLength = 0;
            }
        }
    }
};

int readSource(void *opaque, uint8_t *buf, int size)
{
    auto *s = static_cast<Source *>(opaque);
    const qint64 at = s->file.pos();
    const qint64 n = s->file.read(reinterpret_cast<char *>(buf), size);
    if (n < 0)
        return AVERROR(EIO);
    if (n == 0) {
        if (s->scanZeros && static_cast<uint64_t>(at) == s->scanned)
            s->finish();
        return AVERROR_EOF;
    }
    if (s->scanZeros && static_cast<uint64_t>(at) == s->scanned)
        s->scan(buf, static_cast<size_t>(n));
    s->done += static_cast<uint64_t>(n);
    if (s->progress && *s->progress && !(*s->progress)(s->done, s->total)) {
        s->cancelled = true;
        return AVERROR_EXIT;
    }
    return static_cast<int>(n);
}

int64_t seekSource(void *opaque, int64_t offset, int whence)
{
    auto *s = static_cast<Source *>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE)
        return s->file.size();
    int64_t to = offset;
    if (whence == SEEK_CUR)
        to += s->file.pos();
    else if (whence == SEEK_END)
        to += s->file.size();
    else if (whence != SEEK_SET)
        return AVERROR(EINVAL);
    return s->file.seek(to) ? to : AVERROR(EIO);
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

struct TailFrame {
    QByteArray bytes;
    size_t packet;
};

// How many of the frames decode without an error, from the key frame that starts them.
size_t wholeFrames(const std::vector<TailFrame> &frames, const QByteArray &parameterSets)
{
    if (frames.empty())
        return 0;
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext *ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    size_t whole = frames.size();
    if (ctx && pkt && frame) {
        ctx->thread_count = 1; // errors belong to the packet just sent
        ctx->err_recognition |= AV_EF_EXPLODE;
        if (avcodec_open2(ctx, codec, nullptr) >= 0) {
            for (size_t i = 0; i < frames.size() && whole == frames.size(); ++i) {
                QByteArray bytes = i == 0 ? parameterSets + frames[i].bytes : frames[i].bytes;
                QByteArray padded = bytes + QByteArray(AV_INPUT_BUFFER_PADDING_SIZE, '\0');
                pkt->data = reinterpret_cast<uint8_t *>(padded.data());
                pkt->size = bytes.size();
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
    std::vector<int64_t> slot; // per packet: its frame position from the first key frame, or -1 when dropped
    std::vector<int> sizes;
    int64_t frames = 0;        // positions used, dropped ones in between included
    QByteArray parameterSets;  // SPS and PPS of the first key frame, Annex B
    h264::Sps sps;
    h264::Sps timingSps;
};

QString recordingName(const RemuxOptions &o, const QString &masterPath)
{
    return o.masterName.isEmpty() ? QFileInfo(masterPath).fileName() : o.masterName;
}

bool planStream(Source &src, const RemuxOptions &o, const QString &name, Plan &plan, RemuxResult &r)
{
    QString error;
    Input in = openInput(src, &error);
    if (!in) {
        r.error = QStringLiteral("%1: cannot read as H.264: %2").arg(name, error);
        return false;
    }
    Packet pkt(av_packet_alloc());
    h264::ParameterSets sets;
    enum { BeforeKey, Running, Skipping } state = BeforeKey;
    bool skipForBreak = false;
    int64_t pendingDropped = 0;
    uint32_t prevRefFrameNum = 0;
    uint64_t position = 0;
    std::vector<ByteRange> bad;
    std::vector<TailFrame> tail; // the frames from the last key frame on
    constexpr uint64_t kTailLimit = 256ull << 20;
    uint64_t tailBytes = 0;
    bool tailTooLong = false;
    const uint64_t fileSize = static_cast<uint64_t>(src.file.size());
    size_t seenZeros = 0;
    uint64_t seenLastLength = 0;
    bool first = true;
    int rc;
    while ((rc = av_read_frame(in.get(), pkt.get())) >= 0) {
        struct Unref {
            AVPacket *p;
            ~Unref() { av_packet_unref(p); }
        } unref{pkt.get()};
        const uint64_t at = position;
        position += static_cast<uint64_t>(pkt->size);
        plan.sizes.push_back(pkt->size);
        plan.slot.push_back(-1);

        h264::SliceHeader slice;
        bool idr = false;
        bool picture = false; // a slice that starts a picture, parsed or not
        QByteArray ps;
        h264::forEachNal(pkt->data, static_cast<size_t>(pkt->size), [&](const uint8_t *nal, size_t size, size_t) {
            const int type = nal[0] & 0x1F;
            if (type == h264::kSps || type == h264::kPps) {
                sets.take(nal, size);
                // Without the zeros the unit may carry at its end.
                size_t n = size;
                while (n > 1 && nal[n - 1] == 0)
                    --n;
                ps.append("\0\0\0\1", 4).append(reinterpret_cast<const char *>(nal), static_cast<int>(n));
            } else if (type == h264::kIdrSlice || type == h264::kNonIdrSlice) {
                idr = idr || type == h264::kIdrSlice;
                picture = picture || (size > 1 && (nal[1] & 0x80));
                if (!slice.valid)
                    slice = sets.slice(nal, size);
            }
            return true;
        });
        if (!slice.valid) {
            // Stray bytes, or a picture whose parameter sets were not seen: it cannot be decoded.
            if (!picture)
                continue;
            if (state == BeforeKey) {
                ++r.framesBeforeKey;
            } else if (state == Skipping) {
                ++pendingDropped;
            } else {
                state = Skipping;
                skipForBreak = true;
                pendingDropped = 1;
            }
            continue;
        }
        if (slice.sliceType == 1) {
            r.error = QStringLiteral("%1 has B-frames; their presentation order cannot be kept without "
                                     "re-encoding, so no playable copy was made")
                          .arg(name);
            return false;
        }
        if (src.zeros.size() != seenZeros || (seenZeros && src.zeros.back().length != seenLastLength) || first) {
            // Zeros that run to the end are padding after the last frame, not a hole in the middle.
            std::vector<ByteRange> zeros = src.zeros;
            if (!zeros.empty() && zeros.back().offset + zeros.back().length >= fileSize)
                zeros.pop_back();
            bad = merged(zeros, o.unreadable);
            seenZeros = src.zeros.size();
            seenLastLength = seenZeros ? src.zeros.back().length : 0;
            first = false;
        }
        const bool damaged = overlaps(bad, at, position - at);
        const h264::Sps *sps = sets.spsForPps(slice.ppsId);
        const bool key = idr; // recovery points are not trusted as a start
        const uint32_t maxFrameNum = 1u << (sps ? sps->log2MaxFrameNum : 16);

        if (state == BeforeKey || state == Skipping) {
            if (key && !damaged) {
                if (state == BeforeKey) {
                    plan.parameterSets = ps;
                    plan.sps = sps ? *sps : h264::Sps();
                } else {
                    r.framesDamaged += pendingDropped;
                    plan.frames += pendingDropped;
                }
                pendingDropped = 0;
                state = Running;
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
            pendingDropped = 1;
            continue;
        }
        if (slice.refIdc != 0)
            prevRefFrameNum = slice.frameNum;
        if (idr) {
            tail.clear();
            tailBytes = 0;
            tailTooLong = false;
        }
        // A group too long to keep is not checked (its end then goes unchecked).
        tailBytes += static_cast<uint64_t>(pkt->size);
        if (tailBytes > kTailLimit && !tailTooLong) {
            tail.clear();
            tailTooLong = true;
        }
        if (!tailTooLong)
            tail.push_back({QByteArray(reinterpret_cast<const char *>(pkt->data), pkt->size), plan.slot.size() - 1});
        plan.slot.back() = plan.frames++;
        ++r.framesWritten;
        if (sps && sps->timing)
            plan.timingSps = *sps;
    }
    if (src.cancelled || rc != AVERROR_EOF) {
        r.error = src.cancelled ? QStringLiteral("%1: stopped").arg(name)
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
    const size_t whole = wholeFrames(tail, plan.parameterSets);
    for (size_t i = whole; i < tail.size(); ++i) {
        if (i == whole)
            plan.frames = plan.slot[tail[i].packet];
        plan.slot[tail[i].packet] = -1;
        --r.framesWritten;
        ++r.framesAfterEnd;
    }
    if (r.framesWritten == 0) {
        r.noVideo = true;
        r.error = r.framesBeforeKey > 0
                      ? QStringLiteral("%1: H.264 pictures but no key frame (IDR) to start from; no playable copy was made").arg(name)
                      : QStringLiteral("%1: no H.264 video found; no playable copy was made").arg(name);
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

// The second pass: the first pass's packets lie back to back in the copy, so
// their bytes are read in large blocks, without the parser running again.
struct BlockReader {
    Source &src;
    std::vector<uint8_t> block = std::vector<uint8_t>(size_t(4) << 20);
    size_t begin = 0, end = 0;

    // The next n bytes into `to`, or past them when `to` is null.
    bool take(uint8_t *to, size_t n)
    {
        while (n > 0) {
            if (begin == end) {
                const qint64 got = src.file.read(reinterpret_cast<char *>(block.data()), qint64(block.size()));
                if (got <= 0)
                    return false;
                begin = 0;
                end = size_t(got);
                src.done += uint64_t(got);
                if (src.progress && *src.progress && !(*src.progress)(src.done, src.total)) {
                    src.cancelled = true;
                    return false;
                }
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
using Output = std::unique_ptr<AVFormatContext, OutputCloser>;

// The muxer writes through the one output file, so that every write is
// checked and the MP4 gets its name like any other output.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
int writeOutput(void *file, const uint8_t *bytes, int size)
#else
int writeOutput(void *file, uint8_t *bytes, int size)
#endif
{
    return static_cast<OutputFile *>(file)->write(bytes, size) ? size : AVERROR(EIO);
}

int64_t seekOutput(void *opaque, int64_t offset, int whence)
{
    auto *file = static_cast<OutputFile *>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE)
        return file->size();
    const int64_t to = whence == SEEK_CUR ? file->position() + offset : whence == SEEK_END ? file->size() + offset : offset;
    return whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END ? AVERROR(EINVAL)
           : file->seek(to)                                                ? to
                                                                           : AVERROR(EIO);
}

bool writeMp4(Source &src, const RemuxOptions &o, const QString &name, const Plan &plan, AVRational fps,
              OutputFile &file, RemuxResult &r)
{
    uint64_t planned = 0;
    for (const int size : plan.sizes)
        planned += uint64_t(size);
    const bool direct = planned == uint64_t(src.file.size());
    QString error;
    Input in = direct ? nullptr : openInput(src, &error);
    if (!direct && !in) {
        r.error = QStringLiteral("%1: cannot read as H.264: %2").arg(name, error);
        return false;
    }
    AVFormatContext *ocRaw = nullptr;
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

    constexpr int kIoBuffer = 1 << 16;
    auto *ioBuffer = static_cast<unsigned char *>(av_malloc(kIoBuffer));
    oc->pb = ioBuffer ? avio_alloc_context(ioBuffer, kIoBuffer, 1, &file, nullptr, writeOutput, seekOutput) : nullptr;
    if (!oc->pb) {
        av_free(ioBuffer);
        r.error = QStringLiteral("out of memory");
        return false;
    }
    oc->flags |= AVFMT_FLAG_CUSTOM_IO;
    int rc = avformat_write_header(oc.get(), nullptr);
    if (rc < 0) {
        r.error = file.errorString().isEmpty() ? QStringLiteral("MP4 header: %1").arg(averror(rc)) : file.errorString();
        return false;
    }
    const AVRational frameTime = av_inv_q(fps);
    auto tick = [&](int64_t position) { return av_rescale_q(position, frameTime, st->time_base); };

    Packet pkt(av_packet_alloc());
    size_t index = 0;
    size_t nextKept = 0;
    auto findNextKept = [&](size_t from) {
        while (from < plan.slot.size() && plan.slot[from] < 0)
            ++from;
        return from;
    };
    nextKept = findNextKept(0);
    // Times and the key flag of a kept packet, then into the MP4.
    auto writeKept = [&]() {
        const int64_t position = plan.slot[index];
        nextKept = findNextKept(index + 1);
        const int64_t following = nextKept < plan.slot.size() ? plan.slot[nextKept] : position + 1;
        pkt->stream_index = st->index;
        pkt->pts = pkt->dts = tick(position);
        pkt->duration = tick(following) - pkt->pts;
        pkt->pos = -1;
        // The first kept frame and every IDR after it are sync samples.
        bool idr = false;
        h264::forEachNal(pkt->data, static_cast<size_t>(pkt->size), [&](const uint8_t *nal, size_t, size_t) {
            idr = (nal[0] & 0x1F) == h264::kIdrSlice;
            return !idr;
        });
        pkt->flags = idr ? AV_PKT_FLAG_KEY : 0;
        if ((rc = av_write_frame(oc.get(), pkt.get())) < 0) {
            r.error = file.errorString().isEmpty() ? QStringLiteral("MP4 write: %1").arg(averror(rc)) : file.errorString();
            return false;
        }
        return true;
    };
    if (direct) {
        BlockReader reader{src};
        for (; index < plan.slot.size(); ++index) {
            const size_t size = static_cast<size_t>(plan.sizes[index]);
            if (index != nextKept) {
                if (!reader.take(nullptr, size))
                    break;
                continue;
            }
            av_packet_unref(pkt.get());
            if (av_new_packet(pkt.get(), static_cast<int>(size)) < 0) {
                r.error = QStringLiteral("out of memory");
                return false;
            }
            if (!reader.take(pkt->data, size))
                break;
            if (!writeKept())
                return false;
        }
        av_packet_unref(pkt.get());
        if (src.cancelled || index != plan.slot.size()) {
            r.error = src.cancelled ? QStringLiteral("%1: stopped").arg(name)
                                    : QStringLiteral("%1 changed while it was read").arg(name);
            return false;
        }
    } else {
        while ((rc = av_read_frame(in.get(), pkt.get())) >= 0) {
            if (src.cancelled || index >= plan.slot.size() || pkt->size != plan.sizes[index]) {
                av_packet_unref(pkt.get());
                r.error = src.cancelled ? QStringLiteral("%1: stopped").arg(name)
                                        : QStringLiteral("%1 changed while it was read").arg(name);
                return false;
            }
            if (index == nextKept && !writeKept()) {
                av_packet_unref(pkt.get());
                return false;
            }
            av_packet_unref(pkt.get());
            ++index;
        }
        if (src.cancelled || rc != AVERROR_EOF || index != plan.slot.size()) {
            r.error = src.cancelled ? QStringLiteral("%1: stopped").arg(name)
                                    : QStringLiteral("%1: second read failed").arg(name);
            return false;
        }
    }
    if ((rc = av_write_trailer(oc.get())) < 0) {
        r.error = file.errorString().isEmpty() ? QStringLiteral("MP4 trailer: %1").arg(averror(rc)) : file.errorString();
        return false;
    }
    avio_flush(oc->pb);
    if (oc->pb->error < 0) {
        r.error = file.errorString().isEmpty() ? averror(oc->pb->error) : file.errorString();
        return false;
    }
    return true;
}

} // namespace

RemuxResult remuxToMp4(const QString &masterPath, const QString &mp4Path, const RemuxOptions &o)
{
    RemuxResult r;
    const QString name = recordingName(o, masterPath);
    Source src;
    src.file.setFileName(masterPath);
    if (!src.file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        r.error = QStringLiteral("%1: %2").arg(name, src.file.errorString());
        return r;
    }
    src.scanZeros = o.zeroSectorsAreUnreadable;
    src.progress = &o.progress;
    src.total = 2 * static_cast<uint64_t>(src.file.size());
    Plan plan;
    if (!planStream(src, o, name, plan, r))
        return r;

    // Rate from the stamps when plausible, else the stream's own, else 25.
    const int64_t span = recorderSpanSeconds(o.start, o.end);
    const int64_t recorded = r.framesBeforeKey + plan.frames;
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
    src.file.seek(0);
    src.scanZeros = false;
    if (!writeMp4(src, o, name, plan, fps, file, r))
        return r; // the temporary file goes with `file`
    if (!file.commit()) {
        r.error = file.errorString();
        return r;
    }
    r.ok = true;
    return r;
}

} // namespace korvath
