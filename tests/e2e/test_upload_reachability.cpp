// The reachability check of UDP uploads: the check before the first request, the repeated
// check while the link makes no progress, a check that cannot be made at all, and the ICMP
// echo check the window and the command-line tool attach.

#include "app/core/reachability.h"
#include "app/core/upload_action.h"
#include "fake_device_transport.h"

#include "fm/sample_content.h"
#include "link/bsport.h"
#include "link/commands.h"
#include "link/frame.h"
#include "link/port_manager.h"
#include "transport/icmp_echo.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

constexpr std::uint32_t kSeed = 9;
const QString kDeviceHost = QStringLiteral("192.0.2.44");
const QString kIcmpRunErrorText = QString::fromUtf8(kIcmpRunError);

// A factory for the echo component that fails as the system does without an echo socket.
std::unique_ptr<TIcmpEcho> NoEchoSocket() {
    throw EIcmpError(kIcmpRunError);
}

// Whether this process may open an echo socket at all (root, CAP_NET_RAW or a permitting
// ping_group_range).
bool EchoSocketPermitted() {
    try {
        TIcmpEcho probe;
        return true;
    } catch (const EIcmpError&) {
        return false;
    }
}

class UdpReachabilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        Folders = WorkFoldersBelow(m_dir.path());
        ASSERT_TRUE(CreateWorkFolders(Folders).isEmpty());
        auto content = std::make_shared<FixedContent>();
        content->SetArea(FmArea::Detail, SampleDetailUpload(kSeed, 40, 3));
        content->SetArea(FmArea::Header, SampleHeaderBlocks(kSeed, 1));
        content->SetArea(FmArea::Footer, SampleFooterBlocks(kSeed));
        content->SetChangeData(SampleChangeDataArea(kSeed));
        Action.reset();
        Ports.reset();
        Engine = std::make_shared<DeviceEngine>(EngineConfig{}, content);
        Ports = std::make_unique<TVarnMPComm>([this](TMode Mode) {
            return std::make_unique<FakeDeviceTransport>(Engine, Mode == tmRS232);
        });
        Action = std::make_unique<UploadAction>(*Ports, Folders, Messages);
        Action->OnMemoLine = [this](const QString& L) { Memo.append(L); };
        Action->AddListEntry = [this](const QString& Path, const QString&) {
            Listed.append(Path);
            return QString();
        };
        Action->OnFrameTrace = [this](FrameDirection D, const QByteArray&, int) {
            if (D == FrameDirection::Sent)
                ++FramesSent;
        };
    }

    UploadRequest UdpRequest(int ReportType) const {
        UploadRequest r;
        r.Kind = static_cast<ReportKind>(ReportType);
        r.Mode = tmTCPIP;
        r.UdpHost = kDeviceHost;
        r.OutputFile = OutFile();
        r.MachineIndex = 1;
        return r;
    }

    QString OutFile() const { return m_dir.filePath(QStringLiteral("up.hex")); }

    WorkFolders Folders;
    MessageTable Messages;
    std::shared_ptr<DeviceEngine> Engine;
    std::unique_ptr<TVarnMPComm> Ports;
    std::unique_ptr<UploadAction> Action;
    QStringList Memo;
    QStringList Listed;
    int FramesSent = 0;

private:
    QTemporaryDir m_dir;
};

