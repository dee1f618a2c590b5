#include "outputfile.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace korvath {

QString cameraFolderPath(const QString &savePath, uint32_t channel)
{
    return savePath + QStringLiteral("//") + QStringLiteral("CAM%1").arg(static_cast<int32_t>(channel + 1u));
}

QString makeOutputFolder(const QString &folderPath)
{
    const QFileInfo folder(QDir::cleanPath(folderPath));
    // A link would send the outputs wherever it points.
    if (folder.isSymLink())
        return QStringLiteral("a link is in the way (outputs go only into real folders)");
    if (folder.isDir())
        return {};
    if (QDir().mkdir(folder.filePath()) && QFileInfo(folder.filePath()).isDir())
        return {};
    const QFileInfo parent(folder.path());
    const QString parentName = QDir::toNativeSeparators(parent.filePath());
    if (QFileInfo::exists(folder.filePath()))
        return QStringLiteral("a file of that name is in the way");
    if (!parent.exists())
        return QStringLiteral("the save folder %1 does not exist").arg(parentName);
    if (!parent.isDir())
        return QStringLiteral("%1 is a file, not a folder").arg(parentName);
    if (!parent.isWritable())
        return QStringLiteral("the save folder %1 is not writable").arg(parentName);
    return QStringLiteral("the system refused to make it in %1").arg(parentName);
}

QString partialPath(const QString &finalPath)
{
    return finalPath + QStringLiteral(".part");
}

