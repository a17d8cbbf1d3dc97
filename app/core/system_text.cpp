#include "app/core/system_text.h"

#include "fm/cp1250.h"

#include <QStringDecoder>

QString DecodeSystemText(QByteArrayView Bytes) {
    return Cp1250ToUnicode(Bytes);
}

std::optional<QByteArray> EncodeSystemText(const QString& Text) {
    QByteArray bytes = UnicodeToCp1250(Text);
    // The encoder replaces what it cannot map; a round trip shows whether it had to.
    if (Cp1250ToUnicode(bytes) != Text)
        return std::nullopt;
    return bytes;
}

QString DecodeTextFile(QByteArrayView Bytes, const TextDecoder& Fallback) {
    if (Bytes.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(Bytes.sliced(3));
    if (Bytes.startsWith("\xFF\xFE")) {
        const QByteArrayView body = Bytes.sliced(2);
        QStringDecoder decoder(QStringDecoder::Utf16LE);
        return decoder.decode(body);
    }
    return Fallback(Bytes);
}

bool IsValidUtf8(QByteArrayView Bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(Bytes);
    (void)text;
    return !decoder.hasError();
}
