// The simulated device's answers to the report, device-check, dump and download commands.

#include "sim/command_play.h"
#include "sim/sim_options.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Device {
    explicit Device(CommandPlaySettings Settings)
        : engine(EngineConfig{}, nullptr), player(engine, Settings) {
        QString error;
        EXPECT_TRUE(player.Load(&error)) << error.toStdString();
        player.Install();
    }

    // Sends one request (as over UDP: no line rate) and returns the answers it produced.
    std::vector<DeviceFrame> Ask(std::uint8_t Class, std::uint8_t Code, std::uint8_t Seq,
                                 std::uint8_t P1 = 0, std::uint8_t P2 = 0, QByteArray Data = {}) {
        engine.Feed(EncodeFrame(DeviceFrame{1, Class, Code, P1, P2, Seq, std::move(Data)}), 0);
        std::vector<DeviceFrame> answers;
        FrameFinder finder;
        finder.Feed(engine.TakeAllOutput(), [&](const FrameEvent& e) {
            EXPECT_EQ(e.Kind, FrameEventKind::Frame);
            answers.push_back(e.Frame);
        });
        return answers;
    }

    DeviceEngine engine;
    CommandPlayer player;
};

TEST(CommandPlay, ReportsAnswerBusyThenInPacketsAndRepeatForARetransmission) {
    CommandPlaySettings s;
    s.BusyAnswers = 1;
    s.ReportPacket = 40;
    Device d(s);
    const QByteArray clerk = SimReportContent(SimReport::Clerk, 64);

    auto a = d.Ask(0x80, 0x07, 1);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_TRUE(a[0].Data.isEmpty());
    EXPECT_EQ(a[0].Param2, 0xFF) << "busy";

    a = d.Ask(0x80, 0x07, 1);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].Data, clerk.left(40));
    EXPECT_EQ(a[0].Sequence, 1);
    a = d.Ask(0x80, 0x07, 1); // the same request again
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].Data, clerk.left(40));
    a = d.Ask(0x80, 0x07, 2);
    EXPECT_EQ(a[0].Data, clerk.mid(40));
    a = d.Ask(0x80, 0x07, 3);
    EXPECT_TRUE(a[0].Data.isEmpty()) << "nothing more: the report is over";
    EXPECT_EQ(a[0].Param2, 0);

    a = d.Ask(0x80, 0x08, 4);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].Data, SimReportContent(SimReport::CommonData, 16));
}

TEST(CommandPlay, XReportGoesOnWithThePeriodFinancialReport) {
    CommandPlaySettings s;
    s.ReportPacket = 400;
    Device d(s);
    const QByteArray x = SimReportContent(SimReport::X, 685);
    auto a = d.Ask(0x80, 0x06, 9);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].Data, x.left(400));
    a = d.Ask(0x80, 0x06, 10);
    ASSERT_EQ(a.size(), 2u) << "the last X packet, then the period report unasked";
    EXPECT_EQ(a[0].Data, x.mid(400));
    EXPECT_EQ(a[1].Sequence, 10);
    EXPECT_EQ(a[1].Code, 0x08);
    EXPECT_EQ(a[1].Data, SimReportContent(SimReport::PeriodFinancial, 290));
}

TEST(CommandPlay, ZReportErrorAndDeviceCheck) {
    struct Case {
        const char* name;
        std::uint8_t state;
        int version;
        std::uint8_t byte5, byte6;
    };
    const Case cases[] = {
        {"plain", 0x00, 123, 0x01, 0x23},
        {"Z due, version 49", 0x40, 49, 0x00, 0x49},
        {"receipt open, version 9876", 0x03, 9876, 0x98, 0x76},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CommandPlaySettings s;
        s.CheckState = c.state;
        s.SwVersion = static_cast<std::uint16_t>(c.version);
        s.ZError94 = true;
        Device d(s);
        auto a = d.Ask(0x80, 0x0C, 7);
        ASSERT_EQ(a.size(), 1u);
        EXPECT_EQ(a[0].Class, 0x80);
        EXPECT_EQ(a[0].Code, 0x0C);
        EXPECT_EQ(a[0].Sequence, 7);
        ASSERT_GE(a[0].Data.size(), 7);
        EXPECT_EQ(static_cast<std::uint8_t>(a[0].Data[1]), c.state);
        EXPECT_EQ(static_cast<std::uint8_t>(a[0].Data[5]), c.byte5);
        EXPECT_EQ(static_cast<std::uint8_t>(a[0].Data[6]), c.byte6);
        a = d.Ask(0x80, 0x06, 8, 1);
        ASSERT_EQ(a.size(), 1u);
        EXPECT_TRUE(a[0].Data.isEmpty());
        EXPECT_EQ(a[0].Param2, 0xFE);
    }
}

