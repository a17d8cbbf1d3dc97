#include "app/core/upload_progress.h"

#include "tests/app/qt_print.h"

#include <gtest/gtest.h>

namespace {

TEST(UploadStatusText, ConnectingWaitingAndTheFigures) {
    const MessageTable messages;
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const QLocale german(QLocale::German, QLocale::Germany);

    UploadProgress connecting;
    connecting.Connecting = true;
    connecting.LineRate = 9600;
    connecting.Attempt = 2;
    connecting.Attempts = 6;
    connecting.Packets = 3; // an earlier exchange of the same upload: the agreement counts
    EXPECT_EQ(UploadStatusText(connecting, messages, english),
              QStringLiteral("connecting at 9600 bit/s, attempt 2 of 6"));

    const UploadProgress nothingYet;
    EXPECT_EQ(UploadStatusText(nothingYet, messages, english),
              QStringLiteral("waiting for the device"));

    UploadProgress flowing;
    flowing.Packets = 1234;
    flowing.Bytes = 315904;
    flowing.BytesPerSecond = 10.26 * 1024;
    flowing.ElapsedMs = 101999; // 1:41, the part second is not shown
    EXPECT_EQ(UploadStatusText(flowing, messages, english),
              QStringLiteral("1,234 packets received, 315,904 bytes, 10.3 KB/s, 1:41 elapsed"));
    EXPECT_EQ(UploadStatusText(flowing, messages, german),
              QStringLiteral("1.234 packets received, 315.904 bytes, 10,3 KB/s, 1:41 elapsed"));

    // A translated template takes the figures in its own order.
    MessageTable polish;
    polish.MsgStatusReceiving = QStringLiteral("%4: %1 pakietów, %2 bajtów (%3 KB/s)");
    flowing.ElapsedMs = 5000;
    EXPECT_EQ(UploadStatusText(flowing, polish, english),
              QStringLiteral("0:05: 1,234 pakietów, 315,904 bajtów (10.3 KB/s)"));
}

} // namespace
