// orvexfm-cli: the headless tools, one subcommand each (see subcommands.def).

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cstdio>
#include <cstring>

#define ORVEX_SUBCOMMAND(name, entry, summary) int entry(const QStringList& Args);
#include "cli/subcommands.def"
#undef ORVEX_SUBCOMMAND

namespace {

struct Subcommand {
    const char* Name;
    int (*Run)(const QStringList&);
    const char* Summary;
};

const Subcommand kSubcommands[] = {
#define ORVEX_SUBCOMMAND(name, entry, summary) {#name, entry, summary},
#include "cli/subcommands.def"
#undef ORVEX_SUBCOMMAND
};

constexpr int kExitUsage = 2;

void PrintUsage(std::FILE* Out) {
    std::fprintf(Out, "usage: orvexfm-cli COMMAND [ARGS...]\n\ncommands:\n");
    for (const Subcommand& s : kSubcommands)
        std::fprintf(Out, "  %-12s %s\n", s.Name, s.Summary);
    std::fprintf(Out, "\noptions:\n  -h, --help   show this help and exit\n"
                      "  --version    show the version and exit\n");
    std::fprintf(Out, "\n'orvexfm-cli COMMAND --help' describes a command.\n");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        PrintUsage(stdout);
        return 0;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("orvexfm-cli %s\n", PROJECT_VERSION);
        return 0;
    }
    // Qt's own event dispatcher rather than GLib's: a serial upload switches its read notifier
    // off and on for every packet, and under GLib each switch wakes the loop once more. The
    // tools use nothing GLib-based. Someone who set the variable keeps their choice.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QStringList args;
    for (int i = 2; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    for (const Subcommand& s : kSubcommands) {
        if (std::strcmp(argv[1], s.Name) == 0)
            return s.Run(args);
    }
    std::fprintf(stderr, "orvexfm-cli: unknown command '%s'\n\n", argv[1]);
    PrintUsage(stderr);
    return kExitUsage;
}
