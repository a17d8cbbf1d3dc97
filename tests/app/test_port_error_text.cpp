#include "app/core/port_error_text.h"

#include "tests/app/qt_print.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace {

TEST(PortErrorLines, TheSystemsReasonAndTheDialoutHintForAPermission) {
    const MessageTable messages;
    const QString denied = QString::fromLocal8Bit(std::strerror(EACCES));
    const QString missing = QString::fromLocal8Bit(std::strerror(ENOENT));
    struct Case {
        QString LinkError;
        QStringList Lines;
    };
    const Case cases[] = {
        {QStringLiteral("Error opening serial port (/dev/ttyUSB0: %1)").arg(missing),
         {QStringLiteral("/dev/ttyUSB0: %1").arg(missing)}},
        {QStringLiteral("Error opening serial port (/dev/ttyS0: %1)").arg(denied),
         {QStringLiteral("/dev/ttyS0: %1").arg(denied), messages.MsgPortPermissionHint}},
        {QStringLiteral("Error opening serial port (/dev/pts/3: in use by another program)"),
         {QStringLiteral("/dev/pts/3: in use by another program")}},
        // A text without the component's part is the reason itself.
        {QStringLiteral("bind 0.0.0.0:5002: Address already in use"),
         {QStringLiteral("bind 0.0.0.0:5002: Address already in use")}},
        {QString(), {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PortErrorLines(c.LinkError, messages), c.Lines) << c.LinkError.toStdString();

    // A language file that empties the hint leaves the reason alone.
    MessageTable noHint;
    noHint.MsgPortPermissionHint.clear();
    EXPECT_EQ(PortErrorLines(cases[1].LinkError, noHint), QStringList{cases[1].Lines.first()});
}

} // namespace
