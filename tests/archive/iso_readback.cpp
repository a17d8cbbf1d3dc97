#include "iso_readback.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

// Runs a tool to its end; empty when it exits with 0, else its command and output.
QString RunTool(const QString& Tool, const QStringList& Args, const QString& Folder = QString(),
                QByteArray* Output = nullptr) {
    const QString program = QStandardPaths::findExecutable(Tool);
    if (program.isEmpty())
        return Tool + QStringLiteral(" is not installed (scripts/setup installs it)");
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (!Folder.isEmpty())
        process.setWorkingDirectory(Folder);
    process.start(program, Args);
    const bool finished = process.waitForFinished(120000);
    const QByteArray output = process.readAll();
    if (Output)
        *Output = output;
    if (finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return QString();
    if (!finished)
        process.kill();
    return QStringLiteral("%1 %2 failed:\n%3")
        .arg(Tool, Args.join(u' '), QString::fromLocal8Bit(output));
}

// Extracts the image through its Joliet names into Target.
QString ExtractJoliet(const QString& ImagePath, const QString& Target) {
    // "norock": ignore any Rock Ridge names so only the Joliet tree can supply them.
    return RunTool(QStringLiteral("xorriso"),
                   {QStringLiteral("-read_fs"), QStringLiteral("norock"),
                    QStringLiteral("-osirrox"), QStringLiteral("on"), QStringLiteral("-indev"),
                    ImagePath, QStringLiteral("-extract"), QStringLiteral("/"), Target});
}

} // namespace

QString CheckWithStandardTools(const QString& ImagePath) {
    QTemporaryDir out;
    const QString target = out.filePath(QStringLiteral("x"));
    QString failed = ExtractJoliet(ImagePath, target);
    if (failed.isEmpty())
        failed = RunTool(
            QStringLiteral("sha256sum"),
            {QStringLiteral("--strict"), QStringLiteral("-c"), QStringLiteral("SHA256SUMS")},
            target);
    for (const QString& check : {QStringLiteral("-check_md5"), QStringLiteral("-check_md5_r")}) {
        if (!failed.isEmpty())
            break;
        QStringList args = {QStringLiteral("-md5"),
                            QStringLiteral("on"),
                            QStringLiteral("-indev"),
                            ImagePath,
                            check,
                            QStringLiteral("FAILURE")};
        if (check.endsWith(u'r'))
            args << QStringLiteral("/");
        args << QStringLiteral("--");
        failed = RunTool(QStringLiteral("xorriso"), args);
    }
    // xorriso restores the disc's read-only modes; let the temporary folder go again.
    QDirIterator it(target, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        QFile::setPermissions(it.next(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return failed;
}

qint64 FileDataBlock(const QString& ImagePath, const QString& DiscPath) {
    QByteArray output;
    if (!RunTool(QStringLiteral("xorriso"),
                 {QStringLiteral("-indev"), ImagePath, QStringLiteral("-find"), DiscPath,
                  QStringLiteral("-exec"), QStringLiteral("report_lba"), QStringLiteral("--")},
                 QString(), &output)
             .isEmpty())
        return -1;
    // "File data lba:  0 ,       35 ,        1 ,        5 , '/folder/inner.txt'"
    for (const QByteArray& line : output.split('\n')) {
        if (!line.startsWith("File data lba:"))
            continue;
        const QList<QByteArray> fields = line.mid(14).split(',');
        bool ok = false;
        const qint64 lba = fields.value(1).trimmed().toLongLong(&ok);
        if (ok)
            return lba;
    }
    return -1;
}

bool FlipByte(const QString& Path, qint64 Offset) {
    QFile file(Path);
    if (!file.open(QIODevice::ReadWrite) || !file.seek(Offset))
        return false;
    char byte = 0;
    if (!file.getChar(&byte) || !file.seek(Offset))
        return false;
    return file.putChar(char(~byte));
}

QMap<QString, QByteArray> ReadJolietTree(const QString& ImagePath, QString* Error,
                                         QByteArray* ChecksumList) {
    QMap<QString, QByteArray> tree;
    QTemporaryDir out;
    const QString target = out.filePath(QStringLiteral("x"));
    *Error = ExtractJoliet(ImagePath, target);
    if (!Error->isEmpty())
        return tree;
    QDirIterator it(target, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir base(target);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString relative = base.relativeFilePath(path);
        if (info.isDir()) {
            tree.insert(relative + u'/', QByteArray());
            // xorriso restores the disc's read-only modes; let the temporary folder go again.
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            continue;
        }
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            *Error = QStringLiteral("cannot read back ") + relative;
            return {};
        }
        tree.insert(relative, file.readAll());
    }
    QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (!tree.contains(QStringLiteral("SHA256SUMS"))) {
        *Error = QStringLiteral("the image carries no SHA256SUMS at its root");
        return {};
    }
    const QByteArray list = tree.take(QStringLiteral("SHA256SUMS"));
    if (ChecksumList)
        *ChecksumList = list;
    return tree;
}

bool WriteTestFile(const QString& Path, const QByteArray& Bytes) {
    if (!QDir().mkpath(QFileInfo(Path).absolutePath()))
        return false;
    QFile file(Path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(Bytes) == Bytes.size();
}
