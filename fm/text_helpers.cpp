#include "fm/text_helpers.h"

namespace {

QByteArray Spaces(qsizetype Count) {
    return Count > 0 ? QByteArray(Count, ' ') : QByteArray();
}

} // namespace

QByteArray PadLine(const QByteArray& Left, const QByteArray& Right, int Mode, int Width) {
    const QByteArray joined = Left + Right;
    const qsizetype length = joined.size();
    switch (Mode) {
    case 1:
        return Spaces(Width - length) + joined;
    case 2: {
        // Divisions truncate toward zero, as C++ integer division does.
        QByteArray centred = Spaces((Width - length) / 2) + joined;
        centred += Spaces((Width - centred.size()) / 2);
        return centred;
    }
    case 3:
        return Left + Spaces(Width - length) + Right;
    default:
        return joined;
    }
}