// The check before the upload decides whether the upload may go on: an answered check lets
// it run to its report and is not repeated once requests are running; an unanswered one lets
// the first request out but ends the wait at once; a check without an echo socket stops the
// upload before anything is sent, with the system's text.
TEST_F(UdpReachabilityTest, CheckBeforeTheUploadDecidesTheUpload) {
    enum class Check { Answered, Unanswered, NoEchoSocket };
    struct Case {
        const char* Name;
        int ReportType;
        Check Behaviour;
        UploadOutcome Outcome;
        QStringList Memo;
        bool AnyReport;
    };
    const QStringList timeoutLines = {QStringLiteral("timeout..."),
                                      QStringLiteral("connect fail...")};
    const Case cases[] = {
        {"answered, Detail", 0, Check::Answered, UploadOutcome::Finished, {}, true},
        {"answered, tax rate (header, footer, change data)",
         2,
         Check::Answered,
         UploadOutcome::Finished,
         {},
         true},
        {"unanswered, Detail", 0, Check::Unanswered, UploadOutcome::TimedOut, timeoutLines, false},
        {"unanswered, tax rate", 2, Check::Unanswered, UploadOutcome::TimedOut, timeoutLines,
         false},
        {"no echo socket, Detail",
         0,
         Check::NoEchoSocket,
         UploadOutcome::PortOpenFailed,
         {kIcmpRunErrorText},
         false},
        {"no echo socket, tax rate",
         2,
         Check::NoEchoSocket,
         UploadOutcome::PortOpenFailed,
         {kIcmpRunErrorText},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        SetUp();
        // Short limits: had the check been repeated while requests run, it would show here.
        Action->Limits.UdpCheckAfterMs = 5;
        Action->Limits.ReachabilityRepeatMs = 5;
        QStringList hosts;
        switch (c.Behaviour) {
        case Check::Answered:
        case Check::Unanswered:
            Action->ReachabilityCheck = [&hosts, &c](const QString& Host) {
                hosts.append(Host);
                return c.Behaviour == Check::Answered;
            };
            break;
        case Check::NoEchoSocket: {
            const auto check = MakeIcmpReachabilityCheck(NoEchoSocket);
            Action->ReachabilityCheck = [&hosts, check](const QString& Host) {
                hosts.append(Host);
                return check(Host);
            };
            break;
        }
        }

        EXPECT_EQ(Action->Run(UdpRequest(c.ReportType)), c.Outcome);
        EXPECT_EQ(hosts, QStringList{kDeviceHost});
        EXPECT_EQ(Memo, c.Memo);
        EXPECT_EQ(Listed.size(), c.AnyReport ? 1 : 0);
        EXPECT_FALSE(Ports->Port(0)->OutputFile().isOpen());
        EXPECT_EQ(Action->State(), UploadState::Idle);
        switch (c.Behaviour) {
        case Check::Answered:
            EXPECT_GT(FramesSent, 2);
            break;
        case Check::Unanswered:
            // The first request of the first exchange goes out, nothing after it.
            EXPECT_EQ(FramesSent, 1);
            EXPECT_TRUE(Action->Stopped());
            break;
        case Check::NoEchoSocket:
            EXPECT_EQ(FramesSent, 0);
            EXPECT_FALSE(QFile::exists(OutFile()));
            break;
        }
        Memo.clear();
        Listed.clear();
        FramesSent = 0;
        QFile::remove(OutFile());
    }
}

// While a UDP link makes no progress (SessionResult stays 0) the check runs once the first
// limit has passed and then no sooner than every repeat limit, until it fails. The window's
// limits are 4000 ms and 4000 ms (checks at 4 s, 8 s, 12 s, ...); here they are scaled down.
TEST_F(UdpReachabilityTest, CheckDuringTheWaitRepeatsNoSoonerThanItsLimit) {
    EXPECT_EQ(UploadLimits{}.UdpCheckAfterMs, 4000);
    EXPECT_EQ(UploadLimits{}.ReachabilityRepeatMs, 4000);

    enum class Answer { Yes, No, Throw };
    struct Case {
        const char* Name;
        std::vector<Answer> Answers; // one per check; the last one ends the wait
        QStringList Memo;
    };
    const Case cases[] = {
        {"answered twice, then not",
         {Answer::Yes, Answer::Yes, Answer::No},
         {QStringLiteral("timeout..."), QStringLiteral("connect fail...")}},
        {"not answered at the first check",
         {Answer::No},
         {QStringLiteral("timeout..."), QStringLiteral("connect fail...")}},
        {"echo socket gone at the second check", {Answer::Yes, Answer::Throw}, {kIcmpRunErrorText}},
    };
    constexpr int kAfterMs = 40;
    constexpr int kRepeatMs = 60;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        SetUp();
        Action->Limits.UdpCheckAfterMs = kAfterMs;
        Action->Limits.ReachabilityRepeatMs = kRepeatMs;

        // A UDP link whose session has begun but whose first request never goes out (the port
        // manager's tick driver is not running): its result stays 0.
        Ports->SetMode(tmTCPIP);
        TBsPort& link = *Ports->Port(0);
        link.SetIP(kDeviceHost);
        link.SetMode(tmTCPIP);
        link.EnumVarnCmd = H_UPLOAD_Detail;
        link.BeginSession(UploadAction::kDeviceAddress, UploadAction::kBaudIndex, true);
        ASSERT_TRUE(link.PrepareCommand(OutFile()));
        ASSERT_EQ(link.SessionResult(), 0);

        QElapsedTimer clock;
        std::vector<qint64> calledAtNs;
        QStringList hosts;
        Action->ReachabilityCheck = [&](const QString& Host) {
            calledAtNs.push_back(clock.nsecsElapsed());
            hosts.append(Host);
            const std::size_t i = calledAtNs.size() - 1;
            const Answer a = i < c.Answers.size() ? c.Answers[i] : Answer::No;
            if (a == Answer::Throw)
                throw EIcmpError(kIcmpRunError);
            return a == Answer::Yes;
        };
        clock.start();
        EXPECT_EQ(Action->WaitForLink(0), 0);

        ASSERT_EQ(calledAtNs.size(), c.Answers.size());
        EXPECT_EQ(hosts, QStringList(c.Answers.size(), kDeviceHost));
        EXPECT_GE(calledAtNs[0], qint64{kAfterMs} * 1000000);
        for (std::size_t i = 1; i < calledAtNs.size(); ++i)
            EXPECT_GE(calledAtNs[i] - calledAtNs[i - 1], qint64{kRepeatMs} * 1000000)
                << "checks " << i << " and " << i + 1;
        EXPECT_EQ(Memo, c.Memo);
        EXPECT_FALSE(link.OutputFile().isOpen());
        EXPECT_EQ(link.SessionResult(), 0);
        Memo.clear();
    }
}

