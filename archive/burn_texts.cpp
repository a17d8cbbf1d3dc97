#include "archive/burn_texts.h"

#include "archive/disc_burner.h"

qint64 BlocksToKb(qint64 Blocks) {
    return Blocks * kDiscBlockBytes / 1024;
}

QString InsufficientSpaceText(qint64 NeedBlocks, qint64 FreeBlocks) {
    // Filled in order, as the two "%s" of the text stand.
    QString text = QString::fromLatin1(kMsgInsufficientSpace);
    for (qint64 value : {BlocksToKb(NeedBlocks), BlocksToKb(FreeBlocks)}) {
        const qsizetype at = text.indexOf(QLatin1String("%s"));
        text.replace(at, 2, QString::number(value));
    }
    return text;
}

QStringList VerifyOutcomeLines(const DiscCheckResult& Result) {
    if (Result.Ok)
        return {QString::fromLatin1(kMsgVerifyDone).arg(Result.FilesMatched)};
    const QString failed = QString::fromLatin1(kMsgVerifyFailed);
    if (Result.BadFile.isEmpty())
        return {failed + Result.Reason};
    return {failed + Result.BadFile, Result.BadFile + u' ' + Result.Reason};
}
