// The case report korvath-cli writes, read back for the tests.
#pragma once

#include <QFile>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QXmlStreamReader>
#include <cstdint>
#include <vector>

namespace korvath {
namespace testkit {

struct ByteSpan {
    uint64_t fileOffset, imgOffset, len;
    bool fill;
};
struct FileObject {
    QString filename, sha256;
    uint64_t size = 0;
    std::vector<ByteSpan> runs;
};
struct Report {
    std::vector<FileObject> files;
    QMap<QString, QString> notWritten; // name -> reason
    QStringList imageHashes;           // "type:hex"
    bool ok = false;
};

inline Report readReport(const QString &path)
{
    Report r;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return r;
    QXmlStreamReader x(&f);
    FileObject *file = nullptr;
    bool inFile = false, inSource = false;
    while (!x.atEnd()) {
        x.readNext();
        if (x.isEndElement() && x.name() == QLatin1String("fileobject"))
            inFile = false;
        if (x.isEndElement() && x.name() == QLatin1String("source"))
            inSource = false;
        if (!x.isStartElement())
            continue;
        const QStringRef n = x.name();
        if (n == QLatin1String("source")) {
            inSource = true;
        } else if (n == QLatin1String("fileobject")) {
            r.files.emplace_back();
            file = &r.files.back();
            inFile = true;
        } else if (inFile && n == QLatin1String("filename")) {
            file->filename = x.readElementText();
        } else if (inFile && n == QLatin1String("filesize")) {
            file->size = x.readElementText().toULongLong();
        } else if (inFile && n == QLatin1String("byte_run")) {
            const QXmlStreamAttributes a = x.attributes();
            file->runs.push_back({a.value("file_offset").toULongLong(), a.value("img_offset").toULongLong(),
                                  a.value("len").toULongLong(), a.hasAttribute("fill")});
        } else if (inFile && n == QLatin1String("hashdigest")) {
            file->sha256 = x.readElementText();
        } else if (n == QLatin1String("not_written")) {
            const QString name = x.attributes().value("name").toString();
            r.notWritten.insert(name, x.readElementText());
        } else if (inSource && n == QLatin1String("hashdigest")) {
            const QString type = x.attributes().value("type").toString();
            r.imageHashes << type + ":" + x.readElementText();
        }
    }
    r.ok = !x.hasError();
    return r;
}

} // namespace testkit
} // namespace korvath
