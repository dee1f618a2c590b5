// Evidence images as sources: a raw file, a split raw set (disk.001, .002, ...),
// an E01 set (case.E01, .E02, ...) or an AFF file, opened read-only and read in
// sectors like a drive. Raw, split raw and AFF go through The Sleuth Kit's image
// layer; E01 goes through libewf itself, because the image layer hands back a
// chunk that fails its checksum as zeros without a word.
#pragma once

#include "module.h"
#include "source.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <vector>

namespace korvath {

struct StoredHash {
    QString type; // "MD5", "SHA-1"
    QString hex;  // lower case
};

class ImageSource : public SectorSource
{
public:
    enum class Kind { Raw, SplitRaw, E01, Aff };

    // The first file of the set. A set with a file missing, or a file that is
    // not the first of its set, is an error that names the file concerned.
    static std::unique_ptr<ImageSource> open(const QString &path, QString *error);
    ~ImageSource() override;
    ImageSource(const ImageSource &) = delete;
    ImageSource &operator=(const ImageSource &) = delete;

    int64_t sectors() const override { return static_cast<int64_t>(m_sectors); }
    // Bytes read: all of them, fewer when the end comes first or a sector
    // cannot be read (the count stops before it), kReadFailed when the first
    // sector cannot be read. Safe to call from several threads.
    uint32_t read(uint64_t sector, void *buffer, uint32_t count) const override;
    std::string path() const override { return m_path; }

    Kind kind() const { return m_kind; }
    // "raw", "split raw", "E01", "AFF"; inline, as the programs reach this
    // class through the module and call only what its table of functions gives.
    QString kindName() const
    {
        switch (m_kind) {
        case Kind::SplitRaw:
            return QStringLiteral("split raw");
        case Kind::E01:
            return QStringLiteral("E01");
        case Kind::Aff:
            return QStringLiteral("AFF");
        case Kind::Raw:
            break;
        }
        return QStringLiteral("raw");
    }
    QStringList segments() const { return m_segments; }
    // The hashes the image keeps of its own contents (E01: the acquisition's MD5, SHA-1).
    std::vector<StoredHash> storedHashes() const { return m_hashes; }

    class Reader; // the format's read call
private:
    ImageSource() = default;

    std::unique_ptr<Reader> m_reader;
    uint64_t m_sectors = 0;
    Kind m_kind = Kind::Raw;
    QStringList m_segments;
    std::string m_path;
    std::vector<StoredHash> m_hashes;
};

// What the programs learn of an opened set. They see the set only as a
// SectorSource: the class itself lives in the module.
struct ImageFacts {
    ImageSource::Kind kind = ImageSource::Kind::Raw;
    QString kindName;
    QStringList segments;
    std::vector<StoredHash> hashes;
};

// What the programs call of this layer: it is a module, loaded on demand.
struct ImageModule {
    std::unique_ptr<SectorSource> (*open)(const QString &path, ImageFacts *facts, QString *error);
};
// The module, loaded the first time; null, with the reason, in a build without it.
inline const ImageModule *imageModule(QString *error)
{
    const ModuleEntry entry = moduleEntry("korvath_image", "korvath_image_module", error);
    return entry ? static_cast<const ImageModule *>(entry()) : nullptr;
}

} // namespace korvath
