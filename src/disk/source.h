// What the recorder's format is read from: a drive through the five drive
// operations, or an evidence image. Everything above this layer reads
// through it and cannot tell the difference.
#pragma once

#include "drive.h"

#include <cstdint>
#include <string>

namespace korvath {

class SectorSource
{
public:
    virtual ~SectorSource() = default;

    // The length in sectors, as the layout takes it.
    virtual int64_t sectors() const = 0;
    // Reads `count` sectors from absolute sector `sector`: the bytes read (a
    // short count at the end or before an unreadable sector), or kReadFailed.
    virtual uint32_t read(uint64_t sector, void *buffer, uint32_t count) const = 0;
    // The path it was opened from, for messages and reports.
    virtual std::string path() const = 0;
};

// A drive opened by the drive layer; the handle stays the caller's.
class DriveSource : public SectorSource
{
public:
    explicit DriveSource(DriveHandle handle, std::string path = {}) : m_handle(handle), m_path(std::move(path)) {}

    DriveHandle handle() const { return m_handle; }
    int64_t sectors() const override { return queryDriveSectors(m_handle); }
    uint32_t read(uint64_t sector, void *buffer, uint32_t count) const override
    {
        // Positioned reads: a read abandoned on another thread (a hung
        // sector) can never move where this one reads.
        return readSectorsAt(m_handle, sector, buffer, count);
    }
    std::string path() const override { return m_path; }

private:
    DriveHandle m_handle;
    std::string m_path;
};

} // namespace korvath

#include <functional>

namespace korvath {

// Reads through a function: lets format logic run over memory or a failing
// read in tests, without a disk.
using SectorReader = std::function<uint32_t(uint64_t sector, void *buffer, uint32_t count)>;

class FunctionSource : public SectorSource
{
public:
    FunctionSource(SectorReader reader, int64_t sectors, std::string path = {})
        : m_reader(std::move(reader)), m_sectors(sectors), m_path(std::move(path))
    {
    }
    int64_t sectors() const override { return m_sectors; }
    uint32_t read(uint64_t sector, void *buffer, uint32_t count) const override { return m_reader(sector, buffer, count); }
    std::string path() const override { return m_path; }

private:
    SectorReader m_reader;
    int64_t m_sectors;
    std::string m_path;
};

} // namespace korvath
