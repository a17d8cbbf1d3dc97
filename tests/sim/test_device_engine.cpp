#include "sim/device_engine.h"
#include "sim_test_util.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace simtest;

namespace {

std::shared_ptr<FixedContent> MakeContent(int DetailBytes = 700, int ChangeBytes = 2560) {
    auto c = std::make_shared<FixedContent>();
    c->SetArea(FmArea::Detail, Pattern(DetailBytes, 1));
    c->SetArea(FmArea::Summary, Pattern(300, 2));
    c->SetArea(FmArea::Header, Pattern(256, 3));
    c->SetArea(FmArea::Footer, Pattern(512, 4));
    c->SetChangeData(Pattern(ChangeBytes, 5));
    return c;
}

// An engine already switched to 115200 bit/s, as after the host's first H_SETBAUD.
void Negotiate(DeviceEngine& E) {
    E.Feed(SetBaud(1), 9600);
    E.TakeAllOutput();
}

} // namespace

TEST(DeviceEngineSetBaud, AcknowledgesAtOldRateThenSwitches) {
    struct Case {
        int divisor;
        int newRate;
    };
    const Case cases[] = {{1, 115200}, {2, 57600}, {12, 9600}, {96, 1200}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.divisor);
        DeviceEngine e({}, MakeContent());
        e.Feed(SetBaud(c.divisor, 0x37), 9600);
        ASSERT_TRUE(e.HasOutput());
        EXPECT_EQ(e.NextWriteRate(), 9600);
        EXPECT_EQ(e.NextWriteSize(), 13);

        // Part of the acknowledge out: the device still runs at the old rate.
        const OutWrite head = e.TakeWrite(5);
        EXPECT_EQ(head.Rate, 9600);
        EXPECT_EQ(e.LineRate(), 9600);
        const OutWrite tail = e.TakeWrite();
        EXPECT_EQ(tail.Rate, 9600);
        EXPECT_EQ(e.LineRate(), c.newRate);

        const auto frames = ValidFrames(head.Bytes + tail.Bytes);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].Class, 0x80);
        EXPECT_EQ(frames[0].Code, 0x0E);
        EXPECT_EQ(frames[0].Sequence, 0x37);
        EXPECT_TRUE(frames[0].Data.isEmpty());
    }
}

TEST(DeviceEngineSetBaud, AcknowledgeBytesForTheHostsFirstRequest) {
    DeviceEngine e({}, MakeContent());
    // The host's request for 115200, address 1, sequence 0.
    e.Feed(QByteArray::fromHex("AA0100000080000100000000"
                               "2C"),
           9600);
    EXPECT_EQ(e.TakeAllOutput().toHex(), QByteArray("aa01000000800e0000000000"
                                                    "39"));
    EXPECT_EQ(e.LineRate(), 115200);
}

TEST(DeviceEngineSetBaud, UnknownDivisorIsRefusedAndRateStays) {
    DeviceEngine e({}, MakeContent());
    e.Feed(SetBaud(7, 4), 9600);
    const auto frames = ValidFrames(e.TakeAllOutput());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Code, 0x0D);
    EXPECT_EQ(frames[0].Sequence, 4);
    EXPECT_EQ(e.LineRate(), 9600);
}

TEST(DeviceEngineSetBaud, RequestsAtTheWrongRateAreLost) {
    DeviceEngine e({}, MakeContent());
    e.Feed(SetBaud(1), 9600);
    // The host already talks at 115200 while the acknowledge has not gone out: lost.
    e.Feed(FmRequest(0x10, 0, 1), 115200);
    e.TakeAllOutput();
    EXPECT_EQ(e.Stats().IgnoredBytes, FmRequest(0x10, 0, 1).size());

    // Now at 115200: 9600 bytes are lost, 115200 bytes are served.
    e.Feed(FmRequest(0x10, 0, 2), 9600);
    EXPECT_FALSE(e.HasOutput());
    e.Feed(FmRequest(0x10, 0, 3), 115200);
    const auto frames = ValidFrames(e.TakeAllOutput());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Sequence, 3);
}

