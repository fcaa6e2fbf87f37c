// A plain QApplication on purpose: the dialog must report a rejected port and close by
// itself, without relying on the program's application object to catch anything.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <QApplication>

int main(int argc, char** argv) {
    // Test discovery runs this too; without a display the offscreen platform serves.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
