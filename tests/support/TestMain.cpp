#include "TestSupport.h"

#include <QCoreApplication>
#include <csignal>
#include <gtest/gtest.h>

// Tests that need widgets link their own main; every other test gets an event loop here.
int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const testsupport::ChildGuard childGuard;
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
