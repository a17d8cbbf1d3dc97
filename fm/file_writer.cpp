#include "fm/file_writer.h"

#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kMaxLinkHops = 40; // as the kernel's own limit (ELOOP)
constexpr int kTempNameAttempts = 100;

QString Reason(int Errno) {
    return qt_error_string(Errno);
}

QString KindProblem(mode_t Mode) {
    if (S_ISDIR(Mode))
        return Reason(EISDIR);
    if (S_ISFIFO(Mode))
        return QStringLiteral("is a named pipe (FIFO), not a regular file");
    if (S_ISCHR(Mode) || S_ISBLK(Mode))
        return QStringLiteral("is a device, not a regular file");
    if (S_ISSOCK(Mode))
        return QStringLiteral("is a socket, not a regular file");
    return QStringLiteral("is not a regular file");
}

// Where a write to Path lands: the name at the end of its symbolic links (which need not
// exist), and what is there now.
struct Target {
    QByteArray Name;
    bool Exists = false;
    struct stat Status {};
    QString Problem; // why it cannot be written as a file; empty when it can
};

Target ResolveTarget(const QString& Path) {
    Target t;
    QByteArray name = QFile::encodeName(Path);
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        struct stat st {};
        if (::lstat(name.constData(), &st) != 0) {
            t.Name = name;
            // A missing name is written as a new file; any other failure (a missing folder,
            // no permission) shows again, with its reason, when the file is created.
            return t;
        }
        if (!S_ISLNK(st.st_mode)) {
            t.Name = name;
            t.Exists = true;
            t.Status = st;
            if (!S_ISREG(st.st_mode))
                t.Problem = KindProblem(st.st_mode);
            return t;
        }
        char buf[PATH_MAX];
        const ssize_t n = ::readlink(name.constData(), buf, sizeof buf);
        if (n < 0 || n == ssize_t(sizeof buf)) {
            t.Problem = Reason(n < 0 ? errno : ENAMETOOLONG);
            return t;
        }
        QByteArray link(buf, n);
        // A relative link counts from the folder the link is in.
        if (!link.startsWith('/')) {
            const qsizetype slash = name.lastIndexOf('/');
            if (slash >= 0)
                link.prepend(name.left(slash + 1));
        }
        name = link;
    }
    t.Problem = Reason(ELOOP);
    return t;
}

bool WriteAll(int Fd, QByteArrayView Bytes, int& Errno) {
    const char* p = Bytes.data();
    qsizetype left = Bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(Fd, p, size_t(std::min<qsizetype>(left, 1 << 30)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Errno = errno;
            return false;
        }
        if (n == 0) {
            Errno = EIO;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

// Flushes to disk and closes; Fd is closed whatever happens. File systems that cannot sync
// (EINVAL) count as flushed.
bool SyncAndClose(int Fd, int& Errno) {
    bool ok = true;
    if (::fsync(Fd) != 0 && errno != EINVAL) {
        Errno = errno;
        ok = false;
    }
    // On Linux the descriptor is gone even when close reports EINTR.
    if (::close(Fd) != 0 && errno != EINTR && ok) {
        Errno = errno;
        ok = false;
    }
    return ok;
}

bool WriteSyncClose(int Fd, QByteArrayView Bytes, int& Errno) {
    if (!WriteAll(Fd, Bytes, Errno)) {
        ::close(Fd);
        return false;
    }
    return SyncAndClose(Fd, Errno);
}

QByteArray FolderOf(const QByteArray& Name) {
    const qsizetype slash = Name.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : Name.left(slash);
}

// Makes the rename itself durable; a folder that cannot be synced is not an error.
void SyncFolder(const QByteArray& Folder) {
    const int fd = ::open(Folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// A new, empty file beside Name, created exclusively.
int CreateTemporary(const QByteArray& Name, QByteArray& TempName, int& Errno) {
    const qsizetype slash = Name.lastIndexOf('/');
    const QByteArray folder = slash >= 0 ? Name.left(slash + 1) : QByteArray();
    const QByteArray base = Name.mid(slash + 1);
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        QByteArray suffix(6, 'x');
        for (char& c : suffix)
            c = kChars[QRandomGenerator::global()->bounded(int(sizeof kChars - 1))];
        TempName = folder + '.' + base + '.' + suffix;
        const int fd = ::open(TempName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST) {
            Errno = errno;
            return -1;
        }
    }
    Errno = EEXIST;
    return -1;
}

} // namespace

QString WriteTargetProblem(const QString& Path) {
    return ResolveTarget(Path).Problem;
}

QString ReplaceFileContents(const QString& Path, QByteArrayView Bytes) {
    const Target target = ResolveTarget(Path);
    if (!target.Problem.isEmpty())
        return target.Problem;
    // Renaming over a read-only file would succeed; the owner meant it to stay as it is.
    if (target.Exists && ::access(target.Name.constData(), W_OK) != 0)
        return Reason(errno);

    int err = 0;
    QByteArray tempName;
    const int fd = CreateTemporary(target.Name, tempName, err);
    if (fd < 0)
        return Reason(err);
    if (target.Exists) {
        // The new file takes the old one's place: its permissions, and its owner as far as
        // the system allows.
        ::fchmod(fd, target.Status.st_mode & 07777);
        if (::fchown(fd, target.Status.st_uid, target.Status.st_gid) != 0) {
            // Not permitted for others' files: the new file keeps its creator as owner.
        }
    }
    if (!WriteSyncClose(fd, Bytes, err) ||
        ::rename(tempName.constData(), target.Name.constData()) != 0) {
        if (err == 0)
            err = errno;
        ::unlink(tempName.constData());
        return Reason(err);
    }
    SyncFolder(FolderOf(target.Name));
    return {};
}

NewFileResult WriteNewFile(const QString& Path, QByteArrayView Bytes, QString& Error) {
    const QByteArray name = QFile::encodeName(Path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EEXIST)
            return NewFileResult::NameTaken;
        Error = Reason(errno);
        return NewFileResult::Failed;
    }
    int err = 0;
    if (!WriteSyncClose(fd, Bytes, err)) {
        ::unlink(name.constData());
        Error = Reason(err);
        return NewFileResult::Failed;
    }
    SyncFolder(FolderOf(name));
    return NewFileResult::Written;
}

StreamFile::~StreamFile() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool StreamFile::Fail(int Errno) {
    if (m_error.isEmpty())
        m_error = Reason(Errno);
    return false;
}

bool StreamFile::Open(const QString& Path) {
    Close();
    m_error.clear();
    const Target target = ResolveTarget(Path);
    if (!target.Problem.isEmpty()) {
        m_error = target.Problem;
        return false;
    }
    // Non-blocking: should a FIFO take the name after the check, opening it fails (no
    // reader) or is caught below instead of waiting for a reader.
    const int fd = ::open(target.Name.constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return Fail(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        m_error = KindProblem(st.st_mode);
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

bool StreamFile::Write(QByteArrayView Bytes) {
    if (m_fd < 0 || Failed())
        return Fail(EBADF);
    int err = 0;
    return WriteAll(m_fd, Bytes, err) || Fail(err);
}

bool StreamFile::Close() {
    if (m_fd < 0)
        return !Failed();
    int err = 0;
    const bool ok = SyncAndClose(m_fd, err);
    m_fd = -1;
    return (ok || Fail(err)) && !Failed();
}
