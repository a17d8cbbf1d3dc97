#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Device text is single-byte Windows-1250 (Central European). Qt 6.4 ships no codec for it,
// so the mapping lives here. Bytes 0x00..0x7F are ASCII; the five bytes Windows leaves
// undefined (0x81, 0x83, 0x88, 0x90, 0x98) map to the C1 control of the same value so that
// every byte survives a round trip.

// The Unicode code point of an upper-half byte (0x80..0xFF).
char16_t Cp1250UpperCodePoint(unsigned char Byte);

QString Cp1250ToUnicode(QByteArrayView Bytes);

// Characters without a Windows-1250 byte become Replacement.
QByteArray UnicodeToCp1250(const QString& Text, char Replacement = '?');
