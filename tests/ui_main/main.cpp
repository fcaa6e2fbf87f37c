// The GUI tests run inside the program's own application object, so errors that escape an
// event handler take the same road as in the program.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <system_error>

#include "ui/TApplication.h"

int main(int argc, char** argv) {
    // Test discovery runs this too; without a display the offscreen platform serves.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // The file dialog keeps its folders and column widths in the toolkit's settings file;
    // the tests keep theirs to themselves, away from the desktop's and other runs'.
    char config[] = "/tmp/qf580-ui-config-XXXXXX";
    const bool ownConfig = mkdtemp(config) != nullptr;
    if (ownConfig) {
        setenv("XDG_CONFIG_HOME", config, 1);
    }
    int result = 0;
    {
        qf580::ui::TApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
    }
    if (ownConfig) {
        std::error_code ignored;
        std::filesystem::remove_all(config, ignored);
    }
    return result;
}
