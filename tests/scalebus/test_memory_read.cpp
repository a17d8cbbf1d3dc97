// The whole-memory read both the window's test command and the command line run.

#include "scale_fixture.h"
#include "scalebus/scale_memory_read.h"
#include "tests/support/file_bytes.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

using namespace scalebus;

namespace {

struct Recorder {
    QStringList Statuses; // "ok:TEXT" / "error:TEXT"
    int Margin = -1;
    int LastProgress = 0;
    int OperatorWaits = 0;
    ScaleMemoryReadHooks Hooks() {
        ScaleMemoryReadHooks h;
        h.SetStatus = [this](bool Error, const QString& Text) {
            Statuses << (Error ? QStringLiteral("error:") : QStringLiteral("ok:")) + Text;
        };
        h.SetMargin = [this](int Total) { Margin = Total; };
        h.SetProgress = [this](int Current) { LastProgress = Current; };
        h.WaitForOperator = [this] { ++OperatorWaits; };
        return h;
    }
};

TEST(ScaleMemoryRead, CompleteSerialReadWritesTheWholeMemory) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("scale.bin"));
    ScaleConfig config;
    config.ContentSeed = 77;
    config.Faults.OnlyRate = 19200;
    SerialScale s(config);
    ASSERT_TRUE(s.Ok);
    s.Link.SetBaudRate(tbr115200);
    s.Link.SetActive(true);
    Recorder r;
    const ScaleReadResult result = ReadScaleMemory(s.Link, kTestScaleNo, target, r.Hooks());
    ASSERT_EQ(result.Outcome, ScaleReadOutcome::Written);
    const QByteArray written = ReadAll(target);
    EXPECT_EQ(written.size(), 524288);
    EXPECT_TRUE(written == ExpectedMemory(77));
    EXPECT_EQ(r.Statuses,
              (QStringList{QStringLiteral("ok:Connect..."), QStringLiteral("ok:Receive Data..."),
                           QStringLiteral("ok:Disconnect...")}));
    EXPECT_EQ(r.Margin, 2048);
    EXPECT_EQ(r.LastProgress, 2048);
    EXPECT_EQ(s.Engine.Stats().BlockReads.size(), 2048u);
    EXPECT_EQ(s.Engine.Stats().FinishFlags, std::vector<int>{0});
    EXPECT_FALSE(s.Link.PortOpen()); // SetActive(false) at the end
}

TEST(ScaleMemoryRead, CompleteUdpReadInPiecesWritesTheWholeMemory) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("scale.bin"));
    ScaleConfig config;
    config.Faults.SplitSizes = {100, 100, 59};
    UdpScale s(config);
    ASSERT_TRUE(s.Ok);
    Recorder r;
    ASSERT_EQ(ReadScaleMemory(s.Link, kTestScaleNo, target, r.Hooks()).Outcome,
              ScaleReadOutcome::Written);
    const QByteArray written = ReadAll(target);
    EXPECT_EQ(written.size(), 524288);
    EXPECT_TRUE(written == ExpectedMemory(config.ContentSeed));
}

TEST(ScaleMemoryRead, FailedConnectFinishesWithTheErrorFlagAndWritesNothing) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("scale.bin"));
    UdpScale s(ScaleConfig{});
    ASSERT_TRUE(s.Ok);
    s.PingAnswers = false;
    Recorder r;
    EXPECT_EQ(ReadScaleMemory(s.Link, kTestScaleNo, target, r.Hooks()).Outcome,
              ScaleReadOutcome::ConnectFailed);
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_EQ(r.Statuses, (QStringList{QStringLiteral("ok:Connect..."),
                                       QStringLiteral("error:Connect...Error!")}));
    EXPECT_EQ(r.OperatorWaits, 1);
    EXPECT_EQ(s.Engine.Stats().FinishFlags, std::vector<int>{1});
}

TEST(ScaleMemoryRead, FailedBlockLeavesAnEarlierFileAlone) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("scale.bin"));
    {
        QFile old(target);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("earlier read");
    }
    ScaleConfig config;
    config.Faults.SilentAfter = 10; // blocks 0..9 are answered
    UdpScale s(config);
    ASSERT_TRUE(s.Ok);
    s.Link.SetRetryCount(1);
    s.Link.SetRetryInterval(60);
    Recorder r;
    const ScaleReadResult result = ReadScaleMemory(s.Link, kTestScaleNo, target, r.Hooks());
    EXPECT_EQ(result.Outcome, ScaleReadOutcome::BlockFailed);
    EXPECT_EQ(result.FailedBlock, 10);
    EXPECT_EQ(r.Statuses.last(), QStringLiteral("error:Receive Data...Error!"));
    EXPECT_EQ(ReadAll(target), QByteArray("earlier read"));
    EXPECT_EQ(s.Engine.Stats().FinishFlags, (std::vector<int>{1, 1, 1})); // unanswered: 3 tries
}

TEST(ScaleMemoryRead, CancelDuringBlock100EndsWithoutAFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("scale.bin"));
    ScaleConfig config;
    config.Faults.DropAnswers = {101}; // block 100's first answer never comes
    UdpScale s(config);
    ASSERT_TRUE(s.Ok);
    s.Link.SetRetryInterval(60000); // only the Cancel can end block 100
    Recorder r;
    ScaleMemoryReadHooks hooks = r.Hooks();
    hooks.SetProgress = [&](int Current) {
        r.LastProgress = Current;
        if (Current == 101) // block 100 is next
            QTimer::singleShot(20, &s.Link, [&s] { s.Link.Cancel(); });
    };
    const ScaleReadResult result = ReadScaleMemory(s.Link, kTestScaleNo, target, hooks);
    EXPECT_EQ(result.Outcome, ScaleReadOutcome::BlockFailed);
    EXPECT_EQ(result.FailedBlock, 100);
    EXPECT_EQ(s.Engine.Stats().BlockReads.at(100), 1); // ended by Cancel, not by retries
    EXPECT_EQ(s.Engine.Stats().BlockReads.count(101), 0u);
    EXPECT_FALSE(QFile::exists(target));
}

} // namespace
