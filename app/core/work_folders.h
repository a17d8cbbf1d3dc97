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

// Creates every working folder that does not exist yet (and BaseDir itself if needed).
// Returns one line per folder that could not be made; empty when all exist.
QStringList CreateWorkFolders(const WorkFolders& Folders);
