#include "app/core/port_error_text.h"

#include <cerrno>
#include <cstring>

namespace {

// The reason inside "component text (reason)"; the text itself when it has no such part.
QString ReasonPart(const QString& Text) {
    const qsizetype open = Text.indexOf(QStringLiteral(" ("));
    if (open < 0 || !Text.endsWith(u')'))
        return Text;
    return Text.mid(open + 2, Text.size() - open - 3);
}

bool SaysPermissionDenied(const QString& Reason) {
    // The reason carries the system's own words for the error, in the program's locale.
    for (const int error : {EACCES, EPERM}) {
        if (Reason.contains(QString::fromLocal8Bit(std::strerror(error))))
            return true;
    }
    return false;
}

} // namespace

QStringList PortErrorLines(const QString& SystemError, const MessageTable& Messages) {
    const QString reason = ReasonPart(SystemError.trimmed());
    if (reason.isEmpty())
        return {};
    QStringList lines{reason};
    if (SaysPermissionDenied(reason) && !Messages.MsgPortPermissionHint.isEmpty())
        lines << Messages.MsgPortPermissionHint;
    return lines;
}
