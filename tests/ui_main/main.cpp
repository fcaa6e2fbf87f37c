// The GUI tests run inside the program's own application object, so errors that escape an
// event handler take the same road as in the program.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "ErrorBox.h"

int main(int argc, char** argv) {
    // Test discovery runs this too; without a display the offscreen platform serves.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    qf580::ui::TApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
