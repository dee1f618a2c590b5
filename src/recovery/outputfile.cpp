#include "outputfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace korvath {

QString cameraFolderPath(const QString &savePath, uint32_t channel)
{
    return savePath + QStringLiteral("//") + QStringLiteral("CAM%1").arg(static_cast<int32_t>(channel + 1u));
}

QString makeCameraFolder(const QString &folderPath)
{
    if (QDir(folderPath).exists())
        return {};
    if (QDir().mkdir(folderPath) && QDir(folderPath).exists())
        return {};
    const QFileInfo folder(QDir::cleanPath(folderPath));
    const QFileInfo parent(folder.path());
    const QString parentName = QDir::toNativeSeparators(parent.filePath());
    if (folder.exists())
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

QString commitPartial(const QString &partial, const QString &finalPath)
{
    // QFile::rename will not replace, and removing first would leave a moment
    // with neither file: the system's own rename replaces in one step.
#ifdef _WIN32
    if (MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(partial).utf16()),
                    reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(finalPath).utf16()),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return {};
    return QStringLiteral("it could not be renamed from its temporary name (error %1)").arg(GetLastError());
#else
    if (std::rename(QFile::encodeName(partial).constData(), QFile::encodeName(finalPath).constData()) == 0)
        return {};
    const int cause = errno;
    return QStringLiteral("it could not be renamed from its temporary name (%1)")
        .arg(QString::fromLocal8Bit(std::strerror(cause)));
#endif
}

QString discardPartial(const QString &partial)
{
    const QFileInfo info(partial);
    if (!info.exists() && !info.isSymLink())
        return QStringLiteral("no file was left");
    return QFile::remove(partial) ? QStringLiteral("the incomplete file was removed")
                                  : QStringLiteral("the incomplete file %1 could not be removed")
                                        .arg(QDir::toNativeSeparators(partial));
}

} // namespace korvath
