// main() of the window tests: a QApplication on the offscreen platform around the test run.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "res/resources.h"

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    zq::InitResources();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