TEST(DeviceEngineSetBaud, FrameCutByARateChangeIsDiscarded) {
    DeviceEngine e({}, MakeContent());
    const QByteArray req = FmRequest(0x10, 0, 1);
    e.Feed(req.left(8), 9600);
    e.Feed(req.mid(8), 115200); // the rest is noise to a device at 9600
    e.Feed(req, 9600);          // a whole new request is read from its start byte
    const auto frames = ValidFrames(e.TakeAllOutput());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(e.Stats().Requests, 1);
}

TEST(DeviceEngineFiscalMemory, BlocksServedInOrderWithMarkerOnTheLast) {
    struct Case {
        std::uint8_t code;
        FmArea area;
        int bytes;
        int blocks;
    };
    const Case cases[] = {{0x10, FmArea::Detail, 700, 3},
                          {0x11, FmArea::Summary, 300, 2},
                          {0x12, FmArea::Header, 256, 1},
                          {0x13, FmArea::Footer, 512, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(FmAreaName(c.area));
        auto content = MakeContent(c.bytes);
        content->SetArea(c.area, Pattern(c.bytes, 9));
        DeviceEngine e({}, content);
        Negotiate(e);
        QByteArray served;
        for (int block = 0; block < c.blocks; ++block) {
            e.Feed(FmRequest(c.code, block, static_cast<std::uint8_t>(block + 1)), 115200);
            const auto frames = ValidFrames(e.TakeAllOutput());
            ASSERT_EQ(frames.size(), 1u);
            const DeviceFrame& f = frames[0];
            EXPECT_EQ(f.Class, 0x90);
            EXPECT_EQ(f.Code, c.code);
            EXPECT_EQ(f.Param1, block >> 8);
            EXPECT_EQ(f.Param2, block & 0xFF);
            EXPECT_EQ(f.Sequence, block + 1);
            ASSERT_EQ(f.Data.size(), 256);
            const bool marker = static_cast<std::uint8_t>(f.Data[254]) == 0xA5 ||
                                static_cast<std::uint8_t>(f.Data[255]) == 0xA5;
            EXPECT_EQ(marker, block == c.blocks - 1) << "block " << block;
            served += f.Data;
        }
        // The content comes back byte for byte, padded with NUL, marker at the very end.
        QByteArray expected = Pattern(c.bytes, 9);
        expected.append(QByteArray(c.blocks * 256 - c.bytes, '\0'));
        expected[expected.size() - 1] = static_cast<char>(0xA5);
        EXPECT_EQ(served, expected);

        // The upload is over: the device is back at 9600 bit/s, and refuses blocks past the end.
        EXPECT_EQ(e.LineRate(), 9600);
        e.Feed(FmRequest(c.code, c.blocks, 0x77), 9600);
        const auto after = ValidFrames(e.TakeAllOutput());
        ASSERT_EQ(after.size(), 1u);
        EXPECT_EQ(after[0].Code, 0x0D);
        EXPECT_EQ(after[0].Sequence, 0x77);
    }
}

TEST(DeviceEngineFiscalMemory, AnswerClassIsSelectable) {
    for (std::uint8_t cls : {std::uint8_t(0x90), std::uint8_t(0x80)}) {
        EngineConfig cfg;
        cfg.FmAnswerClass = cls;
        DeviceEngine e(cfg, MakeContent());
        Negotiate(e);
        e.Feed(FmRequest(0x11, 0, 9), 115200);
        const auto frames = ValidFrames(e.TakeAllOutput());
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].Class, cls);
        EXPECT_EQ(frames[0].Code, 0x11);
    }
}

TEST(DeviceEngineFiscalMemory, RetransmittedRequestGetsTheSameBlock) {
    DeviceEngine e({}, MakeContent(2000));
    Negotiate(e);
    e.Feed(FmRequest(0x10, 1, 5), 115200);
    const auto first = ValidFrames(e.TakeAllOutput());
    e.Feed(FmRequest(0x10, 1, 5), 115200);
    const auto again = ValidFrames(e.TakeAllOutput());
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(first[0], again[0]);
    EXPECT_EQ(first[0].Data, Pattern(2000, 1).mid(256, 256));
}

