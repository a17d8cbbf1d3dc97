#include "app/core/message_table.h"

#include "app/core/language_file.h"

namespace {

constexpr MessageKey kMessageKeys[] = {
    {"s30", &MessageTable::MsgFinish},           {"s35", &MessageTable::MsgTimeout},
    {"s36", &MessageTable::MsgConnectFail},      {"s37", &MessageTable::MsgFileNotExists},
    {"s38", &MessageTable::MsgChooseMachine},    {"s39", &MessageTable::MsgPortNotExist},
    {"s41", &MessageTable::MsgInputZCountError}, {"s42", &MessageTable::MsgInputDateError},
    {"s43", &MessageTable::MsgDateFormatError},  {"s44", &MessageTable::MsgPortOpenFail},
    {"s45", &MessageTable::MsgCancelUpload},     {"s46", &MessageTable::MsgUploadFail},
};

} // namespace

std::span<const MessageKey> MessageKeys() {
    return kMessageKeys;
}

void ApplyLanguage(const LanguageFile& File, MessageTable& Messages) {
    if (!File.IsLoaded())
        return;
    for (const MessageKey& key : kMessageKeys)
        Messages.*key.Field = File.Values.Value(QString::fromLatin1(key.Key));
}

QString FormatPortMessage(const QString& Template, const QString& PortName) {
    QString out;
    out.reserve(Template.size() + PortName.size());
    bool filled = false;
    const qsizetype n = Template.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = Template[i];
        if (c == u'%' && i + 1 < n) {
            const QChar next = Template[i + 1];
            if (next == u'%') {
                out += u'%';
                ++i;
                continue;
            }
            if (!filled && (next == u's' || next == u'S')) {
                out += PortName;
                filled = true;
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}
