#include "preview.h"

#include "h264scan.h"
#include "layout.h"
#include "outputfile.h"
#include "remux.h"

#include <QImage>
#include <QBuffer>
#include <cstring>
#include <map>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace korvath {

namespace {

// A 5x7 font for the label: digits, '-', ':' and space. No font files, so no
// QGuiApplication is needed to draw it.
const uint8_t *glyph(QChar c)
{
    static const uint8_t digits[10][7] = {
        {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
        {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
        {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
        {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
        {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}};
    static const uint8_t dash[7] = {0, 0, 0, 0x1F, 0, 0, 0};
    static const uint8_t colon[7] = {0, 0x0C, 0x0C, 0, 0x0C, 0x0C, 0};
    if (c.isDigit())
        return digits[c.digitValue()];
    if (c == QLatin1Char('-'))
        return dash;
    if (c == QLatin1Char(':'))
        return colon;
    return nullptr;
}

void drawText(QImage &img, int x, int y, const QString &text, int scale, QRgb colour)
{
    for (const QChar c : text) {
        if (const uint8_t *g = glyph(c))
            for (int row = 0; row < 7; ++row)
                for (int col = 0; col < 5; ++col)
                    if (g[row] & (0x10 >> col))
                        for (int dy = 0; dy < scale; ++dy)
                            for (int dx = 0; dx < scale; ++dx) {
                                const int px = x + col * scale + dx, py = y + row * scale + dy;
                                if (img.rect().contains(px, py))
                                    img.setPixel(px, py, colour);
                            }
        x += 6 * scale;
    }
}

QString labelText(RecorderTime t)
{
    return recorderStampText(t);
}

bool isVcl(int type) { return type == h264::kIdrSlice || type == h264::kNonIdrSlice; }
bool startsPicture(const uint8_t *nal, size_t size) { return size > 1 && (nal[1] & 0x80); } // first_mb_in_slice == 0

struct KeyFrame {
    bool found = false;
    bool complete = false;
    size_t start = 0, end = 0;
};

// The first IDR picture in buf with the parameter sets and SEI just before it.
KeyFrame findKeyFrame(const std::vector<uint8_t> &buf, size_t from)
{
    KeyFrame k;
    size_t prefixStart = SIZE_MAX;
    if (from >= buf.size())
        return k;
    h264::forEachNal(buf.data() + from, buf.size() - from, [&](const uint8_t *nal, size_t size, size_t at) {
        at += from;
        const int type = nal[0] & 0x1F;
        if (!k.found) {
            if (type == h264::kIdrSlice && startsPicture(nal, size)) {
                k.found = true;
                k.start = prefixStart != SIZE_MAX ? prefixStart : at;
            } else if (isVcl(type)) {
                prefixStart = SIZE_MAX;
            } else if (prefixStart == SIZE_MAX && (type == h264::kAud || type == h264::kSps || type == h264::kPps || type == h264::kSei)) {
                prefixStart = at;
            }
            return true;
        }
        if ((isVcl(type) && startsPicture(nal, size)) || type == h264::kAud || type == h264::kSps
            || type == h264::kPps || type == h264::kSei) {
            k.complete = true;
            k.end = at;
            return false;
        }
        return true;
    });
    if (k.found && !k.complete)
        k.end = buf.size();
    // A four-byte start code's leading zero belongs to the unit it starts.
    if (k.found && k.start > from && buf[k.start - 1] == 0)
        --k.start;
    return k;
}

struct CodecFree {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
    void operator()(AVCodecParserContext *p) const { av_parser_close(p); }
    void operator()(AVFrame *f) const { av_frame_free(&f); }
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};

// Decodes the first picture of an Annex B run (parameter sets first); on
// failure *why says what went wrong.
std::unique_ptr<AVFrame, CodecFree> decodeFirst(const QByteArray &bytes, QString *why, int *decoded)
{
    // Its size first: the decoder would take its memory from what the SPS claims.
    h264::ParameterSets sets;
    const h264::Sps *claimed = nullptr;
    h264::forEachNal(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()),
                     [&](const uint8_t *nal, size_t size, size_t) {
                         const int type = nal[0] & 0x1F;
                         if (type == h264::kSps || type == h264::kPps) {
                             sets.take(nal, size);
                         } else if (isVcl(type)) {
                             const h264::SliceHeader slice = sets.slice(nal, size);
                             claimed = slice.valid ? sets.spsForPps(slice.ppsId) : nullptr;
                             return false;
                         }
                         return true;
                     });
    if (claimed && !h264::withinLevelLimits(*claimed)) {
        *why = QStringLiteral("its picture claims %1x%2, more than any H.264 level allows; not decoded")
                   .arg(claimed->width)
                   .arg(claimed->height);
        return nullptr;
    }
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    std::unique_ptr<AVCodecContext, CodecFree> ctx(codec ? avcodec_alloc_context3(codec) : nullptr);
    std::unique_ptr<AVCodecParserContext, CodecFree> parser(av_parser_init(AV_CODEC_ID_H264));
    std::unique_ptr<AVFrame, CodecFree> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, CodecFree> pkt(av_packet_alloc());
    *why = QStringLiteral("out of memory for the decoder");
    if (!ctx || !parser || !frame || !pkt)
        return nullptr;
    ctx->thread_count = 1;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
        return nullptr;
    ++*decoded;
    // The parser may read a little past the end it is given.
    QByteArray padded = bytes;
    padded.append(QByteArray(AV_INPUT_BUFFER_PADDING_SIZE, '\0'));
    const uint8_t *p = reinterpret_cast<const uint8_t *>(padded.constData());
    int left = bytes.size();
    bool flushed = false;
    int rc = 0;
    while (!flushed) {
        uint8_t *out = nullptr;
        int outSize = 0;
        const int used = av_parser_parse2(parser.get(), ctx.get(), &out, &outSize, left > 0 ? p : nullptr, left,
                                          AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (used < 0)
            break;
        if (left == 0)
            flushed = true;
        p += used;
        left -= used;
        if (outSize > 0) {
            pkt->data = out;
            pkt->size = outSize;
            rc = avcodec_send_packet(ctx.get(), pkt.get());
            if (rc >= 0 && (rc = avcodec_receive_frame(ctx.get(), frame.get())) >= 0)
                return frame;
            if (rc == AVERROR(ENOMEM))
                return nullptr;
        }
    }
    avcodec_send_packet(ctx.get(), nullptr);
    if ((rc = avcodec_receive_frame(ctx.get(), frame.get())) >= 0)
        return frame;
    *why = rc == AVERROR(ENOMEM) ? QStringLiteral("out of memory for the decoder")
                                 : QStringLiteral("the key frame found does not decode");
    return nullptr;
}

// The frame scaled to w x h at once, so that no full-size picture is kept.
QImage scaled(const AVFrame *f, int w, int h)
{
    QImage tile(w, h, QImage::Format_RGB888);
    if (tile.isNull())
        return tile;
    SwsContext *sws = sws_getContext(f->width, f->height, AVPixelFormat(f->format), w, h, AV_PIX_FMT_RGB24,
                                     SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!sws)
        return QImage();
    uint8_t *dst[4] = {tile.bits(), nullptr, nullptr, nullptr};
    int dstStride[4] = {int(tile.bytesPerLine()), 0, 0, 0};
    sws_scale(sws, f->data, f->linesize, 0, f->height, dst, dstStride);
    sws_freeContext(sws);
    return tile;
}

} // namespace

PreviewResult writePreview(const ClusterReader &read, const PreviewOptions &o, const QString &pngPath)
{
    PreviewResult r;
    const QString name = o.recordingName.isEmpty() ? QStringLiteral("the recording") : o.recordingName;
    if (o.clusterCount == 0 || o.frames < 1) {
        r.error = QStringLiteral("%1: nothing to preview").arg(name);
        return r;
    }
    std::map<uint32_t, std::vector<uint8_t>> clusters;
    auto cluster = [&](uint32_t index) -> const std::vector<uint8_t> * {
        auto it = clusters.find(index);
        if (it == clusters.end()) {
            std::vector<uint8_t> buffer(kClusterBytes);
            ++r.clustersRead;
            if (index >= o.clusterCount || !read(index, buffer.data()))
                buffer.clear();
            it = clusters.emplace(index, std::move(buffer)).first;
        }
        return it->second.empty() ? nullptr : &it->second;
    };

    // Parameter sets from the recording's first clusters, for key frames that lack them.
    QByteArray parameterSets;
    for (uint32_t c = 0; c < std::min<uint32_t>(2, o.clusterCount) && parameterSets.isEmpty(); ++c)
        if (const auto *b = cluster(c)) {
            bool sps = false, pps = false;
            h264::forEachNal(b->data(), b->size(), [&](const uint8_t *nal, size_t size, size_t) {
                const int type = nal[0] & 0x1F;
                if ((type == h264::kSps && !sps) || (type == h264::kPps && !pps)) {
                    (type == h264::kSps ? sps : pps) = true;
                    parameterSets.append("\0\0\0\1", 4).append(reinterpret_cast<const char *>(nal), int(size));
                }
                return !(sps && pps);
            });
            if (!(sps && pps))
                parameterSets.clear();
        }

    const uint64_t total = uint64_t(o.clusterCount) * kClusterBytes;
    const int64_t span = recorderSpanSeconds(o.start, o.end);
    std::vector<QImage> pictures;
    int tileW = 0, tileH = 0;
    for (int k = 0; k < o.frames; ++k) {
        if (o.stop && o.stop()) {
            r.error = QStringLiteral("%1: stopped").arg(name);
            return r;
        }
        PreviewTile tile;
        tile.point = uint64_t(k) * total / uint64_t(o.frames);
        tile.cluster = static_cast<uint32_t>(tile.point / kClusterBytes);
        const size_t skip = static_cast<size_t>(tile.point % kClusterBytes);
        // Points only move on: the clusters behind this one are not needed again.
        clusters.erase(clusters.begin(), clusters.lower_bound(tile.cluster));
        QImage picture;
        // The point's cluster and, while no whole key frame follows the point, the next.
        std::vector<uint8_t> buf;
        size_t from = 0;
        KeyFrame key;
        bool unreadable = false;
        for (uint32_t c = tile.cluster; c < tile.cluster + 2 && c < o.clusterCount; ++c) {
            const auto *b = cluster(c);
            if (!b) {
                unreadable = true;
                if (buf.empty())
                    continue;
                break;
            }
            if (buf.empty()) {
                tile.byteOffset = uint64_t(c) * kClusterBytes;
                from = c == tile.cluster ? skip : 0;
            }
            buf.insert(buf.end(), b->begin(), b->end());
            key = findKeyFrame(buf, from);
            if (key.found && key.complete)
                break;
        }
        if (!(key.found && key.complete)) {
            // The recording ends first: the last whole key frame before the point instead.
            key = KeyFrame();
            for (size_t at = 0;;) {
                const KeyFrame earlier = findKeyFrame(buf, at);
                if (!earlier.found || !earlier.complete || earlier.start >= from)
                    break;
                key = earlier;
                at = earlier.end;
            }
        }
        if (key.found && key.complete) {
            QByteArray bytes = parameterSets;
            bytes.append(reinterpret_cast<const char *>(buf.data() + key.start), int(key.end - key.start));
            const std::unique_ptr<AVFrame, CodecFree> frame = decodeFirst(bytes, &tile.missing, &r.framesDecoded);
            if (frame) {
                if (tileW == 0) {
                    r.frameSize = QSize(frame->width, frame->height);
                    tileW = frame->width;
                    tileH = frame->height;
                    if (tileW > o.maxTileWidth && o.maxTileWidth > 0) {
                        tileH = std::max(2, int(int64_t(tileH) * o.maxTileWidth / tileW) & ~1);
                        tileW = o.maxTileWidth;
                    }
                }
                picture = scaled(frame.get(), tileW, tileH);
                if (picture.isNull())
                    tile.missing = QStringLiteral("out of memory for the picture");
            }
        } else {
            tile.missing = unreadable ? QStringLiteral("the clusters there could not be read")
                                      : QStringLiteral("no whole key frame in the clusters read there");
        }
        tile.found = !picture.isNull();
        if (tile.found) {
            tile.missing.clear();
            tile.byteOffset += key.start;
            tile.time = addSeconds(o.start, span > 0 ? int64_t((tile.byteOffset * uint64_t(span)) / total) : 0);
        } else {
            tile.time = addSeconds(o.start, span > 0 ? int64_t((tile.point * uint64_t(span)) / total) : 0);
        }
        r.tiles.push_back(tile);
        pictures.push_back(picture);
    }

    if (tileW == 0) {
        r.error = QStringLiteral("%1: no picture could be decoded near the sampled points").arg(name);
        for (const PreviewTile &t : r.tiles)
            if (!t.missing.isEmpty() && !r.error.contains(t.missing))
                r.error += QStringLiteral("; ") + t.missing;
        return r;
    }
    const int columns = std::min(o.frames, 3);
    const int rows = (o.frames + columns - 1) / columns;
    const int scale = tileW >= 19 * 12 ? 2 : 1;
    const int margin = 4, labelH = 7 * scale + 8;
    QImage sheet(columns * tileW + (columns + 1) * margin, rows * (tileH + labelH) + (rows + 1) * margin,
                 QImage::Format_RGB888);
    if (sheet.isNull()) {
        r.error = QStringLiteral("%1: out of memory for the preview").arg(name);
        return r;
    }
    sheet.fill(qRgb(32, 32, 32));
    r.sheetSize = sheet.size();

    for (int k = 0; k < o.frames; ++k) {
        PreviewTile &tile = r.tiles[size_t(k)];
        const int x = margin + (k % columns) * (tileW + margin);
        const int y = margin + (k / columns) * (tileH + labelH + margin);
        tile.picture = QRect(x, y, tileW, tileH);
        const QImage &picture = pictures[size_t(k)];
        if (!picture.isNull()) {
            for (int row = 0; row < tileH; ++row)
                std::memcpy(sheet.scanLine(y + row) + 3 * x, picture.constScanLine(row), size_t(3 * tileW));
        } else {
            // No picture here: a crossed-out tile.
            for (int i = 0; i < std::min(tileW, tileH); ++i) {
                sheet.setPixel(x + i * tileW / std::min(tileW, tileH), y + i * tileH / std::min(tileW, tileH), qRgb(160, 40, 40));
                sheet.setPixel(x + tileW - 1 - i * tileW / std::min(tileW, tileH), y + i * tileH / std::min(tileW, tileH), qRgb(160, 40, 40));
            }
        }
        drawText(sheet, x + 2, y + tileH + 4, labelText(tile.time), scale, qRgb(240, 240, 240));
    }
    if (o.stop && o.stop()) {
        r.error = QStringLiteral("%1: stopped").arg(name);
        return r;
    }

    QBuffer encoded(&r.png);
    if (!encoded.open(QIODevice::WriteOnly) || !sheet.save(&encoded, "PNG")) {
        r.error = QStringLiteral("%1: the picture could not be encoded").arg(name);
        return r;
    }
    if (!pngPath.isEmpty()) {
        r.error = writeOutputFile(pngPath, r.png);
        if (!r.error.isEmpty())
            return r;
    }
    r.ok = true;
    return r;
}

} // namespace korvath
