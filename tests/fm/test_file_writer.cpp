#include "fm/file_writer.h"

#include "tests/support/file_size_limit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

const QString kTooLarge = qt_error_string(EFBIG);

class FileWriterTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

    QString Path(const char* Name) const { return dir_.filePath(QString::fromLatin1(Name)); }

    static QByteArray Read(const QString& P) {
        QFile f(P);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
    }
    static void Put(const QString& P, const QByteArray& Bytes) {
        QFile f(P);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(f.write(Bytes), Bytes.size());
    }
    // Everything in the folder: a failed write leaves no temporary file behind.
    QStringList Names() const {
        return QDir(dir_.path())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }

    QTemporaryDir dir_;
};

} // namespace

TEST_F(FileWriterTest, ReplacesWholeAndKeepsPermissions) {
    const QString file = Path("list.txt");
    EXPECT_EQ(ReplaceFileContents(file, "first"), QString());
    EXPECT_EQ(Read(file), "first");
    ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), 0640), 0);
    EXPECT_EQ(ReplaceFileContents(file, "second, longer"), QString());
    EXPECT_EQ(Read(file), "second, longer");
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Names(), QStringList{"list.txt"});
}

// A full disk in small: the limit lets only part of the new content through. Small contents
// are the treacherous case: a buffered writer reports them written in full and fails (or
// not) only when it flushes.
TEST_F(FileWriterTest, FailedWriteKeepsTheOldFileAndGivesTheReason) {
    const QByteArray old(3000, 'o');
    const struct {
        const char* name;
        rlim_t limit;
        qsizetype newSize;
    } cases[] = {
        {"a few bytes over", 4000, 4100},
        {"one small write", 100, 1000},
        {"nothing fits", 0, 10},
        {"a large write", 64 * 1024, 1024 * 1024},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString file = Path("FMList.txt");
        Put(file, old);
        QString error;
        {
            testsupport::FileSizeLimit limit(c.limit);
            ASSERT_TRUE(limit.Active());
            error = ReplaceFileContents(file, QByteArray(c.newSize, 'n'));
        }
        EXPECT_EQ(error, kTooLarge);
        EXPECT_EQ(Read(file), old);
        EXPECT_EQ(Names(), QStringList{"FMList.txt"});
    }
}

TEST_F(FileWriterTest, NewFileIsWrittenWholeOrNotAtAll) {
    QString error;
    EXPECT_EQ(WriteNewFile(Path("a.txt"), "report", error), NewFileResult::Written);
    EXPECT_EQ(Read(Path("a.txt")), "report");
    EXPECT_EQ(WriteNewFile(Path("a.txt"), "other", error), NewFileResult::NameTaken);
    EXPECT_EQ(Read(Path("a.txt")), "report");
    // A dangling link is a taken name too: writing through it would create a file elsewhere.
    ASSERT_TRUE(QFile::link(Path("nowhere"), Path("b.txt")));
    EXPECT_EQ(WriteNewFile(Path("b.txt"), "other", error), NewFileResult::NameTaken);
    EXPECT_FALSE(QFileInfo::exists(Path("nowhere")));

    {
        testsupport::FileSizeLimit limit(100);
        ASSERT_TRUE(limit.Active());
        EXPECT_EQ(WriteNewFile(Path("c.txt"), QByteArray(500, 'r'), error), NewFileResult::Failed);
    }
    EXPECT_EQ(error, kTooLarge);
    EXPECT_FALSE(QFileInfo::exists(Path("c.txt")));

    EXPECT_EQ(WriteNewFile(Path("no/such/d.txt"), "x", error), NewFileResult::Failed);
    EXPECT_EQ(error, qt_error_string(ENOENT));
}