TEST(CommandPlay, DumpsReadTheAddressTheRequestNames) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QByteArray memory(0x30000, '\0');
    for (int i = 0; i < memory.size(); ++i)
        memory[i] = static_cast<char>((i ^ (i >> 8) ^ (i >> 16)) & 0xFF);
    QFile f(dir.filePath(QStringLiteral("mem.bin")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(memory);
    f.close();
    CommandPlaySettings s;
    s.MemoryFile = f.fileName();
    s.NandOnFooterCode = true;
    Device d(s);

    struct Case {
        const char* name;
        std::uint8_t cls, code, p1, p2;
        int address;
        std::uint8_t answerClass;
    };
    const Case cases[] = {
        {"ROM: code, p1, p2 are the address", 0x82, 0x01, 0x23, 0x45, 0x012345, 0x82},
        {"RAM", 0x81, 0x02, 0x00, 0x10, 0x020010, 0x81},
        {"NAND: p1, p2 are the page", 0x80, 0x13, 0x01, 0x07, 0x010700, 0x80},
        {"past the end", 0x82, 0x05, 0x00, 0x00, -1, 0x82},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto a = d.Ask(c.cls, c.code, 3, c.p1, c.p2);
        ASSERT_EQ(a.size(), 1u);
        EXPECT_EQ(a[0].Class, c.answerClass);
        EXPECT_EQ(a[0].Data, c.address < 0 ? QByteArray() : memory.mid(c.address, 256));
    }
}

TEST(CommandPlay, ProgramPacketsAreAcknowledgedAndLoggedOnce) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    CommandPlaySettings s;
    s.DownloadLog = dir.filePath(QStringLiteral("log.bin"));
    Device d(s);
    const QByteArray p1(256, 'a');
    const QByteArray p2 = QByteArray(256, 'b') + QByteArray::fromHex("66f0");
    for (const auto& [seq, data] : {std::pair{1, p1}, std::pair{1, p1}, std::pair{2, p2}}) {
        const auto a = d.Ask(0x90, 0x03, static_cast<std::uint8_t>(seq), 0, 0, data);
        ASSERT_EQ(a.size(), 1u);
        EXPECT_EQ(a[0].Code, 0x0E);
        EXPECT_EQ(a[0].Sequence, seq);
    }
    QFile log(s.DownloadLog);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_EQ(log.readAll(), p1 + p2) << "a repeated packet is kept once";
}

TEST(CommandPlay, OptionsAreCheckedOnTheCommandLine) {
    struct Case {
        QStringList args;
        bool ok;
    };
    const Case cases[] = {
        {{"--busy", "3", "--report-packet", "32", "--check-state", "0x40"}, true},
        {{"--stream-report", "h_upload_pfin", "--stream-delay", "50"}, true},
        {{"--sw-version", "10000"}, false},
        {{"--check-state", "256"}, false},
        {{"--report-packet", "0"}, false},
        {{"--stream-report", "H_UPLOAD_CLERKRPT"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(QLatin1Char(' ')).toStdString());
        const SimOptionsResult r = ParseSimOptions(QStringList{"orvexfm-sim"} + c.args);
        EXPECT_EQ(r.Options.has_value(), c.ok) << r.Error.toStdString();
    }
    const SimOptionsResult r = ParseSimOptions(
        {"orvexfm-sim", "--busy", "3", "--check-state", "0x41", "--stream-report", "H_UPLOAD_FIN"});
    ASSERT_TRUE(r.Options);
    EXPECT_EQ(r.Options->Commands.BusyAnswers, 3);
    EXPECT_EQ(r.Options->Commands.CheckState, 0x41);
    EXPECT_EQ(r.Options->Commands.StreamAfterSetBaud, SimReport::Financial);
}

} // namespace
