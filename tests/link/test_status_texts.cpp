#include "link/status_texts.h"

#include <gtest/gtest.h>

namespace {

TEST(LinkStatusTexts, MarkersAreFilledInOrderAndStringsAreTakenAsTheyAre) {
    struct Case {
        QString Got;
        QString Expected;
    };
    const Case cases[] = {
        {LinkStatusText(LinkText::AckTimeoutRetry, 5000u, 3),
         QString::fromUtf8("延迟 5000 毫秒, 再试: 3 次")},
        {LinkStatusText(LinkText::SendFailed, qsizetype(20), QStringLiteral("host lookup pending")),
         QStringLiteral("send data(len=20) failed: host lookup pending")},
        // A file name holding a marker of its own must come through untouched.
        {LinkStatusText(LinkText::CannotCreateFile, QStringLiteral("/tmp/50%2off.hex"),
                        QStringLiteral("Permission denied")),
         QStringLiteral("Can not create file /tmp/50%2off.hex: Permission denied")},
        {LinkStatusText(LinkText::DetailDone), QString::fromUtf8("数据上载完毕!")},
        {LinkStatusText(LinkText::ZReportError94),
         QStringLiteral("Can not upload Z report.(Ecr Error 94)")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.Got, c.Expected);
}

} // namespace
