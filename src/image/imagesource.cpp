#include "imagesource.h"

#include "drive.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <tsk/libtsk.h>

#include <algorithm>
#include <functional>
#include <mutex>

// libewf's handle API, as its libewf.h declares it. Debian ships the library
// with libtsk but not its header (libewf-dev), so the calls are declared here.
extern "C" {
struct korvath_libewf_handle;
struct korvath_libewf_error;
using libewf_handle_t = korvath_libewf_handle;
using libewf_error_t = korvath_libewf_error;
int libewf_handle_initialize(libewf_handle_t **handle, libewf_error_t **error);
int libewf_handle_free(libewf_handle_t **handle, libewf_error_t **error);
int libewf_handle_open(libewf_handle_t *handle, char *const filenames[], int number_of_filenames, int access_flags,
                       libewf_error_t **error);
int libewf_handle_close(libewf_handle_t *handle, libewf_error_t **error);
ssize_t libewf_handle_read_random(libewf_handle_t *handle, void *buffer, size_t buffer_size, off64_t offset,
                                  libewf_error_t **error);
int libewf_handle_get_media_size(libewf_handle_t *handle, uint64_t *media_size, libewf_error_t **error);
int libewf_handle_get_number_of_checksum_errors(libewf_handle_t *handle, uint32_t *number_of_errors,
                                                libewf_error_t **error);
int libewf_handle_get_checksum_error(libewf_handle_t *handle, uint32_t error_index, uint64_t *start_sector,
                                     uint64_t *number_of_sectors, libewf_error_t **error);
int libewf_handle_get_number_of_acquiry_errors(libewf_handle_t *handle, uint32_t *number_of_errors,
                                               libewf_error_t **error);
int libewf_handle_get_acquiry_error(libewf_handle_t *handle, uint32_t error_index, uint64_t *start_sector,
                                    uint64_t *number_of_sectors, libewf_error_t **error);
int libewf_handle_get_md5_hash(libewf_handle_t *handle, uint8_t *md5_hash, size_t size, libewf_error_t **error);
int libewf_handle_get_sha1_hash(libewf_handle_t *handle, uint8_t *sha1_hash, size_t size, libewf_error_t **error);
int libewf_error_sprint(libewf_error_t *error, char *string, size_t size);
void libewf_error_free(libewf_error_t **error);
}

