#include "TestSupport.h"

#include <QApplication>
#include <csignal>
#include <gtest/gtest.h>

// Widget tests need a QApplication; the offscreen platform is set by CTest.
int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const testsupport::ChildGuard childGuard;
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