TEST(DeviceEngineFiscalMemory, RangeThatIsNotBcdIsRefusedForPrintoutsOnly) {
    struct Case {
        std::uint8_t code;
        std::uint8_t answerCode;
    };
    // Header and footer requests carry leftovers of the host's buffer: never judged.
    const Case cases[] = {{0x10, 0x0D}, {0x11, 0x0D}, {0x12, 0x12}, {0x13, 0x13}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        DeviceEngine e({}, MakeContent());
        Negotiate(e);
        e.Feed(FmRequest(c.code, 0, 1, QByteArray::fromHex("00000A2100")), 115200);
        const auto frames = ValidFrames(e.TakeAllOutput());
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].Code, c.answerCode);
    }
}

TEST(DeviceEngineFiscalMemory, RangeReachesTheContentSource) {
    struct Recorder : ContentSource {
        std::vector<PrintoutRange> ranges;
        QByteArray FiscalMemory(FmArea, const PrintoutRange& r) override {
            ranges.push_back(r);
            return QByteArray(600, 'x');
        }
        QByteArray ChangeData() override { return {}; }
    };
    auto rec = std::make_shared<Recorder>();
    DeviceEngine e({}, rec);
    Negotiate(e);
    e.Feed(FmRequest(0x10, 0, 1, QByteArray::fromHex("0000120034")), 115200);
    e.Feed(FmRequest(0x10, 1, 2, QByteArray::fromHex("0000120034")), 115200);
    e.Feed(FmRequest(0x11, 0, 1, QByteArray::fromHex("01240101241231")), 115200);
    ASSERT_EQ(rec->ranges.size(), 2u); // one printout per upload, not per block
    EXPECT_EQ(rec->ranges[0], (PrintoutRange{PrintoutRange::Kind::ZNumbers, 12, 34}));
    EXPECT_EQ(rec->ranges[1], (PrintoutRange{PrintoutRange::Kind::Dates, 240101, 241231}));
}

TEST(DeviceEngineEprom, TenChangeBlocksThenAnEmptyAnswer) {
    struct Case {
        int changeBytes;
        int dataBlocks;
    };
    // A full area gives ten blocks; a short one its blocks (the last padded as erased memory).
    const Case cases[] = {{2560, 10}, {768, 3}, {700, 3}, {4000, 10}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.changeBytes);
        DeviceEngine e({}, MakeContent(700, c.changeBytes));
        Negotiate(e);
        QByteArray served;
        int block = 2038;
        std::uint8_t seq = 1;
        for (;; ++block, ++seq) {
            e.Feed(EpromRequest(block, seq), 115200);
            const auto frames = ValidFrames(e.TakeAllOutput());
            ASSERT_EQ(frames.size(), 1u);
            EXPECT_EQ(frames[0].Class, 0x83);
            EXPECT_EQ(frames[0].Param1, block & 0xFF);
            EXPECT_EQ(frames[0].Param2, block >> 8);
            EXPECT_EQ(frames[0].Sequence, seq);
            if (frames[0].Data.isEmpty())
                break;
            ASSERT_EQ(frames[0].Data.size(), 256);
            served += frames[0].Data;
            ASSERT_LT(block, 2048);
        }
        EXPECT_EQ(block, 2038 + c.dataBlocks);
        QByteArray expected = Pattern(c.changeBytes, 5).left(c.dataBlocks * 256);
        expected.append(QByteArray(c.dataBlocks * 256 - expected.size(), '\xFF'));
        EXPECT_EQ(served, expected);
    }
}

TEST(DeviceEngineEprom, BlockBeforeTheChangeAreaIsRefused) {
    DeviceEngine e({}, MakeContent());
    Negotiate(e);
    e.Feed(EpromRequest(2037, 3), 115200);
    const auto frames = ValidFrames(e.TakeAllOutput());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Code, 0x0D);
}

