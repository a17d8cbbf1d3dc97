#include "app/core/language_file.h"

#include "tests/app/qt_print.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <utility>

namespace {

class LanguageFileTest : public testing::Test {
protected:
    QString Write(const QByteArray& bytes, const QString& name = QStringLiteral("orvexfm.LNG")) {
        const QString path = dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }

    QTemporaryDir dir;
};

TEST(LanguageFilePath, ReplacesTheProgramsExtension) {
    struct Case {
        const char* program;
        const char* expected;
    };
    const Case cases[] = {
        {"/opt/orvex/orvexfm", "/opt/orvex/orvexfm.LNG"},
        {"/opt/orvex/OrvexFM.exe", "/opt/orvex/OrvexFM.LNG"},
        {"/opt/orvex.d/orvexfm", "/opt/orvex.d/orvexfm.LNG"},
        {"/opt/a/prog.tar.gz", "/opt/a/prog.tar.LNG"},
        {"/opt/a/.hidden", "/opt/a/.hidden.LNG"},
        {"orvexfm", "orvexfm.LNG"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LanguageFilePath(QString::fromUtf8(c.program)), QString::fromUtf8(c.expected))
            << c.program;
    }
}

// Beside the program first, then the user's configuration folder, then the system's data
// folder; with none of them, the path beside the program.
TEST_F(LanguageFileTest, FoundBesideTheProgramThenForTheUserThenForTheSystem) {
    const QString bin = dir.filePath(QStringLiteral("bin"));
    const QString user = dir.filePath(QStringLiteral("config"));
    const QString system = dir.filePath(QStringLiteral("share"));
    for (const QString& d : {bin, user, system})
        ASSERT_TRUE(QDir().mkpath(d));
    const QString program = bin + QStringLiteral("/orvexfm");
    const QString beside = bin + QStringLiteral("/orvexfm.LNG");
    const QString inUser = user + QStringLiteral("/orvexfm.LNG");
    const QString inSystem = system + QStringLiteral("/orvexfm.LNG");

    struct Case {
        const char* present; // b: beside, u: user, s: system
        QString found;
    };
    const Case cases[] = {
        {"", beside},  {"s", inSystem}, {"us", inUser},
        {"u", inUser}, {"bus", beside}, {"bs", beside},
    };
    for (const Case& c : cases) {
        const QByteArray present(c.present);
        for (const auto& [letter, path] :
             {std::pair{'b', beside}, std::pair{'u', inUser}, std::pair{'s', inSystem}}) {
            QFile::remove(path);
            if (present.contains(letter))
                Write("[seting]\n", QDir(dir.path()).relativeFilePath(path));
        }
        EXPECT_EQ(FindLanguageFile(program, user, system), c.found) << c.present;
    }
    // A folder of that name is no language file.
    QFile::remove(beside);
    QFile::remove(inUser);
    QFile::remove(inSystem);
    ASSERT_TRUE(QDir().mkpath(inUser));
    EXPECT_EQ(FindLanguageFile(program, user, system), beside);
}

TEST_F(LanguageFileTest, DecodesWindows1250Bytes) {
    // "Zakończono", "Wybierz właściwą kasę!", "Łódź, Źródło, Śląsk, żółw"
    const QString path = Write("[seting]\r\n"
                               "s30=Zako\xF1"
                               "czono\r\n"
                               "s38=\"Wybierz w\xB3"
                               "a\x9C"
                               "ciw\xB9 kas\xEA!\"\r\n"
                               "s1=\xA3\xF3"
                               "d\x9F, \x8Fr\xF3"
                               "d\xB3o, \x8Cl\xB9sk, \xBF\xF3\xB3w\r\n");
    const LanguageFile file = ReadLanguageFile(path);
    ASSERT_EQ(file.State, LanguageFileState::Loaded);
    EXPECT_EQ(file.Values.Value(QStringLiteral("s30")), QString::fromUtf8("Zakończono"));
    EXPECT_EQ(file.Values.Value(QStringLiteral("s38")),
              QString::fromUtf8("Wybierz właściwą kasę!"));
    EXPECT_EQ(file.Values.Value(QStringLiteral("s1")),
              QString::fromUtf8("Łódź, Źródło, Śląsk, żółw"));
}

TEST_F(LanguageFileTest, ByteOrderMarkSelectsUnicode) {
    const QString text = QString::fromUtf8("[seting]\r\ns30=Zakończono, żółw\r\n");
    const QString expected = QString::fromUtf8("Zakończono, żółw");

    const QByteArray utf8 = QByteArray("\xEF\xBB\xBF") + text.toUtf8();
    EXPECT_EQ(ReadLanguageFile(Write(utf8, QStringLiteral("a.LNG"))).Values.Value("s30"), expected);

    QByteArray utf16("\xFF\xFE");
    for (const QChar c : text) {
        utf16.append(char(c.unicode() & 0xFF));
        utf16.append(char(c.unicode() >> 8));
    }
    EXPECT_EQ(ReadLanguageFile(Write(utf16, QStringLiteral("b.LNG"))).Values.Value("s30"),
              expected);
}

TEST_F(LanguageFileTest, UsesTheGivenDecoderForSingleByteText) {
    const QString path = Write("[seting]\ns30=\xF1\n");
    const LanguageFile file =
        ReadLanguageFile(path, [](QByteArrayView bytes) { return QString::fromLatin1(bytes); });
    EXPECT_EQ(file.Values.Value(QStringLiteral("s30")), QString(QChar(0xF1)));
}

// Without a file every caption keeps its design value; with one, a key the file lacks empties
// its caption - even a file with nothing but the section header.
TEST_F(LanguageFileTest, TextFallsBackToDefaultOnlyWithoutAFile) {
    struct Case {
        const char* name;
        std::optional<QByteArray> content; // nullopt: no file at all
        const char* s9;
        const char* s27;
    };
    const Case cases[] = {
        {"no file", std::nullopt, "Upload data", "IP Address"},
        {"empty file", QByteArray(), "", ""},
        {"section header only", QByteArray("[seting]\r\n"), "", ""},
        {"one key", QByteArray("[seting]\r\ns9=Pobierz\r\n"), "Pobierz", ""},
        {"keys in another section", QByteArray("[other]\r\ns9=Pobierz\r\n"), "", ""},
    };
    for (const Case& c : cases) {
        QTemporaryDir scratch;
        const QString path = scratch.filePath(QStringLiteral("orvexfm.LNG"));
        if (c.content) {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(*c.content);
        }
        const LanguageFile file = ReadLanguageFile(path);
        EXPECT_EQ(file.IsLoaded(), c.content.has_value()) << c.name;
        EXPECT_EQ(file.Text(QStringLiteral("s9"), QStringLiteral("Upload data")),
                  QString::fromUtf8(c.s9))
            << c.name;
        EXPECT_EQ(file.Text(QStringLiteral("s27"), QStringLiteral("IP Address")),
                  QString::fromUtf8(c.s27))
            << c.name;
    }
}

TEST_F(LanguageFileTest, FolderWithTheFilesNameIsNoFile) {
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("orvexfm.LNG")));
    const LanguageFile file = ReadLanguageFile(dir.filePath(QStringLiteral("orvexfm.LNG")));
    EXPECT_EQ(file.State, LanguageFileState::Missing);
    EXPECT_EQ(file.Text(QStringLiteral("s10"), QStringLiteral("Close")), QStringLiteral("Close"));
}

