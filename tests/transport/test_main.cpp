#include <QCoreApplication>

#include <gtest/gtest.h>

// The components deliver their events through the event loop of the owning thread, so the
// tests run inside one application object created before any test.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