TEST(DeviceEngine, EchoesSequenceAndAddressOfEveryAnswerKind) {
    struct Case {
        const char* what;
        QByteArray request;
        std::uint8_t answerCode;
    };
    const Case cases[] = {
        {"setbaud", SetBaud(12, 0xFE), 0x0E},
        {"detail", FmRequest(0x10, 0, 0x00), 0x10},
        {"footer", FmRequest(0x13, 0, 0xA5), 0x13},
        {"eprom", EpromRequest(2040, 0x81), 0x00},
        {"unknown command", Request(0x80, 0x45, 0, 0, 0x42), 0x0D},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceEngine e({}, MakeContent());
        QByteArray req = c.request;
        // Another device address: the answer carries the one it was asked with.
        req[1] = 0x07;
        req[12] = static_cast<char>(
            HeaderChecksum(reinterpret_cast<const std::uint8_t*>(req.constData())));
        e.Feed(req, 9600);
        const auto frames = ValidFrames(e.TakeAllOutput());
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].Sequence, static_cast<std::uint8_t>(req[9]));
        EXPECT_EQ(frames[0].Address, 7u);
        EXPECT_EQ(frames[0].Code, c.answerCode);
    }
}

TEST(DeviceEngine, BadRequestFramesAreNotAnswered) {
    DeviceEngine e({}, MakeContent());
    QByteArray badCrc = FmRequest(0x10, 0, 1);
    badCrc[badCrc.size() - 1] = static_cast<char>(badCrc[badCrc.size() - 1] ^ 0x01);
    QByteArray badSum = SetBaud(1);
    badSum[12] = static_cast<char>(badSum[12] + 1);
    e.Feed(badCrc + badSum, 9600);
    EXPECT_FALSE(e.HasOutput());
    EXPECT_EQ(e.Stats().BadFrames, 2);
    EXPECT_EQ(e.Stats().Requests, 0);
}

