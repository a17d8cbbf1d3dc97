#include "sim/output_pump.h"
#include "sim_test_util.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

using namespace simtest;

namespace {

// Generous: only a hang guard, never a speed requirement.
constexpr int kGuardMs = 20000;

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "sim_io_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

std::shared_ptr<FixedContent> Content(int DetailBytes) {
    auto c = std::make_shared<FixedContent>();
    c->SetArea(FmArea::Detail, Pattern(DetailBytes, 3));
    return c;
}

struct Written {
    QByteArray bytes;
    int rate;
    qint64 atMs;
};

// Runs the event loop until Expected bytes have been written (or the guard expires).
void RunUntil(const std::vector<Written>& Log, qsizetype Expected) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        qsizetype n = 0;
        for (const auto& w : Log)
            n += w.bytes.size();
        if (n >= Expected)
            loop.quit();
    });
    poll.start(5);
    QTimer::singleShot(kGuardMs, &loop, &QEventLoop::quit);
    loop.exec();
}

QByteArray Joined(const std::vector<Written>& Log) {
    QByteArray all;
    for (const auto& w : Log)
        all += w.bytes;
    return all;
}

} // namespace

TEST(OutputPump, UnpacedWritesEverythingInOrderThroughAFullTransport) {
    App();
    DeviceEngine engine({}, Content(1024));
    std::vector<Written> log;
    int calls = 0;
    // A transport that takes at most 50 bytes a call and is full on every third call.
    OutputPump pump(engine, {}, [&](const OutWrite& w) -> qsizetype {
        if (++calls % 3 == 0)
            return 0;
        const qsizetype n = std::min<qsizetype>(50, w.Bytes.size());
        log.push_back({w.Bytes.left(n), w.Rate, 0});
        return n;
    });
    QByteArray expected;
    for (int b = 0; b < 4; ++b) {
        engine.Feed(FmRequest(0x10, b, static_cast<std::uint8_t>(b + 1)), 9600);
        pump.Kick();
    }
    // Same requests, same answers: a second engine gives the bytes the pump must deliver.
    DeviceEngine reference({}, Content(1024));
    for (int b = 0; b < 4; ++b)
        reference.Feed(FmRequest(0x10, b, static_cast<std::uint8_t>(b + 1)), 9600);
    expected = reference.TakeAllOutput();

    RunUntil(log, expected.size());
    EXPECT_EQ(Joined(log), expected);
    EXPECT_EQ(ValidFrames(Joined(log)).size(), 4u);
}

TEST(OutputPump, PacedOutputTakesTheLinesTimeAndKeepsTheAckAtTheOldRate) {
    App();
    DeviceEngine engine({}, Content(1024));
    std::vector<Written> log;
    QElapsedTimer clock;
    clock.start();
    OutputPump::Options opts;
    opts.Pace = true;
    OutputPump pump(engine, opts, [&](const OutWrite& w) -> qsizetype {
        log.push_back({w.Bytes, w.Rate, clock.elapsed()});
        return w.Bytes.size();
    });
    // The acknowledge goes out at 9600; four blocks follow at 9600 too when the host asks
    // for 9600 (divisor 12), so the whole exchange is paced at 960 bytes a second.
    engine.Feed(SetBaud(12), 9600);
    pump.Kick();
    for (int b = 0; b < 4; ++b) {
        engine.Feed(FmRequest(0x10, b, static_cast<std::uint8_t>(b + 1)), 9600);
        pump.Kick();
    }
    const qsizetype total = 13 + 4 * 271;
    RunUntil(log, total);
    ASSERT_EQ(Joined(log).size(), total);
    EXPECT_EQ(ValidFrames(Joined(log)).size(), 5u);
    // 1097 bytes at 960 bytes/s, less what an idle line may save up (300 bytes).
    EXPECT_GE(log.back().atMs, (total - 300) * 1000 / 960 - 20);
    for (const auto& w : log)
        EXPECT_EQ(w.rate, 9600);
}

TEST(OutputPump, PacingFollowsTheRateSwitch) {
    App();
    DeviceEngine engine({}, Content(8 * 256));
    std::vector<Written> log;
    OutputPump::Options opts;
    opts.Pace = true;
    OutputPump pump(engine, opts, [&](const OutWrite& w) -> qsizetype {
        log.push_back({w.Bytes, w.Rate, 0});
        return w.Bytes.size();
    });
    engine.Feed(SetBaud(1), 9600);
    pump.Kick();
    RunUntil(log, 13);
    ASSERT_EQ(Joined(log).size(), 13);
    EXPECT_EQ(engine.LineRate(), 115200);
    for (const auto& w : log)
        EXPECT_EQ(w.rate, 9600);
    const std::size_t ackWrites = log.size();

    engine.Feed(FmRequest(0x10, 0, 1), 115200);
    pump.Kick();
    RunUntil(log, 13 + 271);
    ASSERT_EQ(Joined(log).size(), 13 + 271);
    for (std::size_t i = ackWrites; i < log.size(); ++i)
        EXPECT_EQ(log[i].rate, 115200);
}

TEST(OutputPump, GapKeepsSplitPiecesApart) {
    App();
    EngineConfig cfg;
    cfg.Faults.SplitChunks = true;
    DeviceEngine engine(cfg, Content(256));
    std::vector<Written> log;
    QElapsedTimer clock;
    clock.start();
    OutputPump::Options opts;
    opts.GapMs = 3;
    OutputPump pump(engine, opts, [&](const OutWrite& w) -> qsizetype {
        log.push_back({w.Bytes, w.Rate, clock.elapsed()});
        return w.Bytes.size();
    });
    engine.Feed(FmRequest(0x10, 0, 1), 9600);
    pump.Kick();
    RunUntil(log, 271);
    ASSERT_EQ(Joined(log).size(), 271);
    ASSERT_GE(log.size(), 5u);
    // Timestamps are whole milliseconds and Qt's timers keep millisecond accuracy, so a 3 ms
    // gap can read as 2; without the gap the pieces would follow each other at once.
    for (std::size_t i = 1; i < log.size(); ++i)
        EXPECT_GE(log[i].atMs - log[i - 1].atMs, opts.GapMs - 1) << i;
    EXPECT_EQ(ValidFrames(Joined(log)).size(), 1u);
}