namespace korvath {

namespace {

constexpr int kLibewfOpenRead = 0x01;
// The largest read whose byte count stays below kReadFailed.
constexpr uint32_t kMaxReadSectors = (kReadFailed - 1) / kSectorSize;

QString nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// --- Which files make up the set -------------------------------------------

// E01 names: .E01 to .E99, then .EAA, .EAB, ... .EZZ, .FAA, ... in the case
// of the first file's letter (.e01, .s01 the same way).
QString ewfExtension(QChar first, int index)
{
    if (index <= 99)
        return QString(first) + QStringLiteral("%1").arg(index, 2, 10, QLatin1Char('0'));
    const int j = index - 100;
    const QChar a = first.isUpper() ? QLatin1Char('A') : QLatin1Char('a');
    const int lead = first.unicode() + j / (26 * 26);
    if (lead > (first.isUpper() ? 'Z' : 'z'))
        return QString();
    return QString(QChar(lead)) + QChar(a.unicode() + (j / 26) % 26) + QChar(a.unicode() + j % 26);
}

// The segment number an extension stands for, or -1.
int ewfIndex(QChar first, const QString &ext)
{
    if (ext.size() != 3 || ext[0].unicode() < first.unicode())
        return -1;
    if (ext[0] == first && ext[1].isDigit() && ext[2].isDigit()) {
        const int n = ext.midRef(1).toInt();
        return n > 0 ? n : -1;
    }
    const QChar a = first.isUpper() ? QLatin1Char('A') : QLatin1Char('a');
    const int hi = ext[1].unicode() - a.unicode(), lo = ext[2].unicode() - a.unicode();
    if (hi < 0 || hi >= 26 || lo < 0 || lo >= 26)
        return -1;
    return 100 + (ext[0].unicode() - first.unicode()) * 26 * 26 + hi * 26 + lo;
}

QString splitExtension(int index, int width)
{
    return QStringLiteral("%1").arg(index, width, 10, QLatin1Char('0'));
}

// A numbered set: `stem` plus an extension. Finds the files from `firstIndex`
// up to the first gap, and fails naming the gap when a later file exists.
struct NumberedSet {
    QString stem; // path up to and including the dot
    int firstIndex = 1;
    std::function<QString(int)> extension;
    std::function<int(const QString &)> index; // -1 when not one of the set's names
    // Whether a file with one of the set's names is one of its kind: a notes
    // file "case.txt" fits the pattern of "case.e01" but is no segment.
    std::function<bool(const QString &)> isMember;
};

bool collectSet(const NumberedSet &set, QStringList *files, QString *error)
{
    for (int i = set.firstIndex;; ++i) {
        const QString ext = set.extension(i);
        if (ext.isEmpty() || !QFileInfo(set.stem + ext).isFile())
            break;
        files->append(set.stem + ext);
    }
    const int next = set.firstIndex + files->size();
    const QFileInfo stem(set.stem);
    int highest = -1, lowest = set.firstIndex;
    for (const QString &name : stem.dir().entryList(QStringList{stem.fileName() + QLatin1Char('*')}, QDir::Files)) {
        const int n = set.index(name.mid(stem.fileName().size()));
        if (n >= 0 && (!set.isMember || set.isMember(stem.dir().filePath(name)))) {
            highest = std::max(highest, n);
            lowest = std::min(lowest, n);
        }
    }
    if (lowest < set.firstIndex) {
        *error = QStringLiteral("%1 is not the first file of its set: open %2")
                     .arg(nativePath(files->first()), nativePath(set.stem + set.extension(lowest)));
        return false;
    }
    if (highest > next) {
        *error = QStringLiteral("%1 is missing from the set (%2 exists)")
                     .arg(nativePath(set.stem + set.extension(next)), nativePath(set.stem + set.extension(highest)));
        return false;
    }
    return true;
}

struct EwfSegmentFacts {
    bool ewf1 = false;  // "EVF" version 1 signature
    bool ewf2 = false;  // the Ex01 signature
    int number = 0;     // segment number in the file header
    bool endsSet = false; // the last section is "done", not "next"
    bool truncated = false; // a section lies past the file's end
    uint64_t fileBytes = 0;
    uint64_t cutAt = 0;   // where the missing section should begin
    // Of the "volume" (first segment) or "data" section (later ones), when the
    // segment has one: the set's media description and its set identifier.
    QByteArray media;     // chunks, sectors per chunk, bytes per sector, sectors
    QByteArray setId;     // 16 bytes; all zeros when the acquiring tool wrote none
    uint64_t mediaSectors = 0;
};

// Reads the segment file header and follows the section chain to its end.
EwfSegmentFacts readEwfSegment(const QString &path)
{
    static const QByteArray v1("EVF\x09\x0d\x0a\xff\x00", 8);
    static const QByteArray v2("EVF2\x0d\x0a\x81\x00", 8);
    EwfSegmentFacts facts;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return facts;
    facts.fileBytes = static_cast<uint64_t>(f.size());
    const QByteArray head = f.read(13);
    facts.ewf2 = head.startsWith(v2);
    facts.ewf1 = head.size() == 13 && head.startsWith(v1);
    if (!facts.ewf1)
        return facts;
    auto u16 = [](const QByteArray &b, int at) { return uint8_t(b[at]) | uint8_t(b[at + 1]) << 8; };
    auto u64 = [](const QByteArray &b, int at, int width = 8) {
        uint64_t v = 0;
        for (int i = width - 1; i >= 0; --i)
            v = v << 8 | uint8_t(b[at + i]);
        return v;
    };
    facts.number = u16(head, 9);
    // Each section starts with a 76-byte descriptor: type (16), next offset (8), size (8), ...
    uint64_t at = 13;
    for (int guard = 0; guard < 1000000; ++guard) {
        if (!f.seek(static_cast<qint64>(at)))
            break;
        const QByteArray d = f.read(76);
        if (d.size() != 76) {
            facts.truncated = true;
            facts.cutAt = at;
            break;
        }
        const QByteArray type = d.left(16).constData(); // up to the first zero
        if (type == "done") {
            facts.endsSet = true;
            break;
        }
        const uint64_t next = u64(d, 16);
        if ((type == "volume" || type == "disk" || type == "data") && facts.media.isEmpty()) {
            // chunks (4), sectors per chunk (4), bytes per sector (4), sectors
            // (8; 4 in the short form of the oldest format), ... the set
            // identifier at 64 in the long form.
            const QByteArray body = f.read(80);
            if (body.size() >= 24) {
                facts.media = body.mid(4, 20);
                facts.mediaSectors = u64(body, 16, body.size() >= 80 && u64(d, 24) > 76 + 94 ? 8 : 4);
            }
            if (body.size() == 80 && u64(d, 24) > 76 + 94)
                facts.setId = body.mid(64, 16);
        }
        if (type == "next" || next <= at)
            break;
        at = next;
    }
    return facts;
}

QString truncatedText(const QString &path, const EwfSegmentFacts &facts)
{
    return QStringLiteral("%1 is truncated: it ends at byte %2, where its next section should begin at byte %3")
        .arg(nativePath(path))
        .arg(facts.fileBytes)
        .arg(facts.cutAt);
}

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

// The reason `segment` cannot belong to the set `first` describes, or empty.
// A set identifier of zeros says nothing (some tools write none); then only
// the media description can tell sets apart.
QString foreignSegment(const EwfSegmentFacts &first, const EwfSegmentFacts &segment)
{
    const auto chunks = [](const EwfSegmentFacts &f) {
        return uint8_t(f.media[0]) | uint8_t(f.media[1]) << 8 | uint8_t(f.media[2]) << 16 | uint32_t(uint8_t(f.media[3])) << 24;
    };
    if (first.media.isEmpty() || segment.media.isEmpty())
        return {};
    const QByteArray none(16, '\0');
    if (!first.setId.isEmpty() && !segment.setId.isEmpty() && first.setId != none && segment.setId != first.setId)
        return QStringLiteral("set identifier %1, not %2").arg(hexText(segment.setId), hexText(first.setId));
    if (segment.media != first.media)
        return QStringLiteral("it describes another medium: %1 sectors in %2 chunks, the set %3 in %4")
            .arg(segment.mediaSectors)
            .arg(chunks(segment))
            .arg(first.mediaSectors)
            .arg(chunks(first));
    return {};
}

bool collectEwfSet(const QString &path, QStringList *files, QString *error)
{
    const QFileInfo info(path);
    const QString ext = info.suffix();
    const EwfSegmentFacts first = readEwfSegment(path);
    if (first.number > 1) {
        const QString firstName = ext.size() == 3 && ext[0].isLetter()
                                      ? nativePath(path.left(path.size() - 2) + QStringLiteral("01"))
                                      : QStringLiteral("NAME.E01");
        *error = QStringLiteral("%1 is segment %2 of its set: open the first segment, %3")
                     .arg(nativePath(path))
                     .arg(first.number)
                     .arg(firstName);
        return false;
    }
    if (ext.size() != 3 || !ext[0].isLetter() || ext.midRef(1) != QLatin1String("01")) {
        // Not named like a first segment: the other names cannot be derived.
        if (first.truncated) {
            *error = truncatedText(path, first);
            return false;
        }
        if (!first.endsSet) {
            *error = QStringLiteral("%1 does not end its set, and the other files' names cannot be told from its name "
                                    "(NAME.E01, NAME.E02, ...)")
                         .arg(nativePath(path));
            return false;
        }
        files->append(path);
        return true;
    }
    const QChar letter = ext[0];
    NumberedSet set;
    set.stem = path.left(path.size() - 3);
    set.extension = [letter](int i) { return ewfExtension(letter, i); };
    set.index = [letter](const QString &e) { return ewfIndex(letter, e); };
    set.isMember = [](const QString &file) {
        const EwfSegmentFacts f = readEwfSegment(file);
        return f.ewf1 || f.ewf2;
    };
    if (!collectSet(set, files, error))
        return false;
    for (int i = 0; i < files->size(); ++i) {
        const EwfSegmentFacts facts = i == 0 ? first : readEwfSegment(files->at(i));
        if (!facts.ewf1 || facts.number != i + 1) {
            *error = QStringLiteral("%1 is not segment %2 of the set").arg(nativePath(files->at(i))).arg(i + 1);
            return false;
        }
        if (facts.truncated) {
            *error = truncatedText(files->at(i), facts);
            return false;
        }
        const QString foreign = foreignSegment(first, facts);
        if (!foreign.isEmpty()) {
            *error = QStringLiteral("%1 belongs to another image set than %2 (%3)")
                         .arg(nativePath(files->at(i)), nativePath(files->first()), foreign);
            return false;
        }
        if (i + 1 == files->size() && !facts.endsSet) {
            *error = QStringLiteral("%1 is missing from the set (%2 does not end it)")
                         .arg(nativePath(set.stem + set.extension(i + 2)), nativePath(files->at(i)));
            return false;
        }
    }
    return true;
}

bool collectSplitSet(const QString &path, QStringList *files, QString *error)
{
    const QString ext = QFileInfo(path).suffix();
    NumberedSet set;
    set.stem = path.left(path.size() - ext.size());
    set.firstIndex = ext.toInt();
    const int width = ext.size();
    set.extension = [width](int i) { return i < 0 ? QString() : splitExtension(i, width); };
    set.index = [width](const QString &e) {
        bool ok = false;
        const int n = e.toInt(&ok);
        return ok && n >= 0 && e.size() == width ? n : -1;
    };
    if (!collectSet(set, files, error))
        return false;
    // A piece of another length shifts every byte after it.
    const qint64 piece = QFileInfo(files->first()).size();
    for (int i = 1; i + 1 < files->size(); ++i) {
        const qint64 size = QFileInfo(files->at(i)).size();
        if (size != piece) {
            *error = QStringLiteral("%1 is %2 bytes long, but every piece of a split set but the last must be as "
                                    "long as the first (%3, %4 bytes)")
                         .arg(nativePath(files->at(i)))
                         .arg(size)
                         .arg(nativePath(files->first()))
                         .arg(piece);
            return false;
        }
    }
    if (files->size() > 1 && QFileInfo(files->last()).size() > piece) {
        *error = QStringLiteral("%1 is %2 bytes long, longer than the set's pieces (%3, %4 bytes)")
                     .arg(nativePath(files->last()))
                     .arg(QFileInfo(files->last()).size())
                     .arg(nativePath(files->first()))
                     .arg(piece);
        return false;
    }
    return true;
}

bool allDigits(const QString &s)
{
    return !s.isEmpty() && std::all_of(s.begin(), s.end(), [](QChar c) { return c.isDigit(); });
}

QString hex(const uint8_t *bytes, int size)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(bytes), size).toHex());
}

} // namespace