TEST_F(FileWriterTest, SymbolicLinksAreWrittenThrough) {
    ASSERT_TRUE(QDir(dir_.path()).mkdir("real"));
    Put(Path("real/report.txt"), "old");
    // A relative link counts from its own folder; a chain of two links.
    ASSERT_EQ(::symlink("real/report.txt", QFile::encodeName(Path("link1")).constData()), 0);
    ASSERT_EQ(::symlink("link1", QFile::encodeName(Path("link2")).constData()), 0);
    EXPECT_EQ(ReplaceFileContents(Path("link2"), "new"), QString());
    EXPECT_EQ(Read(Path("real/report.txt")), "new");
    EXPECT_TRUE(QFileInfo(Path("link1")).isSymLink());
    EXPECT_TRUE(QFileInfo(Path("link2")).isSymLink());

    // A dangling link gets its target created, as a shell's redirection does.
    ASSERT_EQ(::symlink("real/later.txt", QFile::encodeName(Path("dangling")).constData()), 0);
    EXPECT_EQ(ReplaceFileContents(Path("dangling"), "made"), QString());
    EXPECT_EQ(Read(Path("real/later.txt")), "made");
    EXPECT_TRUE(QFileInfo(Path("dangling")).isSymLink());

    StreamFile trace;
    ASSERT_TRUE(trace.Open(Path("link2"))) << trace.Error().toStdString();
    EXPECT_TRUE(trace.Write("traced"));
    EXPECT_TRUE(trace.Close());
    EXPECT_EQ(Read(Path("real/report.txt")), "traced");
    EXPECT_TRUE(QFileInfo(Path("link2")).isSymLink());

    ASSERT_EQ(::symlink("loop", QFile::encodeName(Path("loop")).constData()), 0);
    EXPECT_EQ(ReplaceFileContents(Path("loop"), "x"), qt_error_string(ELOOP));
}

// Nothing that is not a regular file is opened or replaced; each kind is named.
TEST_F(FileWriterTest, RefusesWhatIsNotARegularFile) {
    ASSERT_EQ(::mkfifo(QFile::encodeName(Path("fifo")).constData(), 0600), 0);
    ASSERT_TRUE(QDir(dir_.path()).mkdir("folder"));
    ASSERT_EQ(::symlink("fifo", QFile::encodeName(Path("to-fifo")).constData()), 0);
    const bool haveDevice =
        ::mknod(QFile::encodeName(Path("null")).constData(), S_IFCHR | 0666, makedev(1, 3)) == 0;

    struct Case {
        QString path;
        QString reason;
        mode_t type;
    };
    QList<Case> cases = {
        {Path("fifo"), "is a named pipe (FIFO), not a regular file", S_IFIFO},
        {Path("to-fifo"), "is a named pipe (FIFO), not a regular file", S_IFIFO},
        {Path("folder"), qt_error_string(EISDIR), S_IFDIR},
    };
    if (haveDevice)
        cases.append({Path("null"), "is a device, not a regular file", S_IFCHR});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        EXPECT_EQ(WriteTargetProblem(c.path), c.reason);
        EXPECT_EQ(ReplaceFileContents(c.path, "x"), c.reason);
        StreamFile stream;
        EXPECT_FALSE(stream.Open(c.path));
        EXPECT_EQ(stream.Error(), c.reason);
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(c.path).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & S_IFMT, c.type) << "replaced by a file";
    }
    // The system's own device nodes are only looked at, never written here.
    EXPECT_EQ(WriteTargetProblem(QStringLiteral("/dev/null")), "is a device, not a regular file");
    EXPECT_EQ(WriteTargetProblem(Path("new.txt")), QString());
}

TEST_F(FileWriterTest, StreamWritesThroughAndKeepsTheFirstFailure) {
    const QString file = Path("upload.trace");
    Put(file, "an older trace");
    StreamFile trace;
    ASSERT_TRUE(trace.Open(file));
    EXPECT_EQ(Read(file), ""); // emptied
    EXPECT_TRUE(trace.Write("line 1\n"));
    EXPECT_EQ(Read(file), "line 1\n"); // no buffer in between
    {
        testsupport::FileSizeLimit limit(10);
        ASSERT_TRUE(limit.Active());
        EXPECT_FALSE(trace.Write("line 2\n"));
    }
    EXPECT_EQ(trace.Error(), kTooLarge);
    EXPECT_FALSE(trace.Write("line 3\n")) << "a trace with a hole must not go on as if whole";
    EXPECT_EQ(trace.Error(), kTooLarge);
    EXPECT_FALSE(trace.Close());
    EXPECT_EQ(Read(file), "line 1\nlin");
}
