// Replays every file of a fuzz target's committed corpus through its entry function, so
// inputs that once found a fault keep being checked in every build.

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

int ORVEX_FUZZ_ENTRY(const std::uint8_t* Data, std::size_t Size);

TEST(FuzzCorpus, ORVEX_FUZZ_TEST_NAME) {
    const QDir dir(QStringLiteral(ORVEX_FUZZ_CORPUS_DIR));
    const QStringList files = dir.entryList(QDir::Files, QDir::Name);
    ASSERT_FALSE(files.isEmpty()) << "no corpus in " << ORVEX_FUZZ_CORPUS_DIR;
    for (const QString& name : files) {
        SCOPED_TRACE(name.toStdString());
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        // A buffer of exactly the file's size, as the fuzzer gives, so an overread is not
        // hidden by a terminating NUL or spare capacity.
        const std::size_t size = std::size_t(bytes.size());
        std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[size ? size : 1]);
        std::copy(bytes.begin(), bytes.end(), exact.get());
        EXPECT_EQ(ORVEX_FUZZ_ENTRY(exact.get(), size), 0);
    }
}