// --- Reading -----------------------------------------------------------------

class ImageSource::Reader
{
public:
    virtual ~Reader() = default;
    // All `bytes` at `offset`, or false.
    virtual bool readWhole(uint64_t offset, void *buffer, uint32_t bytes) = 0;
    // One sector, past any cache that reads more than asked for.
    virtual bool readSector(uint64_t offset, void *buffer) = 0;
    // The first sector of [first, end) the format knows to be damaged, or end.
    virtual uint64_t firstDamaged(uint64_t, uint64_t end) { return end; }

    std::mutex lock;
};

namespace {

class TskReader : public ImageSource::Reader
{
public:
    explicit TskReader(TSK_IMG_INFO *img) : m_img(img) {}
    ~TskReader() override { tsk_img_close(m_img); }

    bool readWhole(uint64_t offset, void *buffer, uint32_t bytes) override
    {
        const ssize_t n = tsk_img_read(m_img, static_cast<TSK_OFF_T>(offset), static_cast<char *>(buffer), bytes);
        if (n < 0)
            tsk_error_reset();
        return n == static_cast<ssize_t>(bytes);
    }

    // tsk_img_read fills its cache in 64 KiB blocks, so a sector read through it
    // fails when any sector of the block does; the format's own call reads just this one.
    bool readSector(uint64_t offset, void *buffer) override
    {
        const ssize_t n = m_img->read(m_img, static_cast<TSK_OFF_T>(offset), static_cast<char *>(buffer), kSectorSize);
        if (n < 0)
            tsk_error_reset();
        return n == static_cast<ssize_t>(kSectorSize);
    }

private:
    TSK_IMG_INFO *m_img;
};

class EwfReader : public ImageSource::Reader
{
public:
    ~EwfReader() override
    {
        if (m_handle) {
            libewf_handle_close(m_handle, nullptr);
            libewf_handle_free(&m_handle, nullptr);
        }
    }

