// Where output files go, and the one way every output (native copy, MP4,
// report, page, picture) gets there: whole under its name, or absent.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <cstdint>

namespace korvath {

// "<save>//CAM<channel+1>", the channel read as a signed number.
QString cameraFolderPath(const QString &savePath, uint32_t channel);

// Makes a folder Korvath writes into (a camera folder, `playable`) below an
// existing folder; an empty result means it is a real folder now, otherwise
// the text says why not. A link standing at its name is refused, never
// followed.
QString makeOutputFolder(const QString &folderPath);

// The name a file is written under until it is complete: a cut-off copy
// never carries the output's name.
QString partialPath(const QString &finalPath);

// One output file on its way. open() makes partialPath(final) new in the
// target's folder (a file or link left at that name by a killed run is
// removed first, never followed; a folder there makes it fail); every write
// is checked; commit() flushes it to the disk, closes it and gives it its
// name in one step over whatever stood there (a link there is replaced, never
// written through). Uncommitted, the temporary file is removed.
class OutputFile
{
public:
    explicit OutputFile(const QString &finalPath);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    bool open();
    // Goes on with the temporary file an earlier run left (read-write, at its
    // end): only a regular file, never through a link.
    bool openToContinue();
    bool write(const void *bytes, qint64 size);
    bool write(const QByteArray &bytes) { return write(bytes.constData(), bytes.size()); }
    bool seek(qint64 position);
    qint64 position() const { return m_file.pos(); }
    qint64 size() const { return m_file.size(); }
    bool commit();
    // Removes the temporary file; says what was left ("the incomplete file was removed").
    QString discard();
    // Closes it and leaves the temporary file where it is, for a later run to go on from.
    void keep();

    bool isOpen() const { return m_file.isOpen(); }
    QString finalPath() const { return m_final; }
    QString temporaryPath() const { return m_partial; }
    // Why the last step failed, with the system's reason: "cannot rename
    // case.xml.part to case.xml: Permission denied".
    QString errorString() const { return m_error; }
    // The system's reason alone ("No space left on device"), and the step it stopped at.
    QString reason() const { return m_reason; }
    enum class Step { None, Create, Write, Sync, Close, Rename };
    Step failedStep() const { return m_step; }

private:
    bool fail(Step step, const QString &what, const QString &reason);
    QString m_final;
    QString m_partial; // kept here: a QFile opened from a descriptor forgets its name
    QFile m_file;
    QString m_error, m_reason;
    Step m_step = Step::None;
    bool m_settled = false; // committed or discarded
};

// Writes bytes as one output file; empty, or why not (nothing is then left).
QString writeOutputFile(const QString &path, const QByteArray &bytes);

// The outputs of one command and what they must never be: the source or a
// file of its set, another output, its temporary name or a folder an output
// goes into. Files are compared by device and inode where they exist (after
// following links), by canonical path otherwise.
class OutputClaims
{
public:
    // `what` names it in a refusal: "the source", "--report 'case.xml'".
    void addSource(const QString &path, const QString &what);
    // An output file, with its temporary name.
    void addFile(const QString &path, const QString &what);
    // A folder outputs are written into.
    void addFolder(const QString &path, const QString &what);
    // The first clash, as "<what> is <what>", or empty.
    QString clash() const;

private:
    struct Claim {
        QString key, what;
        bool source = false;
    };
    void add(const QString &path, const QString &what);
    QList<Claim> m_claims;
};

} // namespace korvath
