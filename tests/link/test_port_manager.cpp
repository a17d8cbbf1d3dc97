// The port manager: its table of eight links, opening by name, the tick driver.

#include "link/port_manager.h"
#include "link_test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>
#include <optional>

namespace {

struct Transports {
    std::vector<FakeTransport*> serial;
    std::vector<FakeTransport*> udp;
    std::vector<QString> failing; // serial endpoints that cannot be opened
};

std::unique_ptr<TVarnMPComm> MakeManager(Transports& t) {
    auto factory = [&t](TMode mode) -> std::unique_ptr<LinkTransport> {
        auto f = std::make_unique<FakeTransport>();
        f->Datagram = mode == tmTCPIP;
        (mode == tmRS232 ? t.serial : t.udp).push_back(f.get());
        return f;
    };
    return std::make_unique<TVarnMPComm>(factory);
}

TEST(PortManager, FindOpenCloseByName) {
    Transports t;
    auto m = MakeManager(t);
    ASSERT_EQ(t.serial.size(), 8u);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(m->Port(i)->CommName(), QStringLiteral("COM%1").arg(i + 1));

    // Each step: an operation, then FindPort of several names.
    enum class Op { Find, Open, Close };
    struct Step {
        const char* what;
        Op op;
        const char* name;
        bool opened; // Open: result
        std::vector<std::pair<const char*, int>> finds;
    };
    const Step steps[] = {
        {"fresh table", Op::Find, "", false, {{"com3", -2}, {"COM1", -2}, {" COM3 ", -2}}},
        {"open COM3", Op::Open, "COM3", true, {{" COM3 ", 2}, {"com3", 2}, {"COM1", -2}}},
        // The fault this guards against: COM1 must stay openable after COM3 was used.
        {"open COM1 after COM3", Op::Open, "COM1", true, {{"COM1", 0}, {"COM3", 2}}},
        {"open COM3 again changes nothing", Op::Open, "com3", true, {{"COM3", 2}}},
        {"close COM3", Op::Close, "COM3", false, {{"COM3", -2}, {"COM1", 0}}},
        {"a name the table never had",
         Op::Open,
         "/dev/pts/7",
         true,
         {{"/dev/pts/7", 1}, {"COM2", -2}, {"COM3", -2}}},
        {"close it; it keeps its name",
         Op::Close,
         "/dev/pts/7",
         false,
         {{"/DEV/PTS/7", -2}, {"COM2", -2}}},
        {"close a name that is not open", Op::Close, "COM5", false, {{"COM5", -2}, {"COM1", 0}}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        const QString name = QString::fromLatin1(s.name);
        if (s.op == Op::Open)
            EXPECT_EQ(m->OpenPort(name), s.opened);
        else if (s.op == Op::Close)
            m->ClosePort(name);
        for (const auto& [n, expected] : s.finds)
            EXPECT_EQ(m->FindPort(QString::fromLatin1(n)), expected) << n;
    }
    // Active entries are exactly those whose line is open.
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(m->Ports()[i].Active, t.serial[i]->IsOpen()) << i;
    EXPECT_EQ(t.serial[0]->EndpointValue, QStringLiteral("COM1"));
    EXPECT_EQ(t.serial[1]->EndpointValue, QStringLiteral("/dev/pts/7"));
}

TEST(PortManager, EdgesOfTheTable) {
    Transports t;
    auto m = MakeManager(t);

    // All eight in use: a ninth name is not openable.
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(m->OpenPort(QStringLiteral("/dev/ttyX%1").arg(i)));
    EXPECT_EQ(m->FindPort(QStringLiteral("COM1")), -1);
    EXPECT_FALSE(m->OpenPort(QStringLiteral("COM1")));
    EXPECT_FALSE(m->LastError().isEmpty());
    m->ClosePort(QStringLiteral("/dev/ttyX4"));
    EXPECT_EQ(m->FindPort(QStringLiteral("COM1")), -2);

    // A line that does not open leaves its entry inactive and reports why.
    t.serial[4]->FailOpen = true;
    EXPECT_FALSE(m->OpenPort(QStringLiteral("COM9")));
    EXPECT_EQ(m->LastError(), QStringLiteral("no such port"));
    EXPECT_FALSE(m->Ports()[4].Active);
    t.serial[4]->FailOpen = false;
    EXPECT_TRUE(m->OpenPort(QStringLiteral("COM9")));
    EXPECT_EQ(m->FindPort(QStringLiteral("COM9")), 4);

    // The session closed the line after its final time-out: opening again reopens it.
    t.serial[4]->Close();
    EXPECT_TRUE(m->OpenPort(QStringLiteral("COM9")));
    EXPECT_TRUE(t.serial[4]->IsOpen());

    // Opening sets the time-outs: 8 s until the owner has set MaxBaudIndex to 115200.
    TBsPort& link = *m->Port(4);
    m->ClosePort(QStringLiteral("COM9"));
    link.MaxBaudIndex = 0;
    ASSERT_TRUE(m->OpenPort(QStringLiteral("COM9")));
    EXPECT_EQ(link.AckTimeoutMs, 8000);
    m->ClosePort(QStringLiteral("COM9"));
    link.MaxBaudIndex = kBaudIndex115200;
    ASSERT_TRUE(m->OpenPort(QStringLiteral("COM9")));
    EXPECT_EQ(link.AckTimeoutMs, 5000);
    m->ClosePort(QStringLiteral("COM9"));
    link.IsModem = true;
    ASSERT_TRUE(m->OpenPort(QStringLiteral("COM9")));
    EXPECT_EQ(link.AckTimeoutMs, 8000);
    EXPECT_EQ(link.BaudTimeoutMs, 8000);

    // UDP mode: the table is not used.
    m->SetMode(tmTCPIP);
    EXPECT_EQ(m->FindPort(QStringLiteral("COM9")), -1);
    EXPECT_FALSE(m->OpenPort(QStringLiteral("COM1")));
    m->ClosePort(QStringLiteral("COM9"));
    EXPECT_TRUE(m->Ports()[4].Active);
}

TEST(PortManager, RefusedUploadEndsTheSessionAsRefused) {
    Transports t;
    auto m = MakeManager(t);
    QTemporaryDir dir;
    ASSERT_TRUE(m->OpenPort(QStringLiteral("COM2")));
    const int i = m->FindPort(QStringLiteral("COM2"));
    ASSERT_EQ(i, 1);
    TBsPort& link = *m->Port(i);
    qint64 now = 0;
    link.Clock = [&] { return now; };
    std::optional<SessionEnd> ended;
    link.OnSessionEnded = [&](SessionEnd e) { ended = e; };
    link.EnumVarnCmd = H_UPLOAD_Header;
    link.RetriesLeft = 6;
    link.BeginSession(1, kBaudIndex115200, true);
    ASSERT_TRUE(link.PrepareCommand(dir.filePath("h.hex")));
    t.serial[i]->Deliver(Ack(0));
    now += TBsPort::kBaudSettleMs;
    m->TickAll();
    ASSERT_EQ(t.serial[i]->Writes.size(), 2u);
    EXPECT_FALSE(ended);
    t.serial[i]->Deliver(Refusal(1));
    EXPECT_EQ(ended, SessionEnd::Refused);
    EXPECT_EQ(link.SessionResult(), 2);
    link.OutputFile().close();
}

TEST(PortManager, TickDriverRunsTimeOutsInTheEventLoop) {
    Transports t;
    auto m = MakeManager(t);
    ASSERT_TRUE(m->OpenPort(QStringLiteral("COM1")));
    TBsPort& link = *m->Port(0);
    link.BaudTimeoutMs = 30;
    link.RetriesLeft = 2;
    link.EnumVarnCmd = H_UPLOAD_Detail;
    int finalResult = -100;
    QEventLoop loop;
    link.OnSessionResult = [&](int r) {
        if (r == 2) {
            finalResult = r;
            loop.quit();
        }
    };
    link.BeginSession(1, kBaudIndex115200, true);
    EXPECT_FALSE(m->WorkerRunning());
    m->StartWorker(5);
    EXPECT_TRUE(m->WorkerRunning());
    QTimer::singleShot(10000, &loop, &QEventLoop::quit); // hang guard only
    loop.exec();
    EXPECT_EQ(finalResult, 2);
    EXPECT_EQ(t.serial[0]->Writes.size(), 2u) << "two attempts, then failure";
    m->StopWorker();
    EXPECT_FALSE(m->WorkerRunning());

    // Without the driver nothing expires.
    link.RetriesLeft = 2;
    link.BeginSession(1, kBaudIndex115200, true);
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 100)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    EXPECT_EQ(t.serial[0]->Writes.size(), 3u);
    EXPECT_EQ(link.SessionResult(), 0);
}

TEST(PortManager, DebugFilesAreWrittenBesideTheProgram) {
    QTemporaryDir dir;
    {
        Transports t;
        auto m = MakeManager(t);
        m->DebugDir = dir.path();
        m->Port(2)->IsDebug = true;
        m->Port(2)->ReportStatus(QStringLiteral("first line"));
        m->Port(2)->ReportStatus(QStringLiteral("second line"));
        m->Port(5)->ReportStatus(QStringLiteral("not kept"));
    }
    QFile f(dir.filePath(QStringLiteral("Debug3.log")));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("first line\nsecond line\n"));
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("Debug6.log"))));
}

} // namespace

