#include "app/core/work_folders.h"

#include "app/core/report_list_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

QString WorkFolders::ReportListPath() const {
    return DataDir + QLatin1StringView(kReportListFileName);
}

WorkFolders WorkFoldersBelow(const QString& BaseDir) {
    QString base = QDir::fromNativeSeparators(BaseDir);
    if (base.isEmpty())
        base = QStringLiteral(".");
    if (!base.endsWith(u'/'))
        base += u'/';
    return {base + QStringLiteral("Data/"), base + QStringLiteral("Dufile/"),
            base + QStringLiteral("Txtfile/")};
}

bool FolderWritable(const QString& Dir) {
    const QByteArray path = QFile::encodeName(Dir);
    // access() also answers for read-only mounts and access control lists.
    if (::access(path.constData(), W_OK) != 0)
        return false;
    if (::geteuid() != 0)
        return true;
    // Root passes access() whatever the folder's permissions say: judge by its bits.
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return false;
    const mode_t bits = st.st_uid == 0 ? S_IWUSR : (S_IWGRP | S_IWOTH);
    return (st.st_mode & bits) != 0;
}

QString DefaultWorkBase(const QString& ProgramDir) {
    if (FolderWritable(ProgramDir))
        return ProgramDir;
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

QStringList CreateWorkFolders(const WorkFolders& Folders) {
    QStringList errors;
    for (const QString& dir : {Folders.DataDir, Folders.DufileDir, Folders.TxtfileDir}) {
        if (QFileInfo(dir).isDir())
            continue;
        if (!QDir().mkpath(dir))
            errors.append(QStringLiteral("Cannot create the folder \"%1\"").arg(dir));
    }
    return errors;
}
