#include "iso_readback.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

QMap<QString, QByteArray> ReadJolietTree(const QString& ImagePath, QString* Error) {
    QMap<QString, QByteArray> tree;
    const QString xorriso = QStandardPaths::findExecutable(QStringLiteral("xorriso"));
    if (xorriso.isEmpty()) {
        *Error = QStringLiteral("xorriso is not installed (scripts/setup installs it)");
        return tree;
    }
    QTemporaryDir out;
    const QString target = out.filePath(QStringLiteral("x"));
    QProcess process;
    // "norock": ignore any Rock Ridge names so only the Joliet tree can supply them.
    process.start(xorriso,
                  {QStringLiteral("-read_fs"), QStringLiteral("norock"), QStringLiteral("-osirrox"),
                   QStringLiteral("on"), QStringLiteral("-indev"), ImagePath,
                   QStringLiteral("-extract"), QStringLiteral("/"), target});
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        *Error = QStringLiteral("xorriso failed: ") + QString::fromLocal8Bit(process.readAll()) +
                 QString::fromLocal8Bit(process.readAllStandardError());
        return tree;
    }
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
    return tree;
}

bool WriteTestFile(const QString& Path, const QByteArray& Bytes) {
    if (!QDir().mkpath(QFileInfo(Path).absolutePath()))
        return false;
    QFile file(Path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(Bytes) == Bytes.size();
}
