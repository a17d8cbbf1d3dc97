// bench_verify: what reading a written image back costs. Writes MB megabytes of report-like
// files to an image file through the archiving engine (which first takes every file's SHA-256
// for the disc's checksum list), reads the image back with the engine's verify pass, and shows
// both next to a plain read of the image and the hashing speed alone.
//   bench_verify [MB] [RUNS]      (defaults 100 and 3; the best run of each step is shown)

#include "archive/disc_burner.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>

namespace {

constexpr int kFileMb = 2;

double Seconds(const QElapsedTimer& Timer) {
    return double(Timer.nsecsElapsed()) / 1e9;
}

// Files of kFileMb each: text lines with changing figures, as reports hold.
bool MakeFiles(const QString& Folder, int Mb) {
    std::mt19937 random(7);
    QDir().mkpath(Folder);
    for (int i = 0; i < Mb / kFileMb; ++i) {
        QByteArray text;
        text.reserve(kFileMb << 20);
        while (text.size() < (kFileMb << 20))
            text += QByteArray::number(quint64(random())) + "  PTU A 23%  SPRZEDAZ " +
                    QByteArray::number(quint64(random()) % 100000) + "\r\n";
        text.truncate(kFileMb << 20);
        QFile file(
            QDir(Folder).filePath(QStringLiteral("Raport%1.txt").arg(i, 3, 10, QChar(u'0'))));
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            return false;
    }
    return true;
}

struct Run {
    double Write = 0;
    double Verify = 0;
    double PlainRead = 0;
    double Hash = 0;
    qint64 ImageBytes = 0;
    bool Ok = false;
};

Run OneRun(const QString& Folder, const QString& Image) {
    Run run;
    TDiscBurner burner;
    QEventLoop loop;
    QString writeError;
    std::optional<DiscCheckResult> check;
    burner.OnWriteDone = [&](const QString& Error) {
        writeError = Error;
        loop.quit();
    };
    burner.OnVerifyDone = [&](const DiscCheckResult& Result) {
        check = Result;
        loop.quit();
    };
    QFile::remove(Image);
    if (!burner.InitializeASPI(false) || !burner.SelectDrive(QStringLiteral("stdio:") + Image) ||
        !burner.AddFile(QStringLiteral("\\"), Folder)) {
        std::fprintf(stderr, "bench_verify: %s\n", qPrintable(burner.LastError()));
        return run;
    }
    QElapsedTimer timer;
    timer.start();
    if (!burner.StartWriting()) {
        std::fprintf(stderr, "bench_verify: %s\n", qPrintable(burner.LastError()));
        return run;
    }
    loop.exec();
    run.Write = Seconds(timer);
    if (!writeError.isEmpty()) {
        std::fprintf(stderr, "bench_verify: %s\n", qPrintable(writeError));
        return run;
    }
    run.ImageBytes = burner.BytesWritten();
    timer.restart();
    if (!burner.StartVerifying())
        return run;
    loop.exec();
    run.Verify = Seconds(timer);
    run.Ok = check && check->Ok;

    // The same image read plainly, and then hashed in memory as the verify pass hashes it
    // (SHA-256 and MD5 of the files, MD5 of the session).
    QFile file(Image);
    QByteArray all;
    timer.restart();
    if (file.open(QIODevice::ReadOnly)) {
        all.reserve(file.size());
        while (!file.atEnd())
            all += file.read(1 << 20);
    }
    run.PlainRead = Seconds(timer);
    timer.restart();
    QCryptographicHash sha(QCryptographicHash::Sha256);
    QCryptographicHash md5(QCryptographicHash::Md5);
    QCryptographicHash session(QCryptographicHash::Md5);
    sha.addData(all);
    md5.addData(all);
    session.addData(all);
    run.Hash = Seconds(timer);
    return run;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int mb = argc > 1 ? std::max(kFileMb, std::atoi(argv[1])) : 100;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("reports"));
    if (!MakeFiles(folder, mb)) {
        std::fprintf(stderr, "bench_verify: cannot write the files\n");
        return 1;
    }
    Run best;
    best.Write = best.Verify = best.PlainRead = best.Hash = 1e9;
    for (int i = 0; i < runs; ++i) {
        const Run run = OneRun(folder, dir.filePath(QStringLiteral("disc.iso")));
        if (!run.Ok) {
            std::fprintf(stderr, "bench_verify: run %d failed\n", i + 1);
            return 1;
        }
        std::printf("run %d: write %.3f s, verify %.3f s\n", i + 1, run.Write, run.Verify);
        best.ImageBytes = run.ImageBytes;
        best.Write = std::min(best.Write, run.Write);
        best.Verify = std::min(best.Verify, run.Verify);
        best.PlainRead = std::min(best.PlainRead, run.PlainRead);
        best.Hash = std::min(best.Hash, run.Hash);
    }
    const double imageMb = double(best.ImageBytes) / (1 << 20);
    std::printf("image %.1f MB (%d files), best of %d runs:\n", imageMb, mb / kFileMb, runs);
    std::printf("  write (checksum pass + image)  %.3f s  %.0f MB/s\n", best.Write,
                imageMb / best.Write);
    std::printf("  verify (read back + compare)   %.3f s  %.0f MB/s  = %.0f %% of the write\n",
                best.Verify, imageMb / best.Verify, 100 * best.Verify / best.Write);
    std::printf("  plain read of the image        %.3f s  %.0f MB/s\n", best.PlainRead,
                imageMb / best.PlainRead);
    std::printf("  SHA-256 + 2 x MD5 in memory    %.3f s  %.0f MB/s\n", best.Hash,
                imageMb / best.Hash);
    return 0;
}