namespace {

QString systemReason(int cause)
{
    return QString::fromLocal8Bit(std::strerror(cause));
}

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace

OutputFile::OutputFile(const QString &finalPath)
    : m_final(finalPath), m_partial(partialPath(finalPath)), m_file(m_partial)
{
}

OutputFile::~OutputFile()
{
    if (!m_settled)
        discard();
}

bool OutputFile::fail(Step step, const QString &what, const QString &reason)
{
    m_step = step;
    m_reason = reason;
    m_error = QStringLiteral("%1: %2").arg(what, reason);
    return false;
}

bool OutputFile::open()
{
    // What a killed run left at the temporary name is ours to replace; a link
    // there is removed, never followed, and one that appears in between makes
    // the exclusive open fail rather than be followed.
    const QString partial = m_partial;
    const QFileInfo left(partial);
    if (left.isSymLink() || (left.exists() && !left.isDir()))
        QFile::remove(partial);
    // Unbuffered: every write reaches the system and is checked there, none
    // is left to fail unseen at close.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return fail(Step::Create, QStringLiteral("cannot create %1").arg(shown(partial)), m_file.errorString());
    return true;
}

bool OutputFile::openToContinue()
{
    const QString partial = m_partial;
#ifdef _WIN32
    const QFileInfo left(partial);
    if (left.isSymLink() || !left.isFile())
        return fail(Step::Create, QStringLiteral("cannot go on with %1").arg(shown(partial)),
                    QStringLiteral("it is not a regular file"));
    if (!m_file.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return fail(Step::Create, QStringLiteral("cannot open %1").arg(shown(partial)), m_file.errorString());
#else
    // O_NOFOLLOW: a link put there in between makes the open fail.
    const int fd = ::open(QFile::encodeName(partial).constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return fail(Step::Create, QStringLiteral("cannot open %1").arg(shown(partial)), systemReason(errno));
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(Step::Create, QStringLiteral("cannot go on with %1").arg(shown(partial)),
                    QStringLiteral("it is not a regular file"));
    }
    if (!m_file.open(fd, QIODevice::ReadWrite | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return fail(Step::Create, QStringLiteral("cannot open %1").arg(shown(partial)), m_file.errorString());
    }
#endif
    return seek(m_file.size());
}

void OutputFile::keep()
{
    m_settled = true;
    m_file.close();
}

bool OutputFile::write(const void *bytes, qint64 size)
{
    // A device that fills up first takes part of a write without an error;
    // writing the rest again makes the failing write say why.
    const char *p = static_cast<const char *>(bytes);
    for (qint64 wrote = 0; wrote < size;) {
        const qint64 n = m_file.write(p + wrote, size - wrote);
        if (n <= 0)
            return fail(Step::Write, QStringLiteral("cannot write %1").arg(shown(m_partial)),
                        m_file.errorString());
        wrote += n;
    }
    return true;
}

bool OutputFile::seek(qint64 position)
{
    if (m_file.seek(position))
        return true;
    return fail(Step::Write, QStringLiteral("cannot seek in %1").arg(shown(m_partial)), m_file.errorString());
}

bool OutputFile::commit()
{
    const QString partial = m_partial;
    if (!m_file.isOpen())
        return fail(Step::Create, QStringLiteral("cannot complete %1").arg(shown(partial)),
                    QStringLiteral("it is not open"));
    // On the disk before it has its name, so that no crash leaves an empty or
    // cut file under the name; some file systems report a lost write only here.
#ifdef _WIN32
    if (!FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(m_file.handle()))))
        return fail(Step::Sync, QStringLiteral("cannot flush %1 to the disk").arg(shown(partial)),
                    QStringLiteral("error %1").arg(GetLastError()));
#else
    if (::fsync(m_file.handle()) != 0)
        return fail(Step::Sync, QStringLiteral("cannot flush %1 to the disk").arg(shown(partial)), systemReason(errno));
#endif
    m_file.close();
    if (m_file.error() != QFileDevice::NoError)
        return fail(Step::Close, QStringLiteral("cannot close %1").arg(shown(partial)), m_file.errorString());
    // QFile::rename will not replace, and removing first would leave a moment
    // with neither file: the system's own rename replaces in one step.
    const QString what = QStringLiteral("cannot rename %1 to %2").arg(shown(partial), shown(m_final));
#ifdef _WIN32
    if (!MoveFileExW(reinterpret_cast<const wchar_t *>(shown(partial).utf16()),
                     reinterpret_cast<const wchar_t *>(shown(m_final).utf16()),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return fail(Step::Rename, what, QStringLiteral("error %1").arg(GetLastError()));
#else
    if (std::rename(QFile::encodeName(partial).constData(), QFile::encodeName(m_final).constData()) != 0)
        return fail(Step::Rename, what, systemReason(errno));
#endif
    m_settled = true;
    return true;
}

QString OutputFile::discard()
{
    m_settled = true;
    m_file.close();
    const QFileInfo info(m_partial);
    if (!info.exists() && !info.isSymLink())
        return QStringLiteral("no file was left");
    // A folder at the temporary name was never ours.
    if (info.isDir() && !info.isSymLink())
        return QStringLiteral("no file was left");
    return QFile::remove(m_partial) ? QStringLiteral("the incomplete file was removed")
                                            : QStringLiteral("the incomplete file %1 could not be removed")
                                                  .arg(shown(m_partial));
}

QString writeOutputFile(const QString &path, const QByteArray &bytes)
{
    OutputFile file(path);
    if (file.open() && file.write(bytes) && file.commit())
        return {};
    return file.errorString();
}

namespace {

// Who a path is: the file itself where it exists, else the canonical path of
// the nearest folder that exists with the rest of the path below it.
QString fileKey(const QString &path)
{
#ifndef _WIN32
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
        if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode))
            return QStringLiteral("device:%1").arg(static_cast<qulonglong>(st.st_rdev));
        return QStringLiteral("inode:%1:%2").arg(static_cast<qulonglong>(st.st_dev)).arg(static_cast<qulonglong>(st.st_ino));
    }
#endif
    QString head = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QString rest;
    for (;;) {
        const QString canonical = QFileInfo(head).canonicalFilePath();
        const int slash = head.lastIndexOf(QLatin1Char('/'));
        if (!canonical.isEmpty() || slash < 0) {
            QString base = canonical.isEmpty() ? head : canonical;
            if (base.endsWith(QLatin1Char('/')))
                base.chop(1);
            QString key = QStringLiteral("path:") + base + rest;
#ifdef _WIN32
            key = key.toLower();
#endif
            return key;
        }
        rest.prepend(head.mid(slash));
        head = head.left(slash);
        if (head.isEmpty() || head.endsWith(QLatin1Char(':')))
            head += QLatin1Char('/');
    }
}

} // namespace

void OutputClaims::add(const QString &path, const QString &what)
{
    m_claims.append({fileKey(path), what});
}

void OutputClaims::addSource(const QString &path, const QString &what)
{
    add(path, what);
    m_claims.last().source = true;
}

void OutputClaims::addFile(const QString &path, const QString &what)
{
    add(path, what);
    add(partialPath(path), QStringLiteral("the temporary name of %1").arg(what));
}

void OutputClaims::addFolder(const QString &path, const QString &what)
{
    add(path, what);
}

QString OutputClaims::clash() const
{
    QHash<QString, int> first;
    for (int j = 0; j < m_claims.size(); ++j) {
        const Claim &b = m_claims[j];
        const auto found = first.constFind(b.key);
        if (found == first.constEnd()) {
            first.insert(b.key, j);
            continue;
        }
        const Claim &a = m_claims[*found];
        if (!(a.source && b.source) && a.what != b.what)
            return QStringLiteral("%1 is %2").arg(b.what, a.what);
    }
    return {};
}

} // namespace korvath
