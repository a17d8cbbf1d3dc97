#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// Why a report builder produced no report. The window turns these into its own messages
// (message table texts, message boxes); the command-line tool into exit codes.
enum class ReportError {
    None,
    InvalidInteger, // a Z-number range field is not a whole number; Detail holds the text
    RangeError,     // the range runs backwards ("Data Error")
    FileMissing,    // the upload file does not exist
    DataError,      // the file cannot be read, or the kind is not a report kind
    NoReport,       // a Detail or Summary upload of 256 bytes or less holds nothing
    WriteFailed,    // a file on this computer could not be written (or read back): the report
                    // file, the report list, the joined upload; Detail says which and why
};

struct ReportOutcome {
    ReportError Error = ReportError::None;
    QString Detail;          // the offending text or the system's reason, when there is one
    QList<QByteArray> Lines; // device bytes, without line ends

    bool ok() const { return Error == ReportError::None; }
    // The plain English text of the error ("Data Error", "'x' is not a valid integer value",
    // "file not exists", "data error", "no report"); empty when ok.
    QString message() const;
};

// Reads a whole upload file for a decoder. Nothing, with Out's error (FileMissing, or DataError
// with the system's reason), when the file is not there or cannot be read.
std::optional<QByteArray> ReadUploadFile(const QString& Path, ReportOutcome& Out);
