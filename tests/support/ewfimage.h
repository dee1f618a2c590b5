// E01 images for the tests: made with ewfacquire from a raw image, and their
// segments altered as damage, a careless copy or another tool would leave them.
// An E01 segment is a header (13 bytes) and a chain of sections, each opened by
// a 76-byte descriptor: type (16), next offset (8), size (8), ..., Adler-32 (4).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace korvath {
namespace testkit {

constexpr uint32_t kEwfChunkSectors = 64; // ewfacquire's default

// Runs a program to its end; false with its output in `error` when it fails.
bool runTool(const QString &program, const QStringList &args, QString *error);
// ewfacquire of `raw` into `target` (a path without extension) with `options`.
bool ewfAcquire(const QString &raw, const QString &target, const QStringList &options, QString *error);

uint32_t adler32(const QByteArray &bytes);
void putU32(QByteArray &bytes, int at, uint32_t value);

// Where chunk `k` is stored in the first table section of a segment.
bool chunkExtent(const QString &segment, uint32_t k, uint64_t *start, uint64_t *end);
// Overwrites the middle of the chunk holding `sector`, so that it fails its checksum.
bool corruptChunk(const QString &segment, uint64_t sector, QString *error);
// Writes `id` (16 bytes) as the set identifier of the segment's volume or data
// section and mends the section's checksum, as a tool that writes one would.
bool setEwfSetIdentifier(const QString &segment, const QByteArray &id, QString *error);

} // namespace testkit
} // namespace korvath