namespace {

// Runs the event loop for about Ms milliseconds.
void RunEventsFor(int Ms) {
    QEventLoop loop;
    QTimer::singleShot(Ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Starts a Detail session whose H_SETBAUD is never answered and runs events until it ends
// (10 s guard); AfterStart runs right after the start.
std::optional<SessionEnd> RunUnansweredSession(TBsPort& Link, int Retries,
                                               const std::function<void()>& AfterStart = {}) {
    std::optional<SessionEnd> ended;
    QEventLoop loop;
    Link.OnSessionEnded = [&](SessionEnd e) {
        ended = e;
        loop.quit();
    };
    Link.EnumVarnCmd = H_UPLOAD_Detail;
    Link.RetriesLeft = Retries;
    Link.BeginSession(1, kBaudIndex115200, true);
    if (AfterStart)
        AfterStart();
    QTimer::singleShot(10000, &loop, &QEventLoop::quit); // hang guard only
    loop.exec();
    Link.OnSessionEnded = nullptr;
    return ended;
}

} // namespace

TEST(PortManager, TickDriverSleepsWhileNoSessionIsOpen) {
    Transports t;
    auto m = MakeManager(t);
    ASSERT_TRUE(m->OpenPort(QStringLiteral("COM1")));
    TBsPort& link = *m->Port(0);
    link.BaudTimeoutMs = 30;
    m->StartWorker(5);
    RunEventsFor(40);
    EXPECT_TRUE(m->WorkerRunning());
    EXPECT_FALSE(m->Ticking()) << "no session: the first pass puts the driver to sleep";

    const std::optional<SessionEnd> ended =
        RunUnansweredSession(link, 1, [&] { EXPECT_TRUE(m->Ticking()) << "a session wakes it"; });
    EXPECT_EQ(ended, SessionEnd::RateFailed) << "the ticks ran the time-out";
    RunEventsFor(40);
    EXPECT_FALSE(m->Ticking()) << "asleep again once the session ended";

    m->StopWorker();
    link.RetriesLeft = 1;
    link.BeginSession(1, kBaudIndex115200, true);
    EXPECT_FALSE(m->Ticking()) << "a stopped driver is not woken";
}

TEST(PortManager, TickDriverWakesWhenSomethingFallsDueNotEveryInterval) {
    Transports t;
    auto m = MakeManager(t);
    ASSERT_TRUE(m->OpenPort(QStringLiteral("COM1")));
    TBsPort& link = *m->Port(0);
    link.BaudTimeoutMs = 300;
    m->StartWorker(5);
    RunEventsFor(20);

    QElapsedTimer elapsed;
    elapsed.start();
    const int passesBefore = m->Passes();
    // One retry, then the session fails: two 300 ms periods.
    ASSERT_EQ(RunUnansweredSession(link, 2), SessionEnd::RateFailed);
    EXPECT_GE(elapsed.elapsed(), 600) << "each attempt waited out its whole time-out";
    EXPECT_EQ(t.serial[0]->Writes.size(), 2u) << "the H_SETBAUD and its one retry";
    // A driver ticking every 5 ms would have made over a hundred passes in 600 ms; one that
    // sleeps until the next time-out needs a handful (start, each expiry, the end).
    EXPECT_LE(m->Passes() - passesBefore, 8);
}
