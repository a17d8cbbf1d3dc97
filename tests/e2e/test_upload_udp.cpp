// orvexfm-cli upload against orvexfm-sim over UDP on the loopback network.

#include "upload_fixture.h"

using namespace e2e;

namespace {

QStringList UdpArgs(const Sim& S) {
    return {QStringLiteral("--udp"), QStringLiteral("127.0.0.2"), QStringLiteral("--udp-port"),
            QString::number(S.UdpPort())};
}

// A device of its own on a free port, so tests may run side by side.
QStringList UdpSimArgs() {
    return {QStringLiteral("--udp"), QStringLiteral("--bind"), QStringLiteral("127.0.0.2"),
            QStringLiteral("--port"), QStringLiteral("0")};
}

} // namespace

class UdpUpload : public UploadFixture {};

TEST_F(UdpUpload, DetailAndTaxReportComeOutByteExact) {
    for (const int kind : {0, 2}) {
        SCOPED_TRACE(ReportName(kind));
        Sim sim(UdpSimArgs() + ContentArgs());
        ASSERT_GT(sim.UdpPort(), 0) << sim.FirstLine().toStdString();
        const QString hex = Path(ReportName(kind)) + QStringLiteral(".hex");
        const CliResult r = RunCli(UploadArgs(UdpArgs(sim), kind, hex));
        ExpectFinishedUpload(r, kind, hex, Content.ExpectedHex(kind));
    }
}

TEST_F(UdpUpload, FaultyNetworkStillGivesTheExactUpload) {
    struct Case {
        const char* Name;
        QStringList Faults;
    };
    const Case cases[] = {
        {"split datagrams", {QStringLiteral("--split-chunks")}},
        {"5% spoilt CRCs",
         {QStringLiteral("--corrupt-crc"), QStringLiteral("5"), QStringLiteral("--seed"),
          QStringLiteral("11")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Sim sim(UdpSimArgs() + ContentArgs() + c.Faults);
        ASSERT_GT(sim.UdpPort(), 0);
        const QString hex = Path("faulty.hex");
        const CliResult r = RunCli(UploadArgs(UdpArgs(sim), 0, hex));
        ExpectFinishedUpload(r, 0, hex, Content.ExpectedHex(0));
    }
}
