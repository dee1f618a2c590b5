#include "ewfimage.h"

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace korvath {
namespace testkit {

namespace {

uint64_t u64(const QByteArray &d, int at)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | uint8_t(d[at + i]);
    return v;
}

uint32_t u32(const QByteArray &d, int at)
{
    return uint32_t(u64(d.mid(at, 4) + QByteArray(4, '\0'), 0));
}

// The offset of the first section of one of `types`, or -1.
int findSection(const QByteArray &d, const QList<QByteArray> &types)
{
    for (int at = 13; at + 76 <= d.size();) {
        if (types.contains(QByteArray(d.mid(at, 16).constData())))
            return at;
        const uint64_t next = u64(d, at + 16);
        if (next <= uint64_t(at) || next > uint64_t(d.size()))
            return -1;
        at = int(next);
    }
    return -1;
}

} // namespace

bool runTool(const QString &program, const QStringList &args, QString *error)
{
    const ProcessRun r = runProgram(program, args);
    if (r.code != 0)
        *error = program + QLatin1Char(' ') + args.join(QLatin1Char(' ')) + QStringLiteral(": ")
                 + (r.out + r.err).right(400);
    return r.code == 0;
}

bool ewfAcquire(const QString &raw, const QString &target, const QStringList &options, QString *error)
{
    QDir().mkpath(QFileInfo(target).path());
    return runTool(QStringLiteral("ewfacquire"),
                   QStringList{QStringLiteral("-u"), QStringLiteral("-q"), QStringLiteral("-t"), target} + options
                       + QStringList{raw},
                   error);
}

uint32_t adler32(const QByteArray &bytes)
{
    uint32_t a = 1, c = 0;
    for (char x : bytes) {
        a = (a + uint8_t(x)) % 65521;
        c = (c + a) % 65521;
    }
    return c << 16 | a;
}

void putU32(QByteArray &bytes, int at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = char(value >> (8 * i));
}

// A table holds a count, a base offset and one 32-bit entry per chunk (top bit: compressed).
bool chunkExtent(const QString &segment, uint32_t k, uint64_t *start, uint64_t *end)
{
    const QByteArray d = fileBytes(segment);
    const int at = findSection(d, {"table"});
    if (at < 0)
        return false;
    const int body = at + 76;
    const uint32_t entries = u32(d, body);
    const uint64_t base = u64(d, body + 8);
    if (k + 1 >= entries)
        return false;
    *start = base + (u32(d, body + 24 + 4 * int(k)) & 0x7FFFFFFFu);
    *end = base + (u32(d, body + 24 + 4 * int(k + 1)) & 0x7FFFFFFFu);
    return true;
}

bool corruptChunk(const QString &segment, uint64_t sector, QString *error)
{
    uint64_t start = 0, end = 0;
    if (!chunkExtent(segment, uint32_t(sector / kEwfChunkSectors), &start, &end)) {
        *error = QStringLiteral("no table entry in ") + segment;
        return false;
    }
    QFile f(segment);
    if (!f.open(QIODevice::ReadWrite) || !f.seek(qint64(start + (end - start) / 2)) || f.write("BROKEN!!", 8) != 8) {
        *error = QStringLiteral("cannot damage ") + segment;
        return false;
    }
    return true;
}

// The set identifier lies at byte 64 of the long volume body; its checksum
// is the body's last four bytes.
bool setEwfSetIdentifier(const QString &segment, const QByteArray &id, QString *error)
{
    QByteArray d = fileBytes(segment);
    const int at = findSection(d, {"volume", "disk", "data"});
    const int size = at < 0 ? 0 : int(u64(d, at + 24));
    if (at < 0 || size <= 76 + 94 || at + size > d.size() || id.size() != 16) {
        *error = QStringLiteral("no volume section with a set identifier in ") + segment;
        return false;
    }
    const int body = at + 76, length = size - 76;
    d.replace(body + 64, 16, id);
    putU32(d, body + length - 4, adler32(d.mid(body, length - 4)));
    QFile f(segment);
    if (!f.open(QIODevice::ReadWrite) || !f.seek(0) || f.write(d) != d.size()) {
        *error = QStringLiteral("cannot write ") + segment;
        return false;
    }
    return true;
}

} // namespace testkit
} // namespace korvath
