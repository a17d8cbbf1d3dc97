#pragma once

#include <QString>
#include <QStringList>

#include <span>

struct LanguageFile;

// The texts the program reports with. They start as the English defaults; the language file
// replaces them when the main window is shown. Whoever reports reads the field at that moment.
// The table is plain data owned by the user-interface side; it is not meant to be shared
// between threads.
struct MessageTable {
    QString MsgFinish = QStringLiteral("Finish");
    QString MsgTimeout = QStringLiteral("timeout...");
    QString MsgConnectFail = QStringLiteral("connect fail...");
    QString MsgFileNotExists = QStringLiteral("file not exists");
    QString MsgChooseMachine = QStringLiteral("Please choose the right machine!");
    QString MsgPortNotExist = QStringLiteral("%s Port is not exist"); // "%s": the port name
    QString MsgInputZCountError = QStringLiteral("input Z Count No. error");
    QString MsgInputDateError = QStringLiteral("input date error");
    QString MsgDateFormatError = QStringLiteral("date format error");
    QString MsgPortOpenFail = QStringLiteral("port %s open fail!"); // "%s": the port name
    QString MsgCancelUpload = QStringLiteral("cancel upload...");
    QString MsgUploadFail = QStringLiteral("upload fail...");
    // Texts added after the first language files were written: a file without their keys
    // keeps these English texts (see MessageKey::KeepWhenMissing).
    // The memo's line when a Detail or Summary upload brought no report.
    QString MsgNoReport = QStringLiteral("no report: the device has no data in this range");
    // The upload's status line: "%1" the line rate, "%2" the attempt, "%3" the attempts.
    QString MsgStatusConnecting = QStringLiteral("connecting at %1 bit/s, attempt %2 of %3");
    QString MsgStatusWaiting = QStringLiteral("waiting for the device");
    // "%1" packets, "%2" bytes, "%3" KB/s, "%4" the time since the upload began (m:ss).
    QString MsgStatusReceiving =
        QStringLiteral("%1 packets received, %2 bytes, %3 KB/s, %4 elapsed");
    // Under the system's reason when a serial port may not be opened (no permission).
    QString MsgPortPermissionHint =
        QStringLiteral("serial ports need membership in the \"dialout\" group "
                       "(sudo adduser $USER dialout, then log in again)");
    // After "timeout...", "connect fail..." when data had come: "%1" the packets that
    // arrived, "%2" the partial file that keeps them.
    QString MsgDeviceSilent = QStringLiteral(
        "the device stopped answering; packets received: %1, kept in the partial file %2");

    bool operator==(const MessageTable&) const = default;
};

// A message and the language-file key that replaces it.
struct MessageKey {
    const char* Key;
    QString MessageTable::*Field;
    // A file that lacks the key keeps the text (keys newer than the files in use); for the
    // others a missing key empties the message.
    bool KeepWhenMissing = false;
};

// Every message with its key, in the order the language file is read.
std::span<const MessageKey> MessageKeys();

// Replaces the messages from a loaded language file: a key the file lacks empties its message.
// Without a loaded file the table keeps its texts.
void ApplyLanguage(const LanguageFile& File, MessageTable& Messages);

// Fills the numbered places "%1".."%9" of a status text with Values; places without a value
// and every other "%" are shown as written (the template comes from a translator's file).
QString FillNumbered(const QString& Template, const QStringList& Values);

// Fills a port message (MsgPortNotExist, MsgPortOpenFail) with the port name. The template
// comes from a file a translator edits, so it is never handed to a printf-style formatter:
// the first "%s" (or "%S") takes the name, "%%" gives "%", and anything else - further "%s",
// other conversions, a lone "%" - is shown as written. A template without "%s" is shown
// unchanged.
QString FormatPortMessage(const QString& Template, const QString& PortName);
