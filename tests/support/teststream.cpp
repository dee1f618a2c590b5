#include "teststream.h"

#include <QCryptographicHash>
#include <QFile>
#include <memory>
#include <random>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace korvath {
namespace testkit {

namespace {

struct Free {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
    void operator()(AVCodecParserContext *p) const { av_parser_close(p); }
    void operator()(AVFrame *f) const { av_frame_free(&f); }
    void operator()(AVPacket *p) const { av_packet_free(&p); }
    void operator()(AVFormatContext *c) const { avformat_close_input(&c); }
};
template <class T> using Ptr = std::unique_ptr<T, Free>;

uint64_t pictureChecksum(const AVFrame *f)
{
    uint64_t h = 1469598103934665603ull;
    for (int plane = 0; plane < 3; ++plane) {
        const int w = plane ? (f->width + 1) / 2 : f->width;
        const int rows = plane ? (f->height + 1) / 2 : f->height;
        for (int y = 0; y < rows; ++y) {
            const uint8_t *p = f->data[plane] + y * f->linesize[plane];
            for (int x = 0; x < w; ++x)
                h = (h ^ p[x]) * 1099511628211ull;
        }
    }
    return h;
}

// Decoder error messages while a check decodes: a clean decode has none.
int g_logErrors = 0;
void countErrors(void *avcl, int level, const char *fmt, va_list vl)
{
    if (level <= AV_LOG_ERROR)
        ++g_logErrors;
    if (level <= AV_LOG_WARNING)
        av_log_default_callback(avcl, level, fmt, vl);
}

struct ErrorCount {
    ErrorCount()
    {
        g_logErrors = 0;
        av_log_set_callback(countErrors);
    }
    ~ErrorCount() { av_log_set_callback(av_log_default_callback); }
    int count() const { return g_logErrors; }
};

// Runs an Annex B run through the parser and decoder; calls f for every picture.
template <class F> int decodeAnnexB(const QByteArray &bytes, F f)
{
    ErrorCount log;
    int errors = 0;
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    Ptr<AVCodecContext> ctx(avcodec_alloc_context3(codec));
    Ptr<AVCodecParserContext> parser(av_parser_init(AV_CODEC_ID_H264));
    Ptr<AVFrame> frame(av_frame_alloc());
    Ptr<AVPacket> pkt(av_packet_alloc());
    ctx->thread_count = 1;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
        return -1;
    QByteArray padded = bytes;
    padded.append(QByteArray(AV_INPUT_BUFFER_PADDING_SIZE, '\0'));
    const uint8_t *p = reinterpret_cast<const uint8_t *>(padded.constData());
    int left = bytes.size();
    auto receive = [&] {
        while (avcodec_receive_frame(ctx.get(), frame.get()) >= 0) {
            if (frame->decode_error_flags || (frame->flags & AV_FRAME_FLAG_CORRUPT))
                ++errors;
            f(frame.get());
        }
    };
    for (bool done = false; !done;) {
        uint8_t *out = nullptr;
        int outSize = 0;
        const int used = av_parser_parse2(parser.get(), ctx.get(), &out, &outSize, left ? p : nullptr, left,
                                          AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        done = left == 0;
        p += used;
        left -= used;
        if (outSize > 0) {
            pkt->data = out;
            pkt->size = outSize;
            if (avcodec_send_packet(ctx.get(), pkt.get()) < 0)
                ++errors;
            receive();
        }
    }
    avcodec_send_packet(ctx.get(), nullptr);
    receive();
    return errors + log.count();
}

} // namespace

TestStream encodeTestStream(const TestStreamOptions &o)
{
    TestStream s;
    s.width = o.width;
    s.height = o.height;
    const AVCodec *codec = avcodec_find_encoder_by_name(o.hevc ? "libx265" : "libx264");
    if (!codec)
        return s;
    Ptr<AVCodecContext> ctx(avcodec_alloc_context3(codec));
    ctx->width = o.width;
    ctx->height = o.height;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = AVRational{1, o.fps};
    ctx->framerate = AVRational{o.fps, 1};
    ctx->gop_size = o.gop;
    ctx->keyint_min = o.gop;
    ctx->max_b_frames = o.bFrames ? 2 : 0;
    ctx->thread_count = 1;
    av_opt_set(ctx->priv_data, "preset", "superfast", 0);
    av_opt_set(ctx->priv_data, "crf", "20", 0);
    if (o.hevc)
        av_opt_set(ctx->priv_data, "x265-params", "log-level=none:scenecut=0:bframes=0", 0);
    else
        av_opt_set(ctx->priv_data, "x264-params",
                   (o.bFrames ? "scenecut=0:b-adapt=0:bframes=2" : "scenecut=0:bframes=0"), 0);
    // x264's statistics are not wanted in test output.
    const int level = av_log_get_level();
    av_log_set_level(AV_LOG_ERROR);
    const bool opened = avcodec_open2(ctx.get(), codec, nullptr) >= 0;
    struct Restore {
        int level;
        ~Restore() { av_log_set_level(level); }
    } restore{level};
    if (!opened)
        return s;
    Ptr<AVFrame> frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = o.width;
    frame->height = o.height;
    av_frame_get_buffer(frame.get(), 0);
    Ptr<AVPacket> pkt(av_packet_alloc());
    std::mt19937 noise(1234u + static_cast<uint32_t>(o.variant));
    auto drain = [&] {
        while (avcodec_receive_packet(ctx.get(), pkt.get()) >= 0) {
            TestFrame f;
            f.offset = s.bytes.size();
            f.size = pkt->size;
            f.key = pkt->flags & AV_PKT_FLAG_KEY;
            s.bytes.append(reinterpret_cast<const char *>(pkt->data), pkt->size);
            s.frames.push_back(f);
            av_packet_unref(pkt.get());
        }
    };
    for (int i = 0; i < o.frames; ++i) {
        av_frame_make_writable(frame.get());
        if (o.still && i > 0) {
            frame->pts = i;
            if (avcodec_send_frame(ctx.get(), frame.get()) < 0)
                return s;
            drain();
            continue;
        }
        const int shade = 40 + ((i + o.variant * 7) * 53) % 160;
        for (int y = 0; y < o.height; ++y) {
            uint8_t *row = frame->data[0] + y * frame->linesize[0];
            for (int x = 0; x < o.width; ++x) {
                int v = shade + ((x * 7 + y * 13 + i * 3) & 15) + int(noise() % unsigned(o.detail + 1));
                // The frame number in bits along the top: one 16x16 block per bit.
                if (y < 16 && x / 16 < 12)
                    v = ((i >> (x / 16)) & 1) ? 235 : 16;
                row[x] = static_cast<uint8_t>(std::min(v, 235));
            }
        }
        for (int plane = 1; plane < 3; ++plane)
            for (int y = 0; y < o.height / 2; ++y)
                std::fill_n(frame->data[plane] + y * frame->linesize[plane], o.width / 2,
                            static_cast<uint8_t>(plane == 1 ? 64 + (i * 11) % 128 : 192 - (i * 5) % 128));
        frame->pts = i;
        if (avcodec_send_frame(ctx.get(), frame.get()) < 0)
            return s;
        drain();
    }
    avcodec_send_frame(ctx.get(), nullptr);
    drain();
    ctx.reset();
    if (!o.checksums || o.hevc)
        return s;
    const std::vector<uint64_t> sums = decodeChecksums(s.bytes);
    for (size_t i = 0; i < s.frames.size() && i < sums.size(); ++i)
        s.frames[i].checksum = sums[i];
    if (sums.size() != s.frames.size())
        s.frames.clear(); // makes every test that uses it fail loudly
    return s;
}

TestStream withRecorderBytes(const TestStream &s, uint32_t seed)
{
    TestStream out = s;
    out.bytes.clear();
    std::mt19937 rng(seed);
    for (size_t i = 0; i < s.frames.size(); ++i) {
        // No zero bytes at all, so nothing here can look like a start code.
        QByteArray block("\x7eKVREC", 6);
        const int n = 24 + int(rng() % 177);
        for (int k = 0; k < n; ++k)
            block.append(static_cast<char>(0x20 + rng() % 0x5F));
        out.bytes.append(block);
        out.frames[i].offset = out.bytes.size();
        out.bytes.append(s.bytes.mid(int(s.frames[i].offset), int(frameSlotEnd(s, i) - s.frames[i].offset)));
    }
    return out;
}

VideoClusters videoForClusters(int clusters, int width, int height, int variant)
{
    const qint64 room = qint64(clusters) * (qint64(1) << 21);
    TestStreamOptions o;
    o.width = width;
    o.height = height;
    o.gop = 25;
    o.detail = 40;
    o.variant = variant;
    o.checksums = false;
    o.frames = int(room / (width * height / 4)) + 50; // frames come out at about a quarter byte a pixel
    const TestStream s = encodeTestStream(o);
    VideoClusters v;
    v.width = width;
    v.height = height;
    while (size_t(v.frames) < s.frames.size() && frameSlotEnd(s, size_t(v.frames)) <= room)
        ++v.frames;
    v.bytes = s.bytes.left(v.frames ? int(frameSlotEnd(s, size_t(v.frames) - 1)) : 0);
    v.kept.assign(s.frames.begin(), s.frames.begin() + v.frames);
    v.bytes.append(QByteArray(int(room - v.bytes.size()), '\0'));
    return v;
}

QByteArray startCodeDecoy(uint32_t seed, int size)
{
    std::mt19937 rng(seed);
    static const char kinds[] = {'\xBA', '\xE0', '\x67', '\x68', '\x65', '\x41', '\x09'};
    QByteArray out;
    out.reserve(size);
    while (out.size() < size) {
        out.append(QByteArray("\0\0\1", 3));
        out.append(kinds[rng() % sizeof kinds]);
        const int n = 8 + int(rng() % 400);
        for (int k = 0; k < n; ++k)
            out.append(static_cast<char>(1 + rng() % 255)); // no zeros: no start code by chance
    }
    return out.left(size);
}

TestStream cutBefore(const TestStream &s, qint64 offset)
{
    TestStream out = s;
    out.bytes = s.bytes.mid(int(offset));
    out.frames.clear();
    for (const TestFrame &f : s.frames)
        if (f.offset >= offset) {
            TestFrame g = f;
            g.offset -= offset;
            out.frames.push_back(g);
        }
    return out;
}

TestStream withTrailing(const TestStream &s, const QByteArray &leftovers)
{
    TestStream out = s;
    out.bytes.append(leftovers);
    return out;
}

TestStream withZeros(const TestStream &s, qint64 offset, qint64 length)
{
    TestStream out = s;
    std::fill(out.bytes.begin() + int(offset), out.bytes.begin() + int(std::min<qint64>(offset + length, s.bytes.size())), '\0');
    return out;
}

namespace {

// The units of an Annex B run: [start code, end) of each.
std::vector<std::pair<int, int>> units(const QByteArray &b)
{
    std::vector<std::pair<int, int>> out;
    int at = b.indexOf(QByteArray("\0\0\1", 3));
    while (at >= 0) {
        const int next = b.indexOf(QByteArray("\0\0\1", 3), at + 3);
        int end = next < 0 ? b.size() : next;
        if (next >= 0 && end > at + 3 && b[end - 1] == '\0')
            --end; // a four-byte start code's zero
        out.push_back({at > 0 && b[at - 1] == '\0' ? at - 1 : at, end});
        at = next;
    }
    return out;
}

// Rebuilds a stream from pieces of the old one, keeping each frame's place.
template <class Edit> TestStream edited(const TestStream &s, Edit edit)
{
    TestStream out = s;
    out.bytes.clear();
    for (size_t i = 0; i < s.frames.size(); ++i) {
        out.frames[i].offset = out.bytes.size();
        const QByteArray slot = s.bytes.mid(int(s.frames[i].offset), int(frameSlotEnd(s, i) - s.frames[i].offset));
        int from = 0;
        for (const auto &u : units(slot)) {
            out.bytes.append(slot.mid(from, u.first - from));
            out.bytes.append(edit(i, slot.mid(u.first, u.second - u.first)));
            from = u.second;
        }
        out.bytes.append(slot.mid(from));
        out.frames[i].size += out.bytes.size() - out.frames[i].offset - slot.size();
    }
    return out;
}

int nalType(const QByteArray &unit)
{
    const int header = unit.indexOf(QByteArray("\0\0\1", 3)) + 3;
    return header < unit.size() ? unit[header] & 0x1F : -1;
}

struct Bits {
    std::vector<int> bits;
    size_t at = 0;
    uint32_t read(int n)
    {
        uint32_t v = 0;
        while (n-- > 0)
            v = (v << 1) | uint32_t(at < bits.size() ? bits[at++] : 0);
        return v;
    }
    uint32_t ue()
    {
        int zeros = 0;
        while (read(1) == 0 && at < bits.size())
            ++zeros;
        return ((1u << zeros) - 1) + read(zeros);
    }
};

void putBits(std::vector<int> &out, uint32_t v, int n)
{
    for (int i = n - 1; i >= 0; --i)
        out.push_back(int((v >> i) & 1));
}

void putUe(std::vector<int> &out, uint32_t v)
{
    int n = 0;
    while ((v + 1) >> (n + 1))
        ++n;
    putBits(out, 0, n);
    putBits(out, v + 1, n + 1);
}

// An SPS with other picture dimensions, every other field as it was (no
// scaling matrices, no picture order count of type 1, as x264 writes them).
QByteArray spsWithSize(const QByteArray &unit, int widthMbs, int heightMbs)
{
    const int header = unit.indexOf(QByteArray("\0\0\1", 3)) + 3;
    Bits in;
    int zeros = 0;
    for (int i = header + 1; i < unit.size(); ++i) {
        const uint8_t b = uint8_t(unit[i]);
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        putBits(in.bits, b, 8);
    }
    std::vector<int> out;
    const uint32_t profile = in.read(8);
    putBits(out, profile, 8);
    putBits(out, in.read(16), 16);
    putUe(out, in.ue());
    if (profile >= 100) {
        const uint32_t chroma = in.ue();
        putUe(out, chroma);
        putUe(out, in.ue());
        putUe(out, in.ue());
        putBits(out, in.read(1), 1);
        putBits(out, in.read(1), 1); // scaling matrices: x264 writes none
    }
    putUe(out, in.ue());
    const uint32_t poc = in.ue();
    putUe(out, poc);
    if (poc == 0)
        putUe(out, in.ue());
    putUe(out, in.ue());
    putBits(out, in.read(1), 1);
    in.ue();
    in.ue();
    putUe(out, uint32_t(widthMbs - 1));
    putUe(out, uint32_t(heightMbs - 1));
    // The rest as it was, up to its stop bit.
    size_t last = in.bits.size();
    while (last > in.at && in.bits[last - 1] == 0)
        --last;
    out.insert(out.end(), in.bits.begin() + long(in.at), in.bits.begin() + long(last));
    while (out.size() % 8)
        out.push_back(0);
    QByteArray result = unit.left(header + 1);
    zeros = 0;
    for (size_t i = 0; i < out.size(); i += 8) {
        uint8_t b = 0;
        for (int k = 0; k < 8; ++k)
            b = uint8_t((b << 1) | out[i + size_t(k)]);
        if (zeros >= 2 && b <= 3) {
            result.append('\3');
            zeros = 0;
        }
        result.append(char(b));
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return result;
}

} // namespace

qint64 unitOffset(const TestStream &s, size_t frame, int type)
{
    const QByteArray slot = s.bytes.mid(int(s.frames[frame].offset), int(frameSlotEnd(s, frame) - s.frames[frame].offset));
    for (const auto &u : units(slot))
        if (nalType(slot.mid(u.first, u.second - u.first)) == type)
            return s.frames[frame].offset + slot.indexOf(QByteArray("\0\0\1", 3), u.first) + 3;
    return -1;
}

TestStream withParameterSetsOnlyAtStart(const TestStream &s)
{
    return edited(s, [](size_t frame, const QByteArray &unit) {
        const int type = nalType(unit);
        return frame > 0 && (type == 7 || type == 8) ? QByteArray() : unit;
    });
}

TestStream withClaimedSize(const TestStream &s, int widthMbs, int heightMbs)
{
    TestStream out = edited(s, [&](size_t, const QByteArray &unit) {
        return nalType(unit) == 7 ? spsWithSize(unit, widthMbs, heightMbs) : unit;
    });
    out.width = widthMbs * 16;
    out.height = heightMbs * 16;
    return out;
}

qint64 frameSlotEnd(const TestStream &s, size_t index)
{
    return index + 1 < s.frames.size() ? s.frames[index + 1].offset : s.frames[index].offset + s.frames[index].size;
}

std::vector<uint64_t> decodeChecksums(const QByteArray &annexB, int *errors)
{
    std::vector<uint64_t> sums;
    const int e = decodeAnnexB(annexB, [&](const AVFrame *f) { sums.push_back(pictureChecksum(f)); });
    if (errors)
        *errors = e;
    return sums;
}

std::vector<QImage> decodeImages(const QByteArray &annexB)
{
    std::vector<QImage> images;
    decodeAnnexB(annexB, [&](const AVFrame *f) {
        QImage img(f->width, f->height, QImage::Format_RGB888);
        SwsContext *sws = sws_getContext(f->width, f->height, AVPixelFormat(f->format), f->width, f->height,
                                         AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
        uint8_t *dst[4] = {img.bits(), nullptr, nullptr, nullptr};
        int stride[4] = {int(img.bytesPerLine()), 0, 0, 0};
        sws_scale(sws, f->data, f->linesize, 0, f->height, dst, stride);
        sws_freeContext(sws);
        images.push_back(img);
    });
    return images;
}

DecodedVideo decodeFile(const QString &path)
{
    DecodedVideo v;
    ErrorCount log;
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, QFile::encodeName(path).constData(), nullptr, nullptr) < 0)
        return v;
    Ptr<AVFormatContext> ic(raw);
    if (avformat_find_stream_info(ic.get(), nullptr) < 0 || ic->nb_streams != 1)
        return v;
    v.opened = true;
    const AVDictionaryEntry *e = nullptr;
    while ((e = av_dict_get(ic->metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
        v.metadata.insert(QString::fromUtf8(e->key), QString::fromUtf8(e->value));
    AVStream *st = ic->streams[0];
    v.codec = QString::fromUtf8(avcodec_get_name(st->codecpar->codec_id));
    v.width = st->codecpar->width;
    v.height = st->codecpar->height;
    v.durationSeconds = st->duration * av_q2d(st->time_base);
    const AVCodec *codec = avcodec_find_decoder(st->codecpar->codec_id);
    Ptr<AVCodecContext> ctx(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(ctx.get(), st->codecpar);
    ctx->thread_count = 1;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) {
        v.opened = false;
        return v;
    }
    Ptr<AVFrame> frame(av_frame_alloc());
    Ptr<AVPacket> pkt(av_packet_alloc());
    auto receive = [&] {
        while (avcodec_receive_frame(ctx.get(), frame.get()) >= 0) {
            if (frame->decode_error_flags || (frame->flags & AV_FRAME_FLAG_CORRUPT))
                ++v.errors;
            v.checksums.push_back(pictureChecksum(frame.get()));
        }
    };
    while (av_read_frame(ic.get(), pkt.get()) >= 0) {
        v.ptsSeconds.push_back(pkt->pts * av_q2d(st->time_base));
        v.keyPackets.push_back(pkt->flags & AV_PKT_FLAG_KEY);
        if (avcodec_send_packet(ctx.get(), pkt.get()) < 0)
            ++v.errors;
        av_packet_unref(pkt.get());
        receive();
    }
    avcodec_send_packet(ctx.get(), nullptr);
    receive();
    v.errors += log.count();
    return v;
}

QByteArray fileSha256(const QString &path)
{
    QFile f(path);
    QCryptographicHash h(QCryptographicHash::Sha256);
    if (!f.open(QIODevice::ReadOnly) || !h.addData(&f))
        return {};
    return h.result().toHex();
}

} // namespace testkit
} // namespace korvath