    static QString message(libewf_error_t *&error)
    {
        char text[1024] = {};
        if (error)
            libewf_error_sprint(error, text, sizeof text);
        libewf_error_free(&error);
        return QString::fromLocal8Bit(text).trimmed();
    }

    bool open(const QStringList &files, QString *error)
    {
        libewf_error_t *e = nullptr;
        if (libewf_handle_initialize(&m_handle, &e) != 1) {
            *error = QStringLiteral("libewf: %1").arg(message(e));
            return false;
        }
        std::vector<QByteArray> encoded;
        std::vector<char *> names;
        for (const QString &f : files)
            encoded.push_back(QFile::encodeName(f));
        for (QByteArray &b : encoded)
            names.push_back(b.data());
        if (libewf_handle_open(m_handle, names.data(), static_cast<int>(names.size()), kLibewfOpenRead, &e) != 1
            || libewf_handle_get_media_size(m_handle, &m_bytes, &e) != 1) {
            *error = QStringLiteral("%1 cannot be opened: %2").arg(nativePath(files.first()), message(e));
            return false;
        }
        // Sectors the acquisition could not read are in the image as zeros.
        uint32_t count = 0;
        if (libewf_handle_get_number_of_acquiry_errors(m_handle, &count, &e) != 1) {
            *error = QStringLiteral("%1: its list of unread sectors cannot be read: %2")
                         .arg(nativePath(files.first()), message(e));
            return false;
        }
        for (uint32_t i = 0; i < count; ++i) {
            Range r;
            if (libewf_handle_get_acquiry_error(m_handle, i, &r.first, &r.count, &e) != 1) {
                *error = QStringLiteral("%1: its list of unread sectors cannot be read: %2")
                             .arg(nativePath(files.first()), message(e));
                return false;
            }
            m_notAcquired.push_back(r);
        }
        return true;
    }

