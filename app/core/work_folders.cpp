#include "app/core/work_folders.h"

#include "app/core/report_list_file.h"

#include <QDir>
#include <QFileInfo>

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
