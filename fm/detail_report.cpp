#include "fm/detail_report.h"

#include "fm/upload_layout.h"

#include <QFileInfo>

#include <cstring>

int PrintoutWidth(int MachineIndex) {
    switch (MachineIndex) {
    case 0:
        return 20;
    case 1:
        return 40;
    default:
        return 42;
    }
}

ReportOutcome CutDetailSummary(QByteArrayView File, int Width) {
    ReportOutcome out;
    if (Width <= 0 || Width > kPrintoutBlockSize) {
        out.Error = ReportError::DataError;
        out.Detail = QStringLiteral("printout width %1 is not usable").arg(Width);
        return out;
    }
    if (File.size() <= kPrintoutBlockSize) {
        out.Error = ReportError::NoReport;
        return out;
    }
    const qsizetype blocks = File.size() / kPrintoutBlockSize;
    const int fields = kPrintoutBlockSize / Width;
    out.Lines.reserve(blocks * fields);
    const char* data = File.data();
    for (qsizetype b = 0; b < blocks; ++b) {
        const char* block = data + b * kPrintoutBlockSize;
        for (int i = 0; i < fields; ++i) {
            const char* field = block + i * Width;
            if (field[0] == '\0')
                continue;
            const void* nul = std::memchr(field, 0, std::size_t(Width));
            const qsizetype length = nul ? static_cast<const char*>(nul) - field : Width;
            out.Lines.append(QByteArray(field, length));
        }
    }
    return out;
}

ReportOutcome DecodeDetailSummaryFile(const QString& Path, int MachineIndex) {
    ReportOutcome out;
    if (Path.isEmpty() || !QFileInfo::exists(Path)) {
        out.Error = ReportError::FileMissing;
        out.Detail = Path;
        return out;
    }
    QByteArray data;
    try {
        data = ReadWholeFile(Path);
    } catch (const FileError& e) {
        out.Error = ReportError::DataError;
        out.Detail = QString::fromStdString(e.what());
        return out;
    }
    return CutDetailSummary(data, PrintoutWidth(MachineIndex));
}
