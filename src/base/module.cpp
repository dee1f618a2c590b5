#include "module.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibrary>
#include <QMutex>

namespace korvath {

ModuleEntry moduleEntry(const char *name, const char *entry, QString *error)
{
    static QMutex mutex;
    QMutexLocker lock(&mutex);
    const QString dir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
    // QLibrary adds the platform's prefix and suffix (libNAME.so, NAME.dll).
    QLibrary library(dir.isEmpty() ? QString::fromLatin1(name) : QDir(dir).filePath(QString::fromLatin1(name)));
    if (!library.load()) {
        if (error)
            *error = library.errorString();
        return nullptr;
    }
    // Kept loaded for the life of the process: what it returned stays in use.
    auto f = reinterpret_cast<ModuleEntry>(library.resolve(entry));
    if (!f && error)
        *error = library.errorString();
    return f;
}

} // namespace korvath