TEST_F(LanguageFileTest, SharedKeysRenameBothWindows) {
    const LanguageFile file = ReadLanguageFile(Write("[seting]\ns20=Nagraj\ns18=Usu\xF1\n"));
    auto captionsFor = [&](std::span<const CaptionKey> keys, const char* key) {
        QStringList out;
        for (const CaptionKey& k : keys) {
            if (qstrcmp(k.Key, key) == 0)
                out.append(file.Text(QString::fromLatin1(k.Key), QString::fromUtf8(k.Default)));
        }
        return out;
    };
    const QString burn = QStringLiteral("Nagraj");
    const QString del = QString::fromUtf8("Usuń");
    EXPECT_EQ(captionsFor(MainWindowCaptionKeys(), "s20"), QStringList{burn});
    EXPECT_EQ(captionsFor(ArchiveWindowCaptionKeys(), "s20"), (QStringList{burn, burn}));
    EXPECT_EQ(captionsFor(MainWindowCaptionKeys(), "s18"), QStringList{del});
    EXPECT_EQ(captionsFor(ArchiveWindowCaptionKeys(), "s18"), QStringList{del});
}

TEST(CaptionKeys, OrderAndDefaultsOfBothWindows) {
    auto keysOf = [](std::span<const CaptionKey> keys) {
        QStringList out;
        for (const CaptionKey& k : keys)
            out.append(QString::fromLatin1(k.Key) + u'=' + QString::fromUtf8(k.Default));
        return out.join(u'|');
    };
    EXPECT_EQ(keysOf(MainWindowCaptionKeys()),
              QStringLiteral("s1=ReportType|s2=Detail|s3=Summary|s28=Change the tax rate|"
                             "s29=Change the currency|s291=RAM Clearing|s4=Query Type|s292=Open|"
                             "s5=by Z count|s6=by Date(yymmdd)|s61=whole FM|s7=From|s8=To|"
                             "s9=Upload data|s10=Close|s11=Machine:|s15=OrvexFM|s16=File list|"
                             "s17=Content|s18=Delete|s19=Print|s20=Burn|s21=Cancel|"
                             "s27=IP Address"));
    EXPECT_EQ(keysOf(ArchiveWindowCaptionKeys()),
              QStringLiteral("s20=Burn|s23=Drive: |s20=Burn|s18=Delete|s24=Open file|"
                             "s25=Open folder|s26="));
}

} // namespace

namespace {

// A file that opens but fails on reading: the process's own memory file has nothing mapped at
// offset 0.
constexpr char kUnreadableFile[] = "/proc/self/mem";

TEST(UnreadableFiles, KeepDefaultsInsteadOfEmptyingThem) {
    if (!QFileInfo(QString::fromLatin1(kUnreadableFile)).isFile())
        GTEST_SKIP() << "no " << kUnreadableFile << " on this system";
    const LanguageFile file = ReadLanguageFile(QString::fromLatin1(kUnreadableFile));
    EXPECT_EQ(file.State, LanguageFileState::Unreadable);
    EXPECT_FALSE(file.Error.isEmpty());
    EXPECT_EQ(file.Text(QStringLiteral("s9"), QStringLiteral("Upload data")),
              QStringLiteral("Upload data"));
}

} // namespace
