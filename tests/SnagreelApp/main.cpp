// One QApplication for every application test: widgets, timers and queued calls
// need it, and Qt allows only one per process.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // Widgets are tested off screen unless a test run asks for a real display;
    // tests that need X start their own server and talk to it directly.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
