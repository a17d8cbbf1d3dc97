// orvexfm-samplegen DIR: writes the sample uploads shipped in samples/ (the same bytes on
// every run and platform).

#include "fm/sample_content.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <cstdio>

namespace {

bool Write(const QDir& Dir, const char* Name, const QByteArray& Bytes) {
    QFile file(Dir.filePath(QString::fromLatin1(Name)));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(Bytes) != Bytes.size()) {
        std::fprintf(stderr, "orvexfm-samplegen: cannot write %s: %s\n", Name,
                     file.errorString().toLocal8Bit().constData());
        return false;
    }
    std::printf("%s (%lld bytes)\n", Name, static_cast<long long>(Bytes.size()));
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: orvexfm-samplegen DIR\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.exists() && !QDir().mkpath(dir.path())) {
        std::fprintf(stderr, "orvexfm-samplegen: cannot create %s\n", argv[1]);
        return 1;
    }
    bool ok = true;
    for (const SampleFile& f : ShippedSampleFiles())
        ok = Write(dir, f.Name, f.Bytes) && ok;
    return ok ? 0 : 1;
}
