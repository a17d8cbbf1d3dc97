#include "sim/sim_options.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

SimOptionsResult Parse(const QStringList& Args) {
    return ParseSimOptions(QStringList{QStringLiteral("orvexfm-sim")} + Args);
}

} // namespace

TEST(SimOptions, ParsesEveryOption) {
    struct Case {
        QStringList args;
        std::function<void(const SimOptions&)> check;
    };
    const Case cases[] = {
        {{},
         [](const SimOptions& o) {
             EXPECT_EQ(o.LinkMode, SimOptions::Mode::Pty);
             EXPECT_EQ(o.Engine.StartRate, 9600);
             EXPECT_EQ(o.Engine.FmAnswerClass, 0x90);
             EXPECT_EQ(o.Engine.EpromAnswerClass, 0x83);
             EXPECT_TRUE(o.Engine.ResetRateAtEnd);
             EXPECT_FALSE(o.Engine.Faults.Any());
             EXPECT_FALSE(o.Pace);
         }},
        {{"--udp", "--bind", "127.0.0.5", "--port", "0"},
         [](const SimOptions& o) {
             EXPECT_EQ(o.LinkMode, SimOptions::Mode::Udp);
             EXPECT_EQ(o.BindAddress, QStringLiteral("127.0.0.5"));
             EXPECT_EQ(o.Port, 0);
         }},
        {{"--detail", "d", "--summary", "s", "--header", "h", "--footer", "f", "--eprom", "e"},
         [](const SimOptions& o) {
             EXPECT_EQ(o.DetailFile + o.SummaryFile + o.HeaderFile + o.FooterFile + o.EpromFile,
                       QStringLiteral("dshfe"));
         }},
        {{"--width", "20", "--days", "365", "--content-seed", "9", "--header-blocks", "3"},
         [](const SimOptions& o) {
             EXPECT_EQ(o.Content.Width, 20);
             EXPECT_EQ(o.Content.Days, 365);
             EXPECT_EQ(o.Content.Seed, 9u);
             EXPECT_EQ(o.Content.HeaderBlocks, 3);
         }},
        {{"--fm-class", "0x80", "--eprom-class", "0x80", "--keep-rate", "--start-rate", "115200"},
         [](const SimOptions& o) {
             EXPECT_EQ(o.Engine.FmAnswerClass, 0x80);
             EXPECT_EQ(o.Engine.EpromAnswerClass, 0x80);
             EXPECT_FALSE(o.Engine.ResetRateAtEnd);
             EXPECT_EQ(o.Engine.StartRate, 115200);
         }},
        {{"--seed", "42", "--split-chunks", "--corrupt-crc", "10", "--drop", "3,5", "--drop", "9",
          "--drop-percent", "2", "--duplicate", "4", "--duplicate-percent", "7"},
         [](const SimOptions& o) {
             const FaultPlan& f = o.Engine.Faults;
             EXPECT_EQ(f.Seed, 42u);
             EXPECT_TRUE(f.SplitChunks);
             EXPECT_EQ(f.CorruptPercent, 10);
             EXPECT_EQ(f.DropAnswers, (std::set<int>{3, 5, 9}));
             EXPECT_EQ(f.DropPercent, 2);
             EXPECT_EQ(f.DuplicateAnswers, (std::set<int>{4}));
             EXPECT_EQ(f.DuplicatePercent, 7);
         }},
        {{"--refuse", "H_UPLOAD_Summary", "--refuse", "0x83:0x00", "--refuse-request", "2,7",
          "--silent-after", "12", "--garbage", "16", "--only-rate", "9600"},
         [](const SimOptions& o) {
             const FaultPlan& f = o.Engine.Faults;
             ASSERT_EQ(f.RefuseCommands.size(), 2u);
             EXPECT_EQ(f.RefuseCommands[0], (simcmd::CommandKey{0x80, 0x11}));
             EXPECT_EQ(f.RefuseCommands[1], (simcmd::CommandKey{0x83, 0x00}));
             EXPECT_EQ(f.RefuseRequests, (std::set<int>{2, 7}));
             EXPECT_EQ(f.SilentAfter, 12);
             EXPECT_EQ(f.GarbageMax, 16);
             EXPECT_EQ(f.OnlyRate, 9600);
         }},
        {{"--echo", "--no-end-marker", "--false-header", "2,4", "--false-header-percent", "3",
          "--hang-up-after", "9", "--stale-empty", "5", "--late-copy", "6,8", "--late-copy-ms",
          "250"},
         [](const SimOptions& o) {
             const FaultPlan& f = o.Engine.Faults;
             EXPECT_TRUE(f.EchoRequests);
             EXPECT_TRUE(f.NoEndMarker);
             EXPECT_EQ(f.FalseHeaderAnswers, (std::set<int>{2, 4}));
             EXPECT_EQ(f.FalseHeaderPercent, 3);
             EXPECT_EQ(f.HangUpAfter, 9);
             EXPECT_EQ(f.StaleEmptyAnswers, (std::set<int>{5}));
             EXPECT_EQ(f.LateCopyAnswers, (std::set<int>{6, 8}));
             EXPECT_EQ(f.LateCopyMs, 250);
             EXPECT_TRUE(f.Any());
         }},
        {{"--pace", "--udp-pace-rate", "57600", "--exit-on-stdin-eof", "--verbose"},
         [](const SimOptions& o) {
             EXPECT_TRUE(o.Pace);
             EXPECT_EQ(o.UdpPaceRate, 57600);
             EXPECT_TRUE(o.ExitOnStdinEof);
             EXPECT_TRUE(o.Verbose);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(QLatin1Char(' ')).toStdString());
        const SimOptionsResult r = Parse(c.args);
        ASSERT_TRUE(r.Options.has_value()) << r.Error.toStdString();
        c.check(*r.Options);
    }
}

TEST(SimOptions, RejectsBadValues) {
    const QStringList cases[] = {
        {"--pty", "--udp"},         {"--port", "70000"},
        {"--only-rate", "12345"},   {"--start-rate", "fast"},
        {"--corrupt-crc", "101"},   {"--drop", "0"},
        {"--drop", "2,x"},          {"--refuse", "H_NOTHING"},
        {"--refuse", "0x80:0x100"}, {"--fm-class", "0x83"},
        {"--width", "30"},          {"--silent-after", "-1"},
        {"--no-such-option"},       {"stray"},
        {"--hang-up-after", "0"},   {"--late-copy-ms", "0"},
        {"--false-header", "x"},    {"--false-header-percent", "200"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        const SimOptionsResult r = Parse(args);
        EXPECT_FALSE(r.Options.has_value());
        EXPECT_FALSE(r.Error.isEmpty());
    }
}

TEST(SimOptions, HelpListsEveryOption) {
    const SimOptionsResult r = Parse({QStringLiteral("--help")});
    EXPECT_TRUE(r.HelpRequested);
    for (const char* name : {"--pty",
                             "--udp",
                             "--bind",
                             "--port",
                             "--detail",
                             "--summary",
                             "--header",
                             "--footer",
                             "--eprom",
                             "--width",
                             "--days",
                             "--content-seed",
                             "--header-blocks",
                             "--start-rate",
                             "--fm-class",
                             "--eprom-class",
                             "--keep-rate",
                             "--seed",
                             "--split-chunks",
                             "--corrupt-crc",
                             "--drop",
                             "--drop-percent",
                             "--duplicate",
                             "--duplicate-percent",
                             "--refuse",
                             "--refuse-request",
                             "--silent-after",
                             "--garbage",
                             "--only-rate",
                             "--pace",
                             "--udp-pace-rate",
                             "--exit-on-stdin-eof",
                             "--verbose",
                             "--echo",
                             "--no-end-marker",
                             "--false-header",
                             "--false-header-percent",
                             "--hang-up-after",
                             "--stale-empty",
                             "--late-copy",
                             "--late-copy-ms"})
        EXPECT_TRUE(r.HelpText.contains(QLatin1String(name))) << name;
}
