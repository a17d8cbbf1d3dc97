#include "app/core/upload_progress.h"

QString UploadStatusText(const UploadProgress& Progress, const MessageTable& Messages,
                         const QLocale& Locale) {
    if (Progress.Connecting) {
        return FillNumbered(Messages.MsgStatusConnecting,
                            {QString::number(Progress.LineRate), QString::number(Progress.Attempt),
                             QString::number(Progress.Attempts)});
    }
    if (Progress.Packets == 0)
        return Messages.MsgStatusWaiting;
    const qint64 seconds = Progress.ElapsedMs / 1000;
    const QString elapsed =
        QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return FillNumbered(Messages.MsgStatusReceiving,
                        {Locale.toString(Progress.Packets), Locale.toString(Progress.Bytes),
                         Locale.toString(Progress.BytesPerSecond / 1024.0, 'f', 1), elapsed});
}