// The ICMP echo check itself, against this machine's loopback: answered addresses and names
// pass; a name that cannot be resolved, an empty host and the all-ones address fail, also
// right after a check that passed (the earlier address must not be checked in their place).
// The echo component is made at the first check and kept; a failed making is tried again.
TEST(IcmpReachabilityCheck, ChecksTheHostItIsGiven) {
    int made = 0;
    const auto check = MakeIcmpReachabilityCheck([&made]() -> std::unique_ptr<TIcmpEcho> {
        if (++made == 1)
            throw EIcmpError(kIcmpRunError);
        return std::make_unique<TIcmpEcho>();
    });
    try {
        check(QStringLiteral("127.0.0.1"));
        ADD_FAILURE() << "the first making of the echo component fails, so must the check";
    } catch (const EIcmpError& e) {
        EXPECT_STREQ(e.what(), kIcmpRunError);
    }
    EXPECT_EQ(made, 1);
    if (!EchoSocketPermitted())
        GTEST_SKIP() << "this process may open no ICMP echo socket (needs root, CAP_NET_RAW "
                        "or net.ipv4.ping_group_range covering its group)";

    struct Case {
        const char* Host;
        bool Reachable;
    };
    // In this order: each failing host follows a passing one.
    const Case cases[] = {
        {"127.0.0.1", true}, {"no..such.host", false}, {"localhost", true},
        {"", false},         {"127.0.0.3", true},      {"255.255.255.255", false},
        {"127.0.0.1", true}, {"no..such.host", false}, {"no..such.host", false},
        {"127.0.0.1", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Host);
        EXPECT_EQ(check(QString::fromLatin1(c.Host)), c.Reachable);
    }
    EXPECT_EQ(made, 2);
}

} // namespace
