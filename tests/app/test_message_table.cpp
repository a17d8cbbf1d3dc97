#include "app/core/message_table.h"

#include "app/core/language_file.h"

#include "tests/app/qt_print.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

namespace {

struct Expected {
    const char* key;
    QString MessageTable::*field;
    const char* text;
    bool keptWhenMissing = false; // newer than the language files in use
};

const Expected kMessages[] = {
    {"s30", &MessageTable::MsgFinish, "Finish"},
    {"s35", &MessageTable::MsgTimeout, "timeout..."},
    {"s36", &MessageTable::MsgConnectFail, "connect fail..."},
    {"s37", &MessageTable::MsgFileNotExists, "file not exists"},
    {"s38", &MessageTable::MsgChooseMachine, "Please choose the right machine!"},
    {"s39", &MessageTable::MsgPortNotExist, "%s Port is not exist"},
    {"s41", &MessageTable::MsgInputZCountError, "input Z Count No. error"},
    {"s42", &MessageTable::MsgInputDateError, "input date error"},
    {"s43", &MessageTable::MsgDateFormatError, "date format error"},
    {"s44", &MessageTable::MsgPortOpenFail, "port %s open fail!"},
    {"s45", &MessageTable::MsgCancelUpload, "cancel upload..."},
    {"s46", &MessageTable::MsgUploadFail, "upload fail..."},
    {"s47", &MessageTable::MsgNoReport, "no report: the device has no data in this range", true},
    {"s48", &MessageTable::MsgStatusConnecting, "connecting at %1 bit/s, attempt %2 of %3", true},
    {"s49", &MessageTable::MsgStatusWaiting, "waiting for the device", true},
    {"s50", &MessageTable::MsgStatusReceiving, "%1 packets received, %2 bytes, %3 KB/s, %4 elapsed",
     true},
    {"s51", &MessageTable::MsgPortPermissionHint,
     "serial ports need membership in the \"dialout\" group (sudo adduser $USER dialout, then "
     "log in again)",
     true},
    {"s52", &MessageTable::MsgDeviceSilent,
     "the device stopped answering; packets received: %1, kept in the partial file %2", true},
};

TEST(MessageTable, DefaultsAndTheirKeys) {
    const MessageTable table;
    const auto keys = MessageKeys();
    ASSERT_EQ(keys.size(), std::size(kMessages));
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_STREQ(keys[i].Key, kMessages[i].key);
        EXPECT_EQ(keys[i].Field, kMessages[i].field) << kMessages[i].key;
        EXPECT_EQ(keys[i].KeepWhenMissing, kMessages[i].keptWhenMissing) << kMessages[i].key;
        EXPECT_EQ(table.*kMessages[i].field, QString::fromUtf8(kMessages[i].text))
            << kMessages[i].key;
    }
}

// Loads a language file (or none) and applies it to a default table.
MessageTable Applied(const std::optional<QByteArray>& content) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("orvexfm.LNG"));
    if (content) {
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(*content);
    }
    MessageTable table;
    ApplyLanguage(ReadLanguageFile(path), table);
    return table;
}

TEST(MessageTable, LanguageFileReplacesEveryMessageItNames) {
    QByteArray content("[seting]\r\n");
    for (const Expected& m : kMessages)
        content += QByteArray(m.key) + "=<" + m.key + ", translated>\r\n";
    const MessageTable table = Applied(content);
    for (const Expected& m : kMessages) {
        EXPECT_EQ(table.*m.field, QStringLiteral("<%1, translated>").arg(QLatin1String(m.key)))
            << m.key;
    }
}

TEST(MessageTable, MissingKeysEmptyOnlyWhenAFileExists) {
    EXPECT_EQ(Applied(std::nullopt), MessageTable{});

    // The keys added after the first files keep their English texts; the others empty.
    const MessageTable defaults;
    const MessageTable empty = Applied(QByteArray("[seting]\r\n"));
    for (const Expected& m : kMessages)
        EXPECT_EQ(empty.*m.field, m.keptWhenMissing ? defaults.*m.field : QString()) << m.key;

    // Keys of the captions and of other sections do not touch the messages.
    const MessageTable partial = Applied(QByteArray("[seting]\r\ns30=Koniec\r\n"
                                                    "s3=Podsumowanie\r\n"
                                                    "[other]\r\ns35=czas\r\n"));
    for (const Expected& m : kMessages) {
        const QString expected = m.field == &MessageTable::MsgFinish ? QStringLiteral("Koniec")
                                 : m.keptWhenMissing                 ? defaults.*m.field
                                                                     : QString();
        EXPECT_EQ(partial.*m.field, expected) << m.key;
    }
    // An empty value given in the file empties a newer message too.
    EXPECT_EQ(Applied(QByteArray("[seting]\r\ns49=\r\n")).MsgStatusWaiting, QString());
}

TEST(FormatPortMessage, FillsThePortNameSafely) {
    struct Case {
        const char* templ;
        const char* expected;
    };
    const Case cases[] = {
        {"%s Port is not exist", "COM3 Port is not exist"},
        {"port %s open fail!", "port COM3 open fail!"},
        {"Port %S nie istnieje", "Port COM3 nie istnieje"},
        {"port open fail!", "port open fail!"},
        {"%s and %s", "COM3 and %s"},
        {"%d %s", "%d COM3"},
        {"100%% %s", "100% COM3"},
        {"%", "%"},
        {"trailing %", "trailing %"},
        {"%%s %s", "%s COM3"},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatPortMessage(QString::fromUtf8(c.templ), QStringLiteral("COM3")),
                  QString::fromUtf8(c.expected))
            << c.templ;
    }
    // A port name that itself holds "%s" is not expanded again.
    EXPECT_EQ(FormatPortMessage(QStringLiteral("port %s open fail!"), QStringLiteral("[%s]")),
              QStringLiteral("port [%s] open fail!"));
}

TEST(FillNumbered, FillsOnlyThePlacesItHasValuesFor) {
    struct Case {
        const char* templ;
        const char* expected;
    };
    const Case cases[] = {
        {"connecting at %1 bit/s, attempt %2 of %3", "connecting at 9600 bit/s, attempt 2 of 6"},
        {"%3/%2/%1", "6/2/9600"},
        {"%2 %2", "2 2"},
        {"%4 and %0 and 100%", "%4 and %0 and 100%"},
        {"trailing %", "trailing %"},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FillNumbered(QString::fromUtf8(c.templ),
                               {QStringLiteral("9600"), QStringLiteral("2"), QStringLiteral("6")}),
                  QString::fromUtf8(c.expected))
            << c.templ;
    }
    // A value holding "%1" is not expanded again.
    EXPECT_EQ(FillNumbered(QStringLiteral("%1 %2"), {QStringLiteral("%2"), QStringLiteral("x")}),
              QStringLiteral("%2 x"));
}

} // namespace