TEST(DeviceEngine, ReturnsToStartRateAfterTheLastBlockUnlessSpoilt) {
    struct Case {
        const char* what;
        bool resetAtEnd;
        std::function<void(FaultPlan&)> faults;
        int rateAfter;
    };
    // Answer 1 acknowledges H_SETBAUD, answer 2 is block 0, answer 3 the last block.
    const Case cases[] = {
        {"intact end", true, [](FaultPlan&) {}, 9600},
        {"keep rate", false, [](FaultPlan&) {}, 115200},
        {"last block dropped", true, [](FaultPlan& f) { f.DropAnswers = {3}; }, 115200},
        {"every answer corrupted", true, [](FaultPlan& f) { f.CorruptPercent = 100; }, 115200},
        {"last block duplicated", true, [](FaultPlan& f) { f.DuplicateAnswers = {3}; }, 9600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EngineConfig cfg;
        cfg.ResetRateAtEnd = c.resetAtEnd;
        c.faults(cfg.Faults);
        DeviceEngine e(cfg, MakeContent(300));
        // Lost or spoilt on the line, the acknowledge still switched the device.
        Negotiate(e);
        EXPECT_EQ(e.LineRate(), 115200);
        e.Feed(FmRequest(0x10, 0, 1), 115200);
        e.TakeAllOutput();
        EXPECT_EQ(e.LineRate(), 115200);
        e.Feed(FmRequest(0x10, 1, 2), 115200);
        // Not before the last block has gone out.
        EXPECT_EQ(e.LineRate(), 115200);
        e.TakeAllOutput();
        EXPECT_EQ(e.LineRate(), c.rateAfter);
    }
}

// ---- Faults ------------------------------------------------------------------------------

namespace {

struct Exchange {
    QByteArray wire;              // everything the device sent
    std::vector<OutWrite> writes; // as separate writes
    std::vector<FrameEvent> events;
    EngineStats stats;
    int lineRate = 0;
    bool hungUp = false;
};

// Negotiates like a host (9600, asking 115200) and asks for Detail blocks 0..Count-1.
Exchange RunDetail(const FaultPlan& Plan, int Count, int Blocks = 8) {
    EngineConfig cfg;
    cfg.Faults = Plan;
    DeviceEngine e(cfg, MakeContent(Blocks * 256));
    Exchange x;
    auto drain = [&] {
        while (e.HasOutput()) {
            x.writes.push_back(e.TakeWrite());
            x.wire += x.writes.back().Bytes;
        }
    };
    e.Feed(SetBaud(1), 9600);
    drain();
    for (int i = 0; i < Count; ++i) {
        e.Feed(FmRequest(0x10, i, static_cast<std::uint8_t>(i + 1)), e.LineRate());
        drain();
    }
    x.events = Parse(x.wire);
    x.stats = e.Stats();
    x.lineRate = e.LineRate();
    x.hungUp = e.HungUp();
    return x;
}

std::vector<int> ValidSequences(const Exchange& X) {
    std::vector<int> seqs;
    for (const auto& ev : X.events) {
        if (ev.Kind == FrameEventKind::Frame)
            seqs.push_back(ev.Frame.Sequence);
    }
    return seqs;
}

} // namespace

TEST(DeviceEngineFaults, EachOptionDoesWhatItSays) {
    using Check = std::function<void(const Exchange&)>;
    struct Case {
        const char* what;
        std::function<void(FaultPlan&)> setup;
        Check check;
    };
    // Answer 1 is the H_SETBAUD acknowledge (sequence 0); answer k+1 is Detail block k-1 with
    // sequence k.
    const Case cases[] = {
        {"none", [](FaultPlan&) {},
         [](const Exchange& x) {
             EXPECT_EQ(ValidSequences(x), (std::vector<int>{0, 1, 2, 3, 4}));
             EXPECT_EQ(x.writes.size(), 5u);
         }},
        {"drop answers 2 and 4",
         [](FaultPlan& f) {
             f.DropAnswers = {2, 4};
         },
         [](const Exchange& x) {
             EXPECT_EQ(ValidSequences(x), (std::vector<int>{0, 2, 4}));
             EXPECT_EQ(x.stats.Dropped, 2);
         }},
        {"drop every answer", [](FaultPlan& f) { f.DropPercent = 100; },
         [](const Exchange& x) {
             EXPECT_TRUE(x.wire.isEmpty());
             // The acknowledge was lost on the line; the device switched all the same.
             EXPECT_EQ(x.stats.Requests, 5);
         }},
        {"corrupt every answer", [](FaultPlan& f) { f.CorruptPercent = 100; },
         [](const Exchange& x) {
             // The finder searches a failed frame's data again; the start bytes in the
             // blocks then give headers of noise, and nothing else.
             std::vector<FrameEventKind> failures;
             for (const FrameEvent& e : x.events) {
                 EXPECT_NE(e.Kind, FrameEventKind::Frame);
                 if (e.Kind == FrameEventKind::BadCrc || failures.empty())
                     failures.push_back(e.Kind);
             }
             EXPECT_EQ(failures, (std::vector<FrameEventKind>{
                                     FrameEventKind::BadHeaderChecksum, FrameEventKind::BadCrc,
                                     FrameEventKind::BadCrc, FrameEventKind::BadCrc,
                                     FrameEventKind::BadCrc}));
             EXPECT_EQ(x.stats.Corrupted, 5);
         }},
        {"duplicate answer 3", [](FaultPlan& f) { f.DuplicateAnswers = {3}; },
         [](const Exchange& x) {
             EXPECT_EQ(ValidSequences(x), (std::vector<int>{0, 1, 2, 2, 3, 4}));
         }},
        {"refuse H_UPLOAD_Detail",
         [](FaultPlan& f) {
             f.RefuseCommands = {{0x80, 0x10}};
         },
         [](const Exchange& x) {
             ASSERT_EQ(x.events.size(), 5u);
             EXPECT_EQ(x.events[0].Frame.Code, 0x0E);
             for (std::size_t i = 1; i < x.events.size(); ++i) {
                 EXPECT_EQ(x.events[i].Frame.Class, 0x80);
                 EXPECT_EQ(x.events[i].Frame.Code, 0x0D);
                 EXPECT_EQ(x.events[i].Frame.Sequence, i);
             }
         }},
        {"refuse request 3", [](FaultPlan& f) { f.RefuseRequests = {3}; },
         [](const Exchange& x) {
             ASSERT_EQ(x.events.size(), 5u);
             EXPECT_EQ(x.events[2].Frame.Code, 0x0D);
             EXPECT_EQ(x.events[2].Frame.Sequence, 2);
             EXPECT_EQ(x.events[3].Frame.Code, 0x10);
             EXPECT_EQ(x.stats.Refused, 1);
         }},
        {"refuse H_SETBAUD: the rate stays",
         [](FaultPlan& f) {
             f.RefuseCommands = {{0x80, 0x00}};
         },
         [](const Exchange& x) {
             ASSERT_FALSE(x.events.empty());
             EXPECT_EQ(x.events[0].Frame.Code, 0x0D);
             EXPECT_EQ(x.lineRate, 9600);
         }},
        {"silent after 3 answers", [](FaultPlan& f) { f.SilentAfter = 3; },
         [](const Exchange& x) {
             EXPECT_EQ(ValidSequences(x), (std::vector<int>{0, 1, 2}));
         }},
        {"garbage between frames", [](FaultPlan& f) { f.GarbageMax = 40; },
         [](const Exchange& x) {
             EXPECT_EQ(ValidSequences(x), (std::vector<int>{0, 1, 2, 3, 4}));
             const qsizetype frameBytes = 13 + 4 * 271;
             EXPECT_GT(x.wire.size(), frameBytes);
             EXPECT_LE(x.wire.size(), frameBytes + 5 * 40);
         }},
        {"split chunks", [](FaultPlan& f) { f.SplitChunks = true; },
         [](const Exchange& x) {
             EXPECT_EQ(ValidSequences(x), (std::vector<int>{0, 1, 2, 3, 4}));
             EXPECT_GE(x.writes.size(), 5u + 4u * (271 / 64));
             bool anyShort = false;
             for (const auto& w : x.writes) {
                 EXPECT_GE(w.Bytes.size(), 1);
                 EXPECT_LE(w.Bytes.size(), 64);
                 anyShort = anyShort || w.Bytes.size() < 13;
             }
             EXPECT_TRUE(anyShort);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FaultPlan plan;
        c.setup(plan);
        c.check(RunDetail(plan, 4));
    }
}

// The faults of broken lines and confused devices.
TEST(DeviceEngineFaults, LineAndDeviceFaultsDoWhatTheySay) {
    using Check = std::function<void(const Exchange&)>;
    struct Case {
        const char* what;
        std::function<void(FaultPlan&)> setup;
        Check check;
        int blocks = 8;
    };
    const Case cases[] = {
        {"echoing line", [](FaultPlan& f) { f.EchoRequests = true; },
         [](const Exchange& x) {
             // Each request comes back, at the rate the host sent it, before its answer.
             const auto frames = ValidFrames(x.wire);
             ASSERT_EQ(frames.size(), 10u);
             for (std::size_t i = 0; i < frames.size(); i += 2) {
                 const int seq = int(i / 2);
                 EXPECT_EQ(frames[i].Class, 0x80);
                 EXPECT_EQ(frames[i].Code, seq == 0 ? 0x00 : 0x10);
                 EXPECT_EQ(frames[i].Sequence, seq);
                 EXPECT_EQ(EncodeFrame(frames[i]),
                           seq == 0 ? SetBaud(1) : FmRequest(0x10, seq - 1, seq));
                 EXPECT_EQ(frames[i + 1].Sequence, seq);
                 EXPECT_EQ(frames[i + 1].Code, seq == 0 ? 0x0E : 0x10);
             }
             EXPECT_EQ(x.writes[0].Rate, 9600);
             EXPECT_EQ(x.writes[2].Rate, 115200);
             EXPECT_EQ(x.stats.Echoed, 5);
         }},
        {"no end marker", [](FaultPlan& f) { f.NoEndMarker = true; },
         [](const Exchange& x) {
             // Two blocks of content, four asked for: every one answered, none marked.
             const auto frames = ValidFrames(x.wire);
             ASSERT_EQ(frames.size(), 5u);
             for (std::size_t i = 1; i < frames.size(); ++i) {
                 ASSERT_EQ(frames[i].Data.size(), 256);
                 EXPECT_NE(static_cast<std::uint8_t>(frames[i].Data[254]), 0xA5);
                 EXPECT_NE(static_cast<std::uint8_t>(frames[i].Data[255]), 0xA5);
             }
             EXPECT_EQ(frames[1].Data, Pattern(512, 1).left(256));
             EXPECT_EQ(frames[3].Data, QByteArray(256, '\0'));
             EXPECT_EQ(frames[4].Data, QByteArray(256, '\0'));
             EXPECT_EQ(x.stats.Refused, 0);
         },
         2},
        {"false header before answer 3", [](FaultPlan& f) { f.FalseHeaderAnswers = {3}; },
         [](const Exchange& x) {
             EXPECT_EQ(x.stats.FalseHeaders, 1);
             // It swallows what follows: only the answers before it come through ...
             EXPECT_EQ(ValidSequences(x), (std::vector<int>{0, 1}));
             ASSERT_FALSE(x.events.empty());
             FrameFinder finder;
             std::vector<int> seqs;
             std::vector<FrameEvent> events;
             const auto sink = [&](const FrameEvent& e) { events.push_back(e); };
             finder.Feed(x.wire, sink);
             ASSERT_TRUE(finder.CollectingData());
             EXPECT_GE(finder.PendingDataLength(), 4000);
             EXPECT_LE(finder.PendingDataLength(), kMaxFrameDataLength);
             // ... until a finder gives up on it and finds the real ones behind it.
             finder.AbandonFrame(sink);
             for (const FrameEvent& e : events)
                 if (e.Kind == FrameEventKind::Frame)
                     seqs.push_back(e.Frame.Sequence);
             EXPECT_EQ(seqs, (std::vector<int>{0, 1, 2, 3, 4}));
         }},
        {"hang up after 3 answers", [](FaultPlan& f) { f.HangUpAfter = 3; },
         [](const Exchange& x) {
             EXPECT_EQ(ValidSequences(x), (std::vector<int>{0, 1, 2}));
             EXPECT_TRUE(x.hungUp);
             EXPECT_EQ(x.stats.Requests, 3); // deaf once hung up
         }},
        {"stale empty answer before answer 3", [](FaultPlan& f) { f.StaleEmptyAnswers = {3}; },
         [](const Exchange& x) {
             EXPECT_EQ(ValidSequences(x), (std::vector<int>{0, 1, 1, 2, 3, 4}));
             ASSERT_EQ(x.events.size(), 6u);
             EXPECT_EQ(x.events[2].Frame.Code, 0x10);
             EXPECT_TRUE(x.events[2].Frame.Data.isEmpty());
             // A write (datagram) of its own.
             EXPECT_EQ(x.writes.size(), 6u);
             EXPECT_EQ(x.writes[2].Bytes.size(), kFrameHeaderSize);
             EXPECT_EQ(x.stats.StaleEmpty, 1);
         }},
        {"late copy of answer 3 (no timer: at once)", [](FaultPlan& f) { f.LateCopyAnswers = {3}; },
         [](const Exchange& x) {
             EXPECT_EQ(ValidSequences(x), (std::vector<int>{0, 1, 2, 2, 3, 4}));
             EXPECT_EQ(x.stats.LateCopies, 1);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FaultPlan plan;
        c.setup(plan);
        c.check(RunDetail(plan, 4, c.blocks));
    }
}

TEST(DeviceEngineFaults, LateCopyWaitsForItsTimeAndFalseHeadersFollowTheSeed) {
    EngineConfig cfg;
    cfg.Faults.LateCopyAnswers = {2};
    cfg.Faults.LateCopyMs = 180;
    DeviceEngine e(cfg, MakeContent(512));
    std::vector<std::pair<int, std::function<void()>>> later;
    e.Defer = [&](int Ms, std::function<void()> Work) { later.emplace_back(Ms, std::move(Work)); };
    Negotiate(e);
    e.Feed(FmRequest(0x10, 0, 1), 115200);
    const QByteArray first = e.TakeAllOutput();
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].first, 180);
    e.Feed(FmRequest(0x10, 1, 2), 115200);
    const QByteArray second = e.TakeAllOutput();
    later[0].second(); // the timer fires while the next block is in flight
    const QByteArray copy = e.TakeAllOutput();
    EXPECT_EQ(copy, first);
    EXPECT_EQ(ValidFrames(second).front().Sequence, 2);

    auto falseHeaderWire = [](std::uint32_t Seed) {
        FaultPlan plan;
        plan.Seed = Seed;
        plan.FalseHeaderPercent = 50;
        return RunDetail(plan, 8).wire;
    };
    EXPECT_EQ(falseHeaderWire(4), falseHeaderWire(4));
    EXPECT_NE(falseHeaderWire(4), falseHeaderWire(5));
}

TEST(DeviceEngineFaults, GarbageNeverHoldsTheStartByte) {
    FaultPlan plan;
    plan.GarbageMax = 400;
    const Exchange x = RunDetail(plan, 4);
    // Every 0xAA on the wire starts a frame that parses: none was made up by the noise.
    int starts = 0;
    for (const char c : x.wire)
        starts += static_cast<std::uint8_t>(c) == 0xAA ? 1 : 0;
    int frameStarts = 0;
    for (const auto& ev : x.events) {
        EXPECT_EQ(ev.Kind, FrameEventKind::Frame);
        const QByteArray enc = EncodeFrame(ev.Frame);
        frameStarts += static_cast<int>(enc.count(char(0xAA)));
    }
    EXPECT_EQ(starts, frameStarts);
    EXPECT_EQ(x.events.size(), 5u);
}

TEST(DeviceEngineFaults, PercentagesAreDeterministicPerSeed) {
    auto run = [](std::uint32_t seed) {
        FaultPlan plan;
        plan.Seed = seed;
        plan.DropPercent = 30;
        plan.CorruptPercent = 30;
        plan.DuplicatePercent = 30;
        plan.GarbageMax = 8;
        plan.SplitChunks = true;
        return RunDetail(plan, 8);
    };
    const Exchange a = run(7);
    const Exchange b = run(7);
    EXPECT_EQ(a.wire, b.wire);
    ASSERT_EQ(a.writes.size(), b.writes.size());
    for (std::size_t i = 0; i < a.writes.size(); ++i)
        EXPECT_EQ(a.writes[i].Bytes, b.writes[i].Bytes);
    // Some other seed tells a different story.
    bool differs = false;
    for (std::uint32_t s = 8; s < 12 && !differs; ++s)
        differs = run(s).wire != a.wire;
    EXPECT_TRUE(differs);
}

TEST(DeviceEngineFaults, PercentagesHitRoughlyTheirShare) {
    FaultPlan plan;
    plan.Seed = 3;
    plan.DropPercent = 25;
    const Exchange x = RunDetail(plan, 200, 200);
    // 201 answers at 25 %: far from none and far from all.
    EXPECT_GT(x.stats.Dropped, 25);
    EXPECT_LT(x.stats.Dropped, 80);
    EXPECT_EQ(static_cast<int>(ValidSequences(x).size()), 201 - x.stats.Dropped);
}

TEST(DeviceEngineFaults, OnlyRateLetsTheHostsAlternationFindIt) {
    // The host's attempts: line rate, rate asked for.
    const std::pair<int, int> attempts[] = {
        {9600, 115200}, {115200, 115200}, {9600, 9600}, {115200, 115200}};
    struct Case {
        int only;
        int answeredAttempt; // index into attempts
    };
    const Case cases[] = {{115200, 1}, {9600, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.only);
        EngineConfig cfg;
        cfg.Faults.OnlyRate = c.only;
        DeviceEngine e(cfg, MakeContent());
        EXPECT_EQ(e.LineRate(), c.only);
        int firstAnswered = -1;
        for (int i = 0; i < 4; ++i) {
            e.Feed(SetBaud(115200 / attempts[i].second, 0), attempts[i].first);
            if (e.HasOutput() && firstAnswered < 0) {
                firstAnswered = i;
                const auto frames = ValidFrames(e.TakeAllOutput());
                ASSERT_EQ(frames.size(), 1u);
                EXPECT_EQ(frames[0].Code, 0x0E);
                break;
            }
        }
        EXPECT_EQ(firstAnswered, c.answeredAttempt);
        EXPECT_EQ(e.LineRate(), c.only);
        // Then the upload runs at that rate.
        e.Feed(FmRequest(0x10, 0, 1), c.only);
        EXPECT_EQ(ValidFrames(e.TakeAllOutput()).size(), 1u);
    }
}
