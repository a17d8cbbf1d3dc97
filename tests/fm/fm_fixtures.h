#pragma once

// Small builders for joined change files used by several tests.

#include "fm/upload_layout.h"

#include <QByteArray>
#include <QList>

#include <initializer_list>

// A header area of Blocks 256-byte blocks with the given 40-byte text fields and A5 A5 at
// the end of its last block.
inline QByteArray HeaderArea(const QList<QByteArray>& Fields, int Blocks = 1) {
    QByteArray area(Blocks * 256, '\0');
    for (int i = 0; i < Fields.size(); ++i)
        area.replace(i * 40, Fields[i].size(), Fields[i]);
    area[area.size() - 2] = static_cast<char>(0xA5);
    area[area.size() - 1] = static_cast<char>(0xA5);
    return area;
}

// Two footer blocks with the given text fields in the first.
inline QByteArray FooterArea(const QList<QByteArray>& Fields) {
    QByteArray area(512, '\0');
    for (int i = 0; i < Fields.size(); ++i)
        area.replace(i * 40, Fields[i].size(), Fields[i]);
    return area;
}

// A 2560-byte erased change-data area with records placed in the three tables.
struct ChangeData {
    QByteArray Bytes = QByteArray(kChangeDataSize, static_cast<char>(0xFF));

    ChangeData& Tax(int Index, const QByteArray& Record) {
        Bytes.replace(kTaxTableOffset + Index * kTaxRecordSize, Record.size(), Record);
        return *this;
    }
    ChangeData& Currency(int Index, const QByteArray& Record) {
        Bytes.replace(kCurrencyTableOffset + Index * kCurrencyRecordSize, Record.size(), Record);
        return *this;
    }
    ChangeData& Ram(int Index, const QByteArray& Record) {
        Bytes.replace(kRamTableOffset + Index * kRamRecordSize, Record.size(), Record);
        return *this;
    }
};

inline QByteArray Joined(const QByteArray& Header, const ChangeData& Data,
                         const QByteArray& Footer) {
    return Header + Data.Bytes + Footer;
}
