#pragma once

#include <QString>

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

    bool operator==(const MessageTable&) const = default;
};

// A message and the language-file key that replaces it.
struct MessageKey {
    const char* Key;
    QString MessageTable::*Field;
};

// Every message with its key, in the order the language file is read.
std::span<const MessageKey> MessageKeys();

// Replaces the messages from a loaded language file: a key the file lacks empties its message.
// Without a loaded file the table keeps its texts.
void ApplyLanguage(const LanguageFile& File, MessageTable& Messages);

// Fills a port message (MsgPortNotExist, MsgPortOpenFail) with the port name. The template
// comes from a file a translator edits, so it is never handed to a printf-style formatter:
// the first "%s" (or "%S") takes the name, "%%" gives "%", and anything else - further "%s",
// other conversions, a lone "%" - is shown as written. A template without "%s" is shown
// unchanged.
QString FormatPortMessage(const QString& Template, const QString& PortName);
