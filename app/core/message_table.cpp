#include "app/core/message_table.h"

#include "app/core/language_file.h"

namespace {

constexpr MessageKey kMessageKeys[] = {
    {"s30", &MessageTable::MsgFinish},
    {"s35", &MessageTable::MsgTimeout},
    {"s36", &MessageTable::MsgConnectFail},
    {"s37", &MessageTable::MsgFileNotExists},
    {"s38", &MessageTable::MsgChooseMachine},
    {"s39", &MessageTable::MsgPortNotExist},
    {"s41", &MessageTable::MsgInputZCountError},
    {"s42", &MessageTable::MsgInputDateError},
    {"s43", &MessageTable::MsgDateFormatError},
    {"s44", &MessageTable::MsgPortOpenFail},
    {"s45", &MessageTable::MsgCancelUpload},
    {"s46", &MessageTable::MsgUploadFail},
    {"s47", &MessageTable::MsgNoReport, true},
    {"s48", &MessageTable::MsgStatusConnecting, true},
    {"s49", &MessageTable::MsgStatusWaiting, true},
    {"s50", &MessageTable::MsgStatusReceiving, true},
    {"s51", &MessageTable::MsgPortPermissionHint, true},
    {"s52", &MessageTable::MsgDeviceSilent, true},
};

} // namespace

std::span<const MessageKey> MessageKeys() {
    return kMessageKeys;
}

void ApplyLanguage(const LanguageFile& File, MessageTable& Messages) {
    if (!File.IsLoaded())
        return;
    for (const MessageKey& key : kMessageKeys) {
        const std::optional<QString> text = File.Values.Find(QString::fromLatin1(key.Key));
        if (text || !key.KeepWhenMissing)
            Messages.*key.Field = text.value_or(QString());
    }
}

QString FillNumbered(const QString& Template, const QStringList& Values) {
    QString out;
    out.reserve(Template.size() + 16 * Values.size());
    const qsizetype n = Template.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = Template[i];
        if (c == u'%' && i + 1 < n && Template[i + 1] >= u'1' && Template[i + 1] <= u'9') {
            const qsizetype index = Template[i + 1].unicode() - u'1';
            if (index < Values.size()) {
                out += Values[index];
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
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
