#pragma once

#include "app/core/report_list_file.h"

#include <QString>

#include <ostream>

// Readable failure messages for Qt text in GoogleTest output.
inline void PrintTo(const QString& Text, std::ostream* Out) {
    *Out << '"' << Text.toStdString() << '"';
}

inline void PrintTo(const ReportListEntry& Entry, std::ostream* Out) {
    *Out << "{ReportType=\"" << Entry.ReportType.toStdString() << "\", filename=\""
         << Entry.filename.toStdString() << "\", dCreate=\"" << Entry.dCreate.toStdString()
         << "\"}";
}