    uint64_t bytes() const { return m_bytes; }

    std::vector<StoredHash> hashes()
    {
        std::vector<StoredHash> out;
        uint8_t digest[20] = {};
        if (libewf_handle_get_md5_hash(m_handle, digest, 16, nullptr) == 1)
            out.push_back({QStringLiteral("MD5"), hex(digest, 16)});
        if (libewf_handle_get_sha1_hash(m_handle, digest, 20, nullptr) == 1)
            out.push_back({QStringLiteral("SHA-1"), hex(digest, 20)});
        return out;
    }

    bool readWhole(uint64_t offset, void *buffer, uint32_t bytes) override
    {
        libewf_error_t *e = nullptr;
        const ssize_t n = libewf_handle_read_random(m_handle, buffer, bytes, static_cast<off64_t>(offset), &e);
        libewf_error_free(&e);
        return n == static_cast<ssize_t>(bytes);
    }

    bool readSector(uint64_t offset, void *buffer) override { return readWhole(offset, buffer, kSectorSize); }

    // libewf hands a chunk that fails its checksum back as zeros and records
    // the chunk's sectors, so the record says which sectors were never read.
    // Sectors the acquisition could not read count the same way.
    uint64_t firstDamaged(uint64_t first, uint64_t end) override
    {
        uint64_t found = end;
        auto meet = [&](const Range &r) {
            if (r.first < end && r.first + r.count > first)
                found = std::min(found, std::max(r.first, first));
        };
        for (const Range &r : m_notAcquired)
            meet(r);
        uint32_t count = 0;
        if (libewf_handle_get_number_of_checksum_errors(m_handle, &count, nullptr) != 1)
            return first; // nothing can be vouched for
        for (uint32_t i = 0; i < count; ++i) {
            Range r;
            if (libewf_handle_get_checksum_error(m_handle, i, &r.first, &r.count, nullptr) != 1)
                return first;
            meet(r);
        }
        return found;
    }

private:
    struct Range {
        uint64_t first = 0;
        uint64_t count = 0;
    };
    std::vector<Range> m_notAcquired;
    libewf_handle_t *m_handle = nullptr;
    uint64_t m_bytes = 0;
};

} // namespace

