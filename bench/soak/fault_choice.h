#pragma once

#include "sim/device_engine.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <random>

// What one soak upload serves and which faults the simulated device commits, chosen at
// random from the soak's seeded generator.

enum class SoakTransport { Serial, Udp };

// How the upload must end under its fault plan.
enum class Expectation {
    Finish,   // recoverable faults only: byte-exact .hex and a report
    Refusal,  // an upload request is refused: Refused, "upload fail..."
    TimedOut, // the device falls silent before the last answer: "timeout..."
    // The device hangs up its serial line before the last answer: exit 3 at once, with the
    // line named as disconnected, or - between the exchanges of a change report - the port
    // that no longer opens.
    HangUp,
};

const char* ExpectationName(Expectation E);

// The device's content for one upload and the bytes the .hex file must end up holding.
struct SoakContent : DeviceAreas {
    ReportKind Kind = ReportKind::Detail;

    QByteArray ExpectedHex() const { return DeviceAreas::ExpectedHex(Kind); }
    // A change report: header, change data and footer come in three exchanges.
    bool Joined() const { return ReportKindOf(Kind).NeedsHeaderFooter; }
    // The area a printout upload reads (Detail or Summary).
    const QByteArray& PrintoutArea() const;
    // Blocks the first exchange fetches: the printout for detail and summary, the header for
    // the change reports.
    int FirstExchangeBlocks() const;
    // Answers a clean upload takes from the device (H_SETBAUD acknowledges included on a
    // serial line). A device that falls silent before this many answers cannot finish.
    int CleanAnswers(SoakTransport Transport) const;
    // Requests a clean upload sends before the first data request (the H_SETBAUD of a serial
    // session).
    int RequestsBeforeData(SoakTransport Transport) const;
};

struct FaultChoice {
    Expectation Expect = Expectation::Finish;
    QStringList SimArgs; // fault options of orvexfm-sim (without --seed)
    std::uint32_t SimSeed = 1;
    QString Text() const; // one line for --verbose
};

SoakContent ChooseContent(std::mt19937& Rng, ReportKind Kind);
// WithTimeouts false: only faults that cost no time-out (no losses, no silence), for long
// leak runs.
FaultChoice ChooseFaults(std::mt19937& Rng, const SoakContent& Content, SoakTransport Transport,
                         bool WithTimeouts = true);

const char* RefusedCommandName(ReportKind Kind, int Pick);
