#include "sim/sim_options.h"

#include <QCommandLineParser>

#include <array>

namespace {

constexpr std::array kLineRates{1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

bool IsLineRate(int Rate) {
    return std::find(kLineRates.begin(), kLineRates.end(), Rate) != kLineRates.end();
}

// "3,7,12" → {3, 7, 12}; numbers count from 1.
std::optional<std::set<int>> ParseNumberList(const QString& Text) {
    const auto numbers = ParseSimIntList(Text, 1, 1 << 30);
    if (!numbers)
        return std::nullopt;
    return std::set<int>(numbers->begin(), numbers->end());
}

} // namespace

SimOptionsResult ParseSimOptions(const QStringList& Arguments) {
    SimOptionsResult result;
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral("Simulated Orvex fiscal device: answers the fiscal-memory upload protocol "
                       "on a pseudo-terminal or on UDP.\n"
                       "Prints its line (\"PTY /dev/pts/N\" or \"UDP ADDRESS:PORT\") as the first "
                       "line of standard output, runs until SIGINT or SIGTERM (or standard input "
                       "ends, with --exit-on-stdin-eof) and then writes a one-line summary of "
                       "the requests it served to standard error.\n"
                       "Answers and requests are numbered from 1 in the options below, in the "
                       "order the device produces or receives them; on a serial line answer 1 "
                       "is normally the H_SETBAUD acknowledge. Every answer counts, refusals "
                       "included; a request counts when a valid frame arrives at the device's "
                       "line rate."));
    p.addHelpOption();
    p.addVersionOption();
    const SimLinkOptions link(
        QStringLiteral("UDP port to bind (default 5002; 0 picks a free port, shown on the first "
                       "line)."));
    const QCommandLineOption detail(QStringLiteral("detail"),
                                    QStringLiteral("Serve H_UPLOAD_Detail from this file."),
                                    QStringLiteral("file"));
    const QCommandLineOption summary(QStringLiteral("summary"),
                                     QStringLiteral("Serve H_UPLOAD_Summary from this file."),
                                     QStringLiteral("file"));
    const QCommandLineOption header(QStringLiteral("header"),
                                    QStringLiteral("Serve H_UPLOAD_Header from this file."),
                                    QStringLiteral("file"));
    const QCommandLineOption footer(QStringLiteral("footer"),
                                    QStringLiteral("Serve H_UPLOAD_Footer from this file."),
                                    QStringLiteral("file"));
    const QCommandLineOption eprom(
        QStringLiteral("eprom"),
        QStringLiteral("Serve the change-data area (EPROM blocks 2038..2047) from this file."),
        QStringLiteral("file"));
    const QCommandLineOption width(
        QStringLiteral("width"),
        QStringLiteral("Printout width of the generated Detail/Summary lines: 20, 40 (default) "
                       "or 42."),
        QStringLiteral("chars"));
    const QCommandLineOption days(
        QStringLiteral("days"),
        QStringLiteral("Daily (Z) reports in the generated fiscal memory, one a day from "
                       "2024-01-01 (default 60)."),
        QStringLiteral("n"));
    const QCommandLineOption contentSeed(
        QStringLiteral("content-seed"),
        QStringLiteral("Seed of the generated fiscal-memory content (default 1)."),
        QStringLiteral("n"));
    const QCommandLineOption headerBlocks(
        QStringLiteral("header-blocks"),
        QStringLiteral("256-byte blocks of the generated header: 1 (default) to 3."),
        QStringLiteral("n"));
    const QCommandLineOption startRate(QStringLiteral("start-rate"),
                                       QStringLiteral("Line rate after power-on (default 9600)."),
                                       QStringLiteral("bps"));
    const QCommandLineOption fmClass(
        QStringLiteral("fm-class"),
        QStringLiteral("Class of fiscal-memory data answers: 0x90 (default) or 0x80."),
        QStringLiteral("class"));
    const QCommandLineOption epromClass(
        QStringLiteral("eprom-class"),
        QStringLiteral("Class of EPROM data answers: 0x83 (default) or 0x80."),
        QStringLiteral("class"));
    const QCommandLineOption keepRate(
        QStringLiteral("keep-rate"),
        QStringLiteral("Keep the agreed line rate after an upload ends (by default the device "
                       "returns to its start rate once the last block went out intact)."));
    const QCommandLineOption seed(QStringLiteral("seed"),
                                  QStringLiteral("Seed of every random fault (default 1)."),
                                  QStringLiteral("n"));
    const QCommandLineOption split(
        QStringLiteral("split-chunks"),
        QStringLiteral("Send every answer in random pieces of 1-64 bytes (UDP: one datagram per "
                       "piece)."));
    const QCommandLineOption corrupt(
        QStringLiteral("corrupt-crc"),
        QStringLiteral("Spoil the CRC (header checksum for header-only frames) of this "
                       "percentage of answers."),
        QStringLiteral("percent"));
    const QCommandLineOption drop(QStringLiteral("drop"),
                                  QStringLiteral("Never send these answers, e.g. 3 or 2,5,9."),
                                  QStringLiteral("list"));
    const QCommandLineOption dropPercent(QStringLiteral("drop-percent"),
                                         QStringLiteral("Never send this percentage of answers."),
                                         QStringLiteral("percent"));
    const QCommandLineOption duplicate(QStringLiteral("duplicate"),
                                       QStringLiteral("Send these answers twice, e.g. 4 or 1,6."),
                                       QStringLiteral("list"));
    const QCommandLineOption duplicatePercent(
        QStringLiteral("duplicate-percent"),
        QStringLiteral("Send this percentage of answers twice."), QStringLiteral("percent"));
    const QCommandLineOption refuse(
        QStringLiteral("refuse"),
        QStringLiteral("Refuse (answer code 0x0D) every request of this command: a name such "
                       "as H_UPLOAD_Detail or CLASS:CODE such as 0x80:0x10. Repeatable."),
        QStringLiteral("command"));
    const QCommandLineOption refuseRequest(QStringLiteral("refuse-request"),
                                           QStringLiteral("Refuse these requests, e.g. 2 or 2,7."),
                                           QStringLiteral("list"));
    const QCommandLineOption silentAfter(QStringLiteral("silent-after"),
                                         QStringLiteral("Send nothing after this many answers."),
                                         QStringLiteral("n"));
    const QCommandLineOption garbage(
        QStringLiteral("garbage"),
        QStringLiteral("Send 0..max random bytes (never 0xAA) before every answer."),
        QStringLiteral("max"));
    const QCommandLineOption onlyRate(
        QStringLiteral("only-rate"),
        QStringLiteral("Work only at this line rate: start there, ignore requests sent at any "
                       "other rate and leave H_SETBAUD for any other rate unanswered."),
        QStringLiteral("bps"));
    const QCommandLineOption echo(
        QStringLiteral("echo"),
        QStringLiteral("Play an echoing line (a loop-back or half-duplex adapter): every byte the "
                       "host sends comes back to it before the answer."));
    const QCommandLineOption noEndMarker(
        QStringLiteral("no-end-marker"),
        QStringLiteral("Never put the end marker 0xA5 into a fiscal-memory block and answer "
                       "every block asked for (past the content with NUL blocks)."));
    const QCommandLineOption falseHeader(
        QStringLiteral("false-header"),
        QStringLiteral("Before these answers, noise that passes for a frame header (header sum "
                       "fits, 4000..4094 data bytes claimed), e.g. 3 or 2,5."),
        QStringLiteral("list"));
    const QCommandLineOption falseHeaderPercent(
        QStringLiteral("false-header-percent"),
        QStringLiteral("Send a false frame header before this percentage of answers."),
        QStringLiteral("percent"));
    const QCommandLineOption hangUpAfter(
        QStringLiteral("hang-up-after"),
        QStringLiteral("Hang up once this many answers have gone out: close the "
                       "pseudo-terminal's device side (UDP: the socket)."),
        QStringLiteral("n"));
    const QCommandLineOption staleEmpty(
        QStringLiteral("stale-empty"),
        QStringLiteral("Before these answers, a stale answer without data carrying the sequence "
                       "byte of the request before (UDP: a datagram of its own)."),
        QStringLiteral("list"));
    const QCommandLineOption lateCopy(
        QStringLiteral("late-copy"),
        QStringLiteral("Send these answers once more, --late-copy-ms later (by then the host "
                       "may be in its next exchange)."),
        QStringLiteral("list"));
    const QCommandLineOption lateCopyMs(
        QStringLiteral("late-copy-ms"),
        QStringLiteral("Delay of a late copy in milliseconds (default 150)."),
        QStringLiteral("ms"));
    const QCommandLineOption pace(
        QStringLiteral("pace"),
        QStringLiteral("Send no faster than the line allows: rate/10 bytes per second of the "
                       "current line rate (UDP: of --udp-pace-rate)."));
    const QCommandLineOption udpPaceRate(
        QStringLiteral("udp-pace-rate"),
        QStringLiteral("Line rate a paced UDP device imitates (default 115200)."),
        QStringLiteral("bps"));
    const QCommandLineOption stdinEof(
        QStringLiteral("exit-on-stdin-eof"),
        QStringLiteral("Also stop when standard input reaches its end."));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Log every request and answer to standard "
                                                    "error."));
    p.addOptions({link.Pty,
                  link.Udp,
                  link.Bind,
                  link.Port,
                  detail,
                  summary,
                  header,
                  footer,
                  eprom,
                  width,
                  days,
                  contentSeed,
                  headerBlocks,
                  startRate,
                  fmClass,
                  epromClass,
                  keepRate,
                  seed,
                  split,
                  corrupt,
                  drop,
                  dropPercent,
                  duplicate,
                  duplicatePercent,
                  refuse,
                  refuseRequest,
                  silentAfter,
                  garbage,
                  onlyRate,
                  pace,
                  udpPaceRate,
                  stdinEof,
                  verbose,
                  echo,
                  noEndMarker,
                  falseHeader,
                  falseHeaderPercent,
                  hangUpAfter,
                  staleEmpty,
                  lateCopy,
                  lateCopyMs});
    AddCommandPlayOptions(p);
    if (!ParseSimArguments(p, Arguments, result))
        return result;
    if (!p.positionalArguments().isEmpty()) {
        result.Error = QStringLiteral("unexpected argument: %1").arg(p.positionalArguments()[0]);
        return result;
    }

    SimOptions o;
    auto fail = [&](const QString& text) {
        result.Error = text;
        return result;
    };
    if (const QString error = link.Read(p, o.LinkMode, o.BindAddress, o.Port); !error.isEmpty())
        return fail(error);
    o.DetailFile = p.value(detail);
    o.SummaryFile = p.value(summary);
    o.HeaderFile = p.value(header);
    o.FooterFile = p.value(footer);
    o.EpromFile = p.value(eprom);

    auto rateOption = [&](const QCommandLineOption& opt, int* into) -> bool {
        if (!p.isSet(opt))
            return true;
        const auto v = ParseSimInt(p.value(opt), 1, 115200);
        if (!v || !IsLineRate(*v)) {
            result.Error = QStringLiteral("--%1 needs one of 1200, 2400, 4800, 9600, 19200, "
                                          "38400, 57600, 115200")
                               .arg(opt.names().first());
            return false;
        }
        *into = *v;
        return true;
    };
    auto percentOption = [&](const QCommandLineOption& opt, int* into) -> bool {
        if (!p.isSet(opt))
            return true;
        const auto v = ParseSimInt(p.value(opt), 0, 100);
        if (!v) {
            result.Error =
                QStringLiteral("--%1 needs a percentage from 0 to 100").arg(opt.names().first());
            return false;
        }
        *into = *v;
        return true;
    };
    auto listOption = [&](const QCommandLineOption& opt, std::set<int>* into) -> bool {
        if (!p.isSet(opt))
            return true;
        std::set<int> all;
        for (const QString& value : p.values(opt)) {
            const auto v = ParseNumberList(value);
            if (!v) {
                result.Error = QStringLiteral("--%1 needs numbers from 1, separated by commas")
                                   .arg(opt.names().first());
                return false;
            }
            all.insert(v->begin(), v->end());
        }
        *into = std::move(all);
        return true;
    };
    auto classOption = [&](const QCommandLineOption& opt, std::uint8_t allowedOther,
                           std::uint8_t* into) -> bool {
        if (!p.isSet(opt))
            return true;
        const auto v = ParseSimInt(p.value(opt), 0, 255);
        if (!v || (*v != 0x80 && *v != allowedOther)) {
            result.Error = QStringLiteral("--%1 needs 0x80 or 0x%2")
                               .arg(opt.names().first())
                               .arg(allowedOther, 2, 16, QLatin1Char('0'));
            return false;
        }
        *into = static_cast<std::uint8_t>(*v);
        return true;
    };

    EngineConfig& e = o.Engine;
    FaultPlan& f = e.Faults;
    if (!rateOption(startRate, &e.StartRate) || !rateOption(onlyRate, &f.OnlyRate) ||
        !rateOption(udpPaceRate, &o.UdpPaceRate) ||
        !classOption(fmClass, simcmd::kClassFiscalData, &e.FmAnswerClass) ||
        !classOption(epromClass, simcmd::kClassEprom, &e.EpromAnswerClass) ||
        !percentOption(corrupt, &f.CorruptPercent) || !percentOption(dropPercent, &f.DropPercent) ||
        !percentOption(duplicatePercent, &f.DuplicatePercent) ||
        !listOption(drop, &f.DropAnswers) || !listOption(duplicate, &f.DuplicateAnswers) ||
        !listOption(refuseRequest, &f.RefuseRequests) ||
        !listOption(falseHeader, &f.FalseHeaderAnswers) ||
        !percentOption(falseHeaderPercent, &f.FalseHeaderPercent) ||
        !listOption(staleEmpty, &f.StaleEmptyAnswers) || !listOption(lateCopy, &f.LateCopyAnswers))
        return result;
    f.EchoRequests = p.isSet(echo);
    f.NoEndMarker = p.isSet(noEndMarker);
    if (p.isSet(hangUpAfter)) {
        const auto v = ParseSimInt(p.value(hangUpAfter), 1, 1 << 30);
        if (!v)
            return fail(QStringLiteral("--hang-up-after needs a number from 1"));
        f.HangUpAfter = *v;
    }
    if (p.isSet(lateCopyMs)) {
        const auto v = ParseSimInt(p.value(lateCopyMs), 1, 60000);
        if (!v)
            return fail(QStringLiteral("--late-copy-ms needs a number from 1 to 60000"));
        f.LateCopyMs = *v;
    }
    e.ResetRateAtEnd = !p.isSet(keepRate);
    if (p.isSet(width)) {
        const auto v = ParseSimInt(p.value(width), 1, 256);
        if (!v || (*v != 20 && *v != 40 && *v != 42))
            return fail(QStringLiteral("--width needs 20, 40 or 42"));
        o.Content.Width = *v;
    }
    if (p.isSet(days)) {
        const auto v = ParseSimInt(p.value(days), 0, 9999);
        if (!v)
            return fail(QStringLiteral("--days needs a number from 0 to 9999"));
        o.Content.Days = *v;
    }
    if (p.isSet(headerBlocks)) {
        const auto v = ParseSimInt(p.value(headerBlocks), 1, 3);
        if (!v)
            return fail(QStringLiteral("--header-blocks needs 1, 2 or 3"));
        o.Content.HeaderBlocks = *v;
    }
    if (p.isSet(contentSeed)) {
        bool ok = false;
        const qulonglong v = p.value(contentSeed).toULongLong(&ok, 0);
        if (!ok || v > 0xFFFFFFFFull)
            return fail(QStringLiteral("--content-seed needs a number from 0 to 4294967295"));
        o.Content.Seed = static_cast<std::uint32_t>(v);
    }
    if (p.isSet(seed)) {
        bool ok = false;
        const qulonglong v = p.value(seed).toULongLong(&ok, 0);
        if (!ok || v > 0xFFFFFFFFull)
            return fail(QStringLiteral("--seed needs a number from 0 to 4294967295"));
        f.Seed = static_cast<std::uint32_t>(v);
    }
    f.SplitChunks = p.isSet(split);
    for (const QString& value : p.values(refuse)) {
        const auto key = simcmd::ParseCommand(value);
        if (!key)
            return fail(QStringLiteral("--refuse: unknown command %1").arg(value));
        f.RefuseCommands.push_back(*key);
    }
    if (p.isSet(silentAfter)) {
        const auto v = ParseSimInt(p.value(silentAfter), 0, 1 << 30);
        if (!v)
            return fail(QStringLiteral("--silent-after needs a number from 0"));
        f.SilentAfter = *v;
    }
    if (p.isSet(garbage)) {
        const auto v = ParseSimInt(p.value(garbage), 0, 4096);
        if (!v)
            return fail(QStringLiteral("--garbage needs a number from 0 to 4096"));
        f.GarbageMax = *v;
    }
    o.Pace = p.isSet(pace);
    o.ExitOnStdinEof = p.isSet(stdinEof);
    o.Verbose = p.isSet(verbose);
    QString commandsError;
    if (!ReadCommandPlayOptions(p, o.Commands, &commandsError))
        return fail(commandsError);
    result.Options = std::move(o);
    return result;
}
