// A map of what has been read of a source, in GNU ddrescue's mapfile format,
// so that ddrescuelog and ddrescue read it too: each area finished ('+'),
// not tried ('?'), failed whole and not yet gone over sector by sector ('*'),
// not scraped ('/') or bad ('-'). Saved under a temporary name and renamed,
// so a kill at any moment leaves the old map or the new one, never half.
#pragma once

#include "source.h"

#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace korvath {

namespace mapstatus {
constexpr char kNonTried = '?';
constexpr char kNonTrimmed = '*';
constexpr char kNonScraped = '/';
constexpr char kBad = '-';
constexpr char kFinished = '+';
} // namespace mapstatus

struct MapArea {
    uint64_t pos = 0;  // bytes
    uint64_t size = 0;
    char status = mapstatus::kNonTried;
};

class RescueMap
{
public:
    explicit RescueMap(uint64_t sizeBytes = 0); // all of it not tried

    // False with `error` set when the file cannot be read, is not a mapfile,
    // or does not cover `sizeBytes` exactly (a map of another source).
    static bool load(const QString &path, uint64_t sizeBytes, RescueMap *map, QString *error);
    // Written whole under a temporary name, then renamed over `path`;
    // `durable` also waits for the disk (at the end, and now and then).
    bool save(const QString &path, QString *error, bool durable = false);

    void set(uint64_t pos, uint64_t size, char status);
    char statusAt(uint64_t pos) const;
    // Whether every byte of the span has one of `statuses`.
    bool all(uint64_t pos, uint64_t size, const char *statuses) const;
    // The areas that overlap the span, clipped to it, in order.
    std::vector<MapArea> within(uint64_t pos, uint64_t size) const;
    std::vector<MapArea> areas() const { return within(0, m_size); }
    uint64_t bytesWith(char status) const;
    uint64_t size() const { return m_size; }
    // The first byte not finished or bad, from `from` on; size() when none.
    uint64_t settledUpTo(uint64_t from = 0) const;

    // ddrescue's current position and status line: where the work is.
    uint64_t currentPos = 0;
    char currentStatus = '?';
    int currentPass = 1;
    QString commandLine; // written as a comment

private:
    std::map<uint64_t, MapArea> m_areas; // by pos, covering 0..size without gaps
    uint64_t m_size = 0;
};

// An image read through the map it was made with: every sector the map does
// not mark finished reads as unreadable, as on the disk it came from, so that
// it is named as lost and never taken for the zeros the image holds there.
class MappedImageSource : public SectorSource
{
public:
    MappedImageSource(std::shared_ptr<const SectorSource> image, RescueMap map)
        : m_image(std::move(image)), m_map(std::move(map))
    {
    }
    int64_t sectors() const override { return m_image->sectors(); }
    uint32_t read(uint64_t sector, void *buffer, uint32_t count) const override;
    std::string path() const override { return m_image->path(); }
    const RescueMap &map() const { return m_map; }

private:
    std::shared_ptr<const SectorSource> m_image;
    RescueMap m_map;
};

// "finished 12 MiB, bad 4096 B, ..." in the order ddrescuelog shows them.
QString mapSummaryText(const RescueMap &map);

} // namespace korvath
