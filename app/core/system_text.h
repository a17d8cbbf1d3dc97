#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <optional>

// The program's own text files (language file, report list) are single-byte text in the
// Windows code page of the machines it was made for: 1250, Central European.
using TextDecoder = std::function<QString(QByteArrayView)>;

QString DecodeSystemText(QByteArrayView Bytes);

// The Windows-1250 bytes of Text, or nothing when a character has no byte in that code page.
std::optional<QByteArray> EncodeSystemText(const QString& Text);

// Decodes a whole text file: a UTF-8 or UTF-16LE byte-order mark selects that encoding (an
// editor may add one when it saves the file); without a mark the bytes go to Fallback.
QString DecodeTextFile(QByteArrayView Bytes, const TextDecoder& Fallback);

// True when Bytes are well-formed UTF-8 (plain ASCII included).
bool IsValidUtf8(QByteArrayView Bytes);
