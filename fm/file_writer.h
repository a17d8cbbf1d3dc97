#pragma once

#include <QByteArrayView>
#include <QString>

// Every file the programs write themselves (report files, the joined change upload, the
// report list, saved memo text, decode output, traces) goes through these functions, so that
// a full disk or a name that is not a file never passes for success. Each write, the flush to
// disk and the close are checked. Errors are the system's reason ("No space left on device")
// for the caller to put after the path.

// Why Path cannot be written as a file, or empty when it can: it does not exist yet, or it is
// a regular file, also at the end of a chain of symbolic links. A directory, a named pipe, a
// device or a socket is refused without being opened: opening a FIFO for writing waits for a
// reader for ever, and replacing a device node by a file would destroy it.
QString WriteTargetProblem(const QString& Path);

// Replaces the file at Path by Bytes. The new content is written to a temporary file in the
// same folder, flushed to disk and closed, and only then renamed over the old file, so a
// failure at any step leaves the old file as it was. A symbolic link is written through: its
// final target is replaced and the link stays a link. An existing file keeps its permissions;
// one that may not be written (read-only) is refused. Returns empty on success, else the
// reason.
[[nodiscard]] QString ReplaceFileContents(const QString& Path, QByteArrayView Bytes);

enum class NewFileResult {
    Written,
    NameTaken, // something of that name exists (also a dangling symbolic link): nothing done
    Failed,    // Error holds the reason; nothing is left under the name
};

// Creates Path, which must not exist, holding Bytes. A file that could not be written whole is
// removed again.
[[nodiscard]] NewFileResult WriteNewFile(const QString& Path, QByteArrayView Bytes, QString& Error);

// A file written piece by piece and straight through to the system (nothing is buffered in
// the process), for traces: what was written is there even when the process is killed. After
// the first failure every further Write fails too and Error() keeps the first reason.
class StreamFile {
public:
    StreamFile() = default;
    ~StreamFile();
    StreamFile(const StreamFile&) = delete;
    StreamFile& operator=(const StreamFile&) = delete;

    // Creates Path or empties it. Accepts the same names as ReplaceFileContents.
    bool Open(const QString& Path);
    bool Write(QByteArrayView Bytes);
    // Flushes to disk and closes. False when this or any earlier step failed.
    bool Close();

    bool IsOpen() const { return m_fd >= 0; }
    bool Failed() const { return !m_error.isEmpty(); }
    const QString& Error() const { return m_error; }

private:
    bool Fail(int Errno);

    int m_fd = -1;
    QString m_error;
};
