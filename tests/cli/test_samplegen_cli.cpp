// orvexfm-samplegen: options are never taken for the folder to write.

#include "fm/sample_content.h"
#include "tests/cli/tool_run.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

ToolRun Samplegen(const QString& WorkingDir, const QStringList& Args) {
    return RunTool("orvexfm-samplegen", Args,
                   [&](QProcess& p) { p.setWorkingDirectory(WorkingDir); });
}

QStringList Entries(const QString& Dir) {
    return QDir(Dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

TEST(SamplegenCli, OptionsAreNoFolders) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const struct {
        QStringList args;
        int exitCode;
        QByteArray out; // expected start of standard output
        QByteArray err; // expected part of standard error
    } cases[] = {
        {{"--help"}, 0, "usage: orvexfm-samplegen", ""},
        {{"--version"}, 0, "orvexfm-samplegen " PROJECT_VERSION "\n", ""},
        {{"--frobnicate"}, 2, "", "unknown option '--frobnicate'"},
        {{"-h", "samples"}, 2, "", "unknown option '-h'"},
        {{}, 2, "", "no DIR given"},
        {{"a", "b"}, 2, "", "more than one DIR given"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(u' ').toStdString());
        const ToolRun r = Samplegen(dir.path(), c.args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_TRUE(r.out.startsWith(c.out)) << r.out.constData();
        EXPECT_TRUE(r.err.contains(c.err)) << r.err.constData();
        EXPECT_EQ(Entries(dir.path()), QStringList()) << "nothing may be written";
    }

    // After "--" a name is a folder, whatever it looks like.
    const ToolRun r = Samplegen(dir.path(), {"--", "--help"});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    for (const SampleFile& f : ShippedSampleFiles()) {
        QFile file(dir.filePath(QStringLiteral("--help/") + QLatin1String(f.Name)));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << f.Name;
        EXPECT_EQ(file.readAll(), f.Bytes) << f.Name;
    }
}
