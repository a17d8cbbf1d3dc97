#pragma once

#include <QString>
#include <QStringList>

// The working folders below the program's folder (or a folder the operator names instead).
// Each path ends in "/".
struct WorkFolders {
    QString DataDir;    // "Data/": the report list file
    QString DufileDir;  // "Dufile/": header and footer uploads
    QString TxtfileDir; // "Txtfile/": the decoded text reports

    // The report list file in DataDir.
    QString ReportListPath() const;
};

WorkFolders WorkFoldersBelow(const QString& BaseDir);

// Whether the program may keep its working folders in Dir: the system lets this process write
// there. Root, whom the system lets write anywhere, is judged by the folder's permission bits,
// so a copy made read-only (chmod a-w) counts as read-only for everyone.
bool FolderWritable(const QString& Dir);

// The folder the working folders go below when nobody names one: the program's own folder
// when it is writable (a build tree, a portable copy), as always; otherwise (an installed
// /usr/bin) the user's data folder, QStandardPaths::AppDataLocation
// (~/.local/share/OrvexFM/). The application name must be set before.
QString DefaultWorkBase(const QString& ProgramDir);

// Creates every working folder that does not exist yet (and BaseDir itself if needed).
// Returns one line per folder that could not be made; empty when all exist.
QStringList CreateWorkFolders(const WorkFolders& Folders);
