#include "sim/scale_options.h"

#include <QCommandLineParser>

ScaleSimOptionsResult ParseScaleSimOptions(const QStringList& Arguments) {
    ScaleSimOptionsResult result;
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Simulated weighing scale (orvexfm-sim --scale): answers the scale bus protocol on a "
        "pseudo-terminal or on UDP.\n"
        "Prints its line (\"PTY /dev/pts/N\" or \"UDP ADDRESS:PORT\") as the first line of "
        "standard output, runs until SIGINT or SIGTERM (or standard input ends, with "
        "--exit-on-stdin-eof) and then writes a one-line summary to standard error.\n"
        "Answers are numbered from 1 in the order the scale produces them, single-byte "
        "answers included."));
    p.addHelpOption();
    p.addVersionOption();
    const QCommandLineOption scale(QStringLiteral("scale"),
                                   QStringLiteral("Play a weighing scale (required here)."));
    const SimLinkOptions link(
        QStringLiteral("UDP port to bind (default 5001; 0 picks a free port)."));
    const QCommandLineOption onlyRate(
        QStringLiteral("only-rate"),
        QStringLiteral("Hear a wake-up only at this rate (9600, 19200, 38400, 57600, 115200)."),
        QStringLiteral("bps"));
    const QCommandLineOption negative(QStringLiteral("negative"),
                                      QStringLiteral("Answer the wake-up with 0x55."));
    const QCommandLineOption noQxt(
        QStringLiteral("no-qxt"),
        QStringLiteral("The information block's text does not begin with \"QXT\"."));
    const QCommandLineOption infoValue(
        QStringLiteral("info-value"),
        QStringLiteral("16-bit value at offset 12 of the information block (default 1024)."),
        QStringLiteral("n"));
    const QCommandLineOption contentSeed(QStringLiteral("content-seed"),
                                         QStringLiteral("Seed of the memory contents (default 1)."),
                                         QStringLiteral("n"));
    const QCommandLineOption clearTopBit(
        QStringLiteral("clear-top-bit"),
        QStringLiteral("Serial: these frame answers go out with the top bit of frame byte 150 "
                       "cleared (list, e.g. 3,4)."),
        QStringLiteral("list"));
    const QCommandLineOption drop(QStringLiteral("drop"),
                                  QStringLiteral("Never send these answers (list)."),
                                  QStringLiteral("list"));
    const QCommandLineOption silentAfter(QStringLiteral("silent-after"),
                                         QStringLiteral("Send nothing after this many answers."),
                                         QStringLiteral("n"));
    const QCommandLineOption split(
        QStringLiteral("split"),
        QStringLiteral("UDP: send each data answer as datagrams of these sizes, e.g. 100,100,59 "
                       "(the last size repeats)."),
        QStringLiteral("sizes"));
    const QCommandLineOption stdinEof(QStringLiteral("exit-on-stdin-eof"),
                                      QStringLiteral("Also stop when standard input ends."));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("One line per request on standard error."));
    p.addOptions({scale, link.Pty, link.Udp, link.Bind, link.Port, onlyRate, negative, noQxt,
                  infoValue, contentSeed, clearTopBit, drop, silentAfter, split, stdinEof,
                  verbose});
    if (!ParseSimArguments(p, Arguments, result))
        return result;
    auto fail = [&](const QString& Text) {
        result.Error = Text;
        return result;
    };
    if (!p.isSet(scale))
        return fail(QStringLiteral("--scale is required for the scale options"));
    if (!p.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument: %1").arg(p.positionalArguments()[0]));

    ScaleSimOptions o;
    if (const QString error = link.Read(p, o.LinkMode, o.BindAddress, o.Port); !error.isEmpty())
        return fail(error);
    if (p.isSet(onlyRate)) {
        const auto n = ParseSimInt(p.value(onlyRate), 1, 1000000);
        if (!n || (*n != 9600 && *n != 19200 && *n != 38400 && *n != 57600 && *n != 115200))
            return fail(QStringLiteral("--only-rate: not a scale rate: %1").arg(p.value(onlyRate)));
        o.Scale.Faults.OnlyRate = *n;
    }
    o.Scale.Faults.NegativeWakeUp = p.isSet(negative);
    o.Scale.WithQxt = !p.isSet(noQxt);
    if (p.isSet(infoValue)) {
        const auto n = ParseSimInt(p.value(infoValue), 0, 65535);
        if (!n)
            return fail(QStringLiteral("--info-value: 0..65535 expected"));
        o.Scale.InfoValue = static_cast<std::uint16_t>(*n);
    }
    if (p.isSet(contentSeed)) {
        bool ok = false;
        const uint seed = p.value(contentSeed).toUInt(&ok, 0);
        if (!ok)
            return fail(QStringLiteral("--content-seed: not a number"));
        o.Scale.ContentSeed = seed;
    }
    if (p.isSet(clearTopBit)) {
        const auto list = ParseSimIntList(p.value(clearTopBit), 1, 1 << 30);
        if (!list)
            return fail(QStringLiteral("--clear-top-bit: list of answer numbers expected"));
        o.Scale.Faults.ClearTopBit.insert(list->begin(), list->end());
    }
    if (p.isSet(drop)) {
        const auto list = ParseSimIntList(p.value(drop), 1, 1 << 30);
        if (!list)
            return fail(QStringLiteral("--drop: list of answer numbers expected"));
        o.Scale.Faults.DropAnswers.insert(list->begin(), list->end());
    }
    if (p.isSet(silentAfter)) {
        const auto n = ParseSimInt(p.value(silentAfter), 0, 1 << 30);
        if (!n)
            return fail(QStringLiteral("--silent-after: a count expected"));
        o.Scale.Faults.SilentAfter = *n;
    }
    if (p.isSet(split)) {
        const auto list = ParseSimIntList(p.value(split), 1, 313);
        if (!list)
            return fail(QStringLiteral("--split: sizes of 1..313 expected"));
        o.Scale.Faults.SplitSizes = *list;
    }
    o.ExitOnStdinEof = p.isSet(stdinEof);
    o.Verbose = p.isSet(verbose);
    result.Options = o;
    return result;
}
