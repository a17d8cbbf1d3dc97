#include "bench/soak/fault_choice.h"

#include "fm/sample_content.h"

namespace {

constexpr int kBlock = 256;
constexpr int kWidth = 40;        // machine 1 (Pelta), the width the soak decodes with
constexpr int kEpromAnswers = 11; // ten change-data blocks and the empty answer that ends them

int Pick(std::mt19937& Rng, int Low, int High) {
    return std::uniform_int_distribution<int>(Low, High)(Rng);
}

bool Coin(std::mt19937& Rng, int PercentTrue) {
    return Pick(Rng, 0, 99) < PercentTrue;
}

// One or two answer numbers from 1..Answers, e.g. "3" or "2,7".
QString AnswerList(std::mt19937& Rng, int Answers) {
    QStringList list;
    for (int i = Pick(Rng, 1, 2); i > 0; --i)
        list << QString::number(Pick(Rng, 1, Answers));
    return list.join(QLatin1Char(','));
}

int Blocks(const QByteArray& Area) {
    return int(ToFiscalBlocks(Area).size() / kBlock);
}

} // namespace

const char* ExpectationName(Expectation E) {
    switch (E) {
    case Expectation::Finish:
        return "finish";
    case Expectation::Refusal:
        return "refused";
    case Expectation::TimedOut:
        return "silent";
    case Expectation::HangUp:
        return "hang-up";
    }
    return "?";
}

const char* RefusedCommandName(ReportKind Kind, int Pick) {
    const ReportKindInfo& kind = ReportKindOf(Kind);
    if (!kind.NeedsHeaderFooter)
        return CommandName(kind.Command);
    static const char* const change[] = {"H_UPLOAD_Header", "H_UPLOAD_Footer", "H_UPLOAD_EPROM"};
    return change[Pick % 3];
}

const QByteArray& SoakContent::PrintoutArea() const {
    return ReportKindOf(Kind).Command == H_UPLOAD_Summary ? Summary : Detail;
}

int SoakContent::FirstExchangeBlocks() const {
    return Blocks(Joined() ? Header : PrintoutArea());
}

int SoakContent::CleanAnswers(SoakTransport Transport) const {
    const int setBaud = Transport == SoakTransport::Serial ? 1 : 0;
    if (!Joined())
        return setBaud + FirstExchangeBlocks();
    return (setBaud + Blocks(Header)) + (setBaud + Blocks(Footer)) + (setBaud + kEpromAnswers);
}

int SoakContent::RequestsBeforeData(SoakTransport Transport) const {
    return Transport == SoakTransport::Serial ? 1 : 0;
}

SoakContent ChooseContent(std::mt19937& Rng, ReportKind Kind) {
    SoakContent c;
    c.Kind = Kind;
    const auto seed = static_cast<std::uint32_t>(Pick(Rng, 1, 1000000));
    // Small content: a clean upload is a handful of blocks and takes well under a second.
    if (c.Joined()) {
        c.Header = SampleHeaderBlocks(seed, Pick(Rng, 1, 2));
        c.Footer = SampleFooterBlocks(seed);
        c.Eprom = SampleChangeDataArea(seed);
    } else if (ReportKindOf(Kind).Command == H_UPLOAD_Summary) {
        c.Summary = SampleSummaryUpload(seed, kWidth, Pick(Rng, 1, 3));
    } else {
        c.Detail = SampleDetailUpload(seed, kWidth, Pick(Rng, 1, 5));
    }
    return c;
}

