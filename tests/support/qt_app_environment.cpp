// Gives every test of a program that links this file a QCoreApplication, so timers, notifiers
// and event loops work as in the program.

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

namespace {

class QtAppEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (QCoreApplication::instance() == nullptr)
            m_app = std::make_unique<QCoreApplication>(m_argc, m_argv);
    }
    void TearDown() override { m_app.reset(); }

private:
    int m_argc = 1;
    // The test program's own name (glibc keeps it for the life of the process).
    char* m_argv[2] = {program_invocation_short_name, nullptr};
    std::unique_ptr<QCoreApplication> m_app;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

} // namespace
