// orvexfm-samplegen DIR: writes the sample uploads shipped in samples/ (the same bytes on
// every run and platform).

#include "fm/file_writer.h"
#include "fm/sample_content.h"

#include <QDir>
#include <QString>

#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] = "usage: orvexfm-samplegen [--] DIR\n"
                      "\n"
                      "Writes the sample uploads of samples/ into DIR (made when missing):\n"
                      "the same bytes on every run. Existing files of those names are replaced.\n"
                      "  --help     this text\n"
                      "  --version  the program's version\n"
                      "\n"
                      "exit status: 0 written, 1 a file or DIR cannot be written, 2 bad usage\n";

int UsageError(const char* Problem) {
    std::fprintf(stderr, "orvexfm-samplegen: %s\nTry 'orvexfm-samplegen --help'.\n", Problem);
    return 2;
}

bool Write(const QDir& Dir, const char* Name, const QByteArray& Bytes) {
    const QString error = ReplaceFileContents(Dir.filePath(QString::fromLatin1(Name)), Bytes);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "orvexfm-samplegen: cannot write %s: %s\n", Name,
                     error.toLocal8Bit().constData());
        return false;
    }
    std::printf("%s (%lld bytes)\n", Name, static_cast<long long>(Bytes.size()));
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const char* target = nullptr;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (options && std::strcmp(arg, "--") == 0) {
            options = false;
        } else if (options && std::strcmp(arg, "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (options && std::strcmp(arg, "--version") == 0) {
            std::printf("orvexfm-samplegen %s\n", PROJECT_VERSION);
            return 0;
        } else if (options && arg[0] == '-' && arg[1] != '\0') {
            // A folder whose name starts with "-" is given after "--".
            const QByteArray problem = QByteArray("unknown option '") + arg + "'";
            return UsageError(problem.constData());
        } else if (target) {
            return UsageError("more than one DIR given");
        } else {
            target = arg;
        }
    }
    if (!target)
        return UsageError("no DIR given");
    const QDir dir(QString::fromLocal8Bit(target));
    if (!dir.exists() && !QDir().mkpath(dir.path())) {
        std::fprintf(stderr, "orvexfm-samplegen: cannot create %s\n", target);
        return 1;
    }
    bool ok = true;
    for (const SampleFile& f : ShippedSampleFiles())
        ok = Write(dir, f.Name, f.Bytes) && ok;
    return ok ? 0 : 1;
}
