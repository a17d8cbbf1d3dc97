// bench_decode: decoding speed of a whole-memory Detail upload (about 2 MB) and of a full
// joined change file, next to the speed of a plain read of the same file.
// Goal: the Detail cut runs at >= 50 % of the plain read's speed. Both the cut on its own and
// read + cut are shown.
//   bench_decode [REPETITIONS]

#include "fm/change_report.h"
#include "fm/detail_report.h"
#include "fm/report_file.h"
#include "fm/sample_content.h"
#include "fm/upload_layout.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

// Best of Repetitions runs: the least disturbed by other work on the machine.
double BestSeconds(int Repetitions, const std::function<std::size_t()>& Work) {
    double best = 1e9;
    std::size_t sink = 0;
    for (int i = 0; i < Repetitions; ++i) {
        QElapsedTimer t;
        t.start();
        sink += Work();
        best = std::min(best, double(t.nsecsElapsed()) / 1e9);
    }
    if (sink == 42)
        std::puts(""); // keeps the work from being optimised away
    return best;
}

double MBps(qsizetype Bytes, double Seconds) {
    return double(Bytes) / (1024.0 * 1024.0) / Seconds;
}

bool WriteFile(const QString& Path, const QByteArray& Bytes) {
    QFile f(Path);
    return f.open(QIODevice::WriteOnly) && f.write(Bytes) == Bytes.size();
}

} // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;

    // About 2 MB of Pelta printout: the size of a whole fiscal memory's Detail report.
    QByteArray detail;
    for (int days = 3400; detail.size() < 2 * 1024 * 1024; days += 200)
        detail = SampleDetailUpload(77, 40, days);
    const QString detailPath = dir.filePath(QStringLiteral("detail.hex"));
    const QByteArray joined = SampleJoinedChangeFile(77, 3);
    const QString joinedPath = dir.filePath(QStringLiteral("joined.hex"));
    if (!WriteFile(detailPath, detail) || !WriteFile(joinedPath, joined))
        return 1;

    const double read =
        BestSeconds(reps, [&] { return std::size_t(ReadWholeFile(detailPath).size()); });
    const double cut = BestSeconds(reps, [&] {
        QByteArray out;
        CutDetailSummaryToFileBytes(ReadWholeFile(detailPath), 40, out);
        return std::size_t(out.size());
    });
    // The cut on its own, from the file's bytes already in memory into a reused buffer.
    const QByteArray inMemory = ReadWholeFile(detailPath);
    QByteArray reused;
    const double cutOnly = BestSeconds(reps, [&] {
        CutDetailSummaryToFileBytes(inMemory, 40, reused);
        return std::size_t(reused.size());
    });
    const double lines = BestSeconds(reps, [&] {
        return std::size_t(CutDetailSummary(ReadWholeFile(detailPath), 40).Lines.size());
    });

    const int changeReps = reps * 20;
    const double joinedRead =
        BestSeconds(changeReps, [&] { return std::size_t(ReadWholeFile(joinedPath).size()); });
    const double joinedDecode = BestSeconds(changeReps, [&] {
        const QByteArray file = ReadWholeFile(joinedPath);
        std::size_t n = 0;
        for (const ReportKindInfo& kind : ReportKinds()) {
            if (!kind.Printout)
                n += std::size_t(
                    BuildChangeReport(file, kind.Kind, ReportRange{}, '.').Lines.size());
        }
        return n;
    });

    std::printf("Detail upload: %lld bytes (width 40), best of %d runs\n",
                static_cast<long long>(detail.size()), reps);
    std::printf("  plain read                      %9.1f MB/s\n", MBps(detail.size(), read));
    std::printf("  read + cut to report bytes      %9.1f MB/s  (%.0f %% of plain read)\n",
                MBps(detail.size(), cut), 100.0 * read / cut);
    std::printf(
        "  cut alone (bytes in memory)     %9.1f MB/s  (%.0f %% of plain read; goal >= 50 %%)\n",
        MBps(detail.size(), cutOnly), 100.0 * read / cutOnly);
    std::printf("  read + cut to a list of lines   %9.1f MB/s  (%.0f %% of plain read)\n",
                MBps(detail.size(), lines), 100.0 * read / lines);
    std::printf("Joined change file: %lld bytes, tax + currency + RAM reports, best of %d runs\n",
                static_cast<long long>(joined.size()), changeReps);
    std::printf("  plain read                      %9.1f MB/s\n", MBps(joined.size(), joinedRead));
    std::printf("  read + three reports            %9.1f MB/s  (%.0f %% of plain read)\n",
                MBps(joined.size(), joinedDecode), 100.0 * joinedRead / joinedDecode);
    return 0;
}