std::unique_ptr<ImageSource> ImageSource::open(const QString &path, QString *error)
{
    QString ignored;
    if (!error)
        error = &ignored;
    const QFileInfo info(path);
    if (!info.isFile()) {
        *error = QStringLiteral("%1: no such image file").arg(nativePath(path));
        return nullptr;
    }
    std::unique_ptr<ImageSource> source(new ImageSource);
    const EwfSegmentFacts ewf = readEwfSegment(path);
    if (ewf.ewf2) {
        *error = QStringLiteral("%1 is an Ex01 image, which this build cannot read").arg(nativePath(path));
        return nullptr;
    }
    if (ewf.ewf1) {
        QStringList files;
        if (!collectEwfSet(path, &files, error))
            return nullptr;
        auto reader = std::make_unique<EwfReader>();
        if (!reader->open(files, error))
            return nullptr;
        source->m_kind = Kind::E01;
        source->m_segments = files;
        source->m_sectors = reader->bytes() / kSectorSize;
        source->m_hashes = reader->hashes();
        source->m_reader = std::move(reader);
        return source;
    }

    // The format is chosen here, not by the library's detection: that would try
    // VMDK and VHD first (and leak their handles when they fail), and a raw
    // disk must never be taken for something else.
    QFile probe(path);
    const bool aff = probe.open(QIODevice::ReadOnly) && probe.read(8) == QByteArray("AFF10\r\n\0", 8);
    QStringList files{path};
    if (!aff && allDigits(info.suffix())) {
        files.clear();
        if (!collectSplitSet(path, &files, error))
            return nullptr;
    }
    std::vector<QByteArray> encoded;
    std::vector<const char *> names;
    for (const QString &f : files)
        encoded.push_back(f.toUtf8());
    for (const QByteArray &b : encoded)
        names.push_back(b.constData());
    TSK_IMG_INFO *img = tsk_img_open_utf8(static_cast<int>(names.size()), names.data(),
                                          aff ? TSK_IMG_TYPE_AFF_ANY : TSK_IMG_TYPE_RAW, kSectorSize);
    if (!img) {
        *error = QStringLiteral("%1 cannot be opened: %2").arg(nativePath(path), QString::fromUtf8(tsk_error_get()));
        tsk_error_reset();
        return nullptr;
    }
    source->m_reader = std::make_unique<TskReader>(img);
    source->m_sectors = static_cast<uint64_t>(img->size) / kSectorSize;
    source->m_kind = aff ? Kind::Aff : files.size() > 1 ? Kind::SplitRaw : Kind::Raw;
    source->m_segments = files;
    source->m_path = path.toStdString();
    return source;
}

ImageSource::~ImageSource() = default;

uint32_t ImageSource::read(uint64_t sector, void *buffer, uint32_t count) const
{
    if (sector >= m_sectors || count == 0)
        return 0;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>({count, m_sectors - sector, kMaxReadSectors}));
    auto *out = static_cast<uint8_t *>(buffer);
    std::lock_guard<std::mutex> hold(m_reader->lock);
    uint64_t good = 0;
    if (m_reader->readWhole(sector * kSectorSize, out, n * kSectorSize)) {
        good = m_reader->firstDamaged(sector, sector + n) - sector;
    } else {
        // Sector by sector up to the first that cannot be read.
        while (good < n && m_reader->readSector((sector + good) * kSectorSize, out + good * kSectorSize)
               && m_reader->firstDamaged(sector + good, sector + good + 1) == sector + good + 1)
            ++good;
    }
    return good > 0 ? static_cast<uint32_t>(good * kSectorSize) : kReadFailed;
}

} // namespace korvath

namespace {

std::unique_ptr<korvath::SectorSource> openForPrograms(const QString &path, korvath::ImageFacts *facts, QString *error)
{
    std::unique_ptr<korvath::ImageSource> image = korvath::ImageSource::open(path, error);
    if (image)
        *facts = {image->kind(), image->kindName(), image->segments(), image->storedHashes()};
    return image;
}

} // namespace

extern "C" Q_DECL_EXPORT void *korvath_image_module()
{
    static const korvath::ImageModule module{&openForPrograms};
    return const_cast<korvath::ImageModule *>(&module);
}