FaultChoice ChooseFaults(std::mt19937& Rng, const SoakContent& Content, SoakTransport Transport,
                         bool WithTimeouts) {
    FaultChoice f;
    f.SimSeed = static_cast<std::uint32_t>(Pick(Rng, 1, 1000000000));
    const int roll = Pick(Rng, 0, 99);
    if (roll < 8)
        f.Expect = Expectation::Refusal;
    else if (roll < 13 && WithTimeouts)
        f.Expect = Expectation::TimedOut;
    else if (roll >= 95 && Transport == SoakTransport::Serial)
        f.Expect = Expectation::HangUp; // ends at once: no time-out to wait for

    const int answers = Content.CleanAnswers(Transport);
    // Losses (drops, spoilt checks) cost the link a time-out each; refusal plans leave them
    // out, so that the request numbers stay those of a clean upload, and so do hang-up plans,
    // which must end before any time-out.
    const bool losses =
        f.Expect != Expectation::Refusal && f.Expect != Expectation::HangUp && WithTimeouts;

    // The recoverable faults: each one with some chance, at least one of them.
    bool any = false;
    while (!any) {
        if (Coin(Rng, 35)) {
            f.SimArgs << QStringLiteral("--split-chunks");
            any = true;
        }
        if (Coin(Rng, 35)) {
            f.SimArgs << QStringLiteral("--garbage") << QString::number(Pick(Rng, 1, 48));
            any = true;
        }
        if (Coin(Rng, 30)) {
            if (Coin(Rng, 50)) {
                f.SimArgs << QStringLiteral("--duplicate-percent")
                          << QString::number(Pick(Rng, 2, 15));
            } else {
                f.SimArgs << QStringLiteral("--duplicate") << AnswerList(Rng, answers);
            }
            any = true;
        }
        // Answers to earlier requests: a stale one without data, a late second copy (across
        // the exchanges of a change report too, where it can carry the next request's
        // sequence byte).
        if (Coin(Rng, 15)) {
            f.SimArgs << QStringLiteral("--stale-empty") << AnswerList(Rng, answers);
            any = true;
        }
        // A line that hands every request back before the answer.
        if (Transport == SoakTransport::Serial && Coin(Rng, 10)) {
            f.SimArgs << QStringLiteral("--echo");
            any = true;
        }
        if (Coin(Rng, 15)) {
            f.SimArgs << QStringLiteral("--late-copy") << AnswerList(Rng, answers)
                      << QStringLiteral("--late-copy-ms") << QString::number(Pick(Rng, 20, 300));
            any = true;
        }
        if (losses && Coin(Rng, 25)) {
            f.SimArgs << QStringLiteral("--corrupt-crc") << QString::number(Pick(Rng, 1, 4));
            any = true;
        }
        // Noise that passes for a frame header before an answer: the link gives it up once its
        // rest is overdue (a serial H_SETBAUD acknowledge at 9600 bit/s behind it costs a
        // bit-rate retry, hence only where time-outs are allowed).
        if (losses && Coin(Rng, 15)) {
            f.SimArgs << QStringLiteral("--false-header") << AnswerList(Rng, answers);
            any = true;
        }
        if (losses && Coin(Rng, 25)) {
            if (Coin(Rng, 50)) {
                f.SimArgs << QStringLiteral("--drop-percent") << QString::number(Pick(Rng, 1, 4));
            } else {
                f.SimArgs << QStringLiteral("--drop") << AnswerList(Rng, answers);
            }
            any = true;
        }
        if (f.Expect != Expectation::Finish)
            break; // the fatal fault alone is enough
    }

    if (f.Expect == Expectation::Refusal) {
        if (Coin(Rng, 50)) {
            f.SimArgs << QStringLiteral("--refuse")
                      << QLatin1String(RefusedCommandName(Content.Kind, Pick(Rng, 0, 2)));
        } else {
            // A data request of the first exchange, counted as the device counts them.
            const int first = Content.RequestsBeforeData(Transport) + 1;
            const int n = Pick(Rng, first, first + Content.FirstExchangeBlocks() - 1);
            f.SimArgs << QStringLiteral("--refuse-request") << QString::number(n);
        }
    } else if (f.Expect == Expectation::TimedOut) {
        // Silent before the last answer a clean upload needs, so it cannot finish.
        f.SimArgs << QStringLiteral("--silent-after") << QString::number(Pick(Rng, 1, answers - 1));
    } else if (f.Expect == Expectation::HangUp) {
        f.SimArgs << QStringLiteral("--hang-up-after")
                  << QString::number(Pick(Rng, 1, answers - 1));
    }
    return f;
}

QString FaultChoice::Text() const {
    return QStringLiteral("%1 [%2 --seed %3]")
        .arg(QLatin1String(ExpectationName(Expect)), SimArgs.join(QLatin1Char(' ')))
        .arg(SimSeed);
}
