// Libraries loaded while the program runs: what loads, what is found in it, and a library that
// cannot be had said as the loader's reason, never a crash later. That a copy keeps the library
// loaded is shown by the USB driver's table, which holds copies.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "posix/SharedLibrary.h"

namespace qf580::posix {
namespace {

using StrlenFn = std::size_t (*)(const char*);

TEST(SharedLibraryTest, FindsFunctionsOnlyInALibraryThatLoaded) {
    struct Case {
        const char* library;
        const char* function;
        bool loads;
        bool found;
    };
    for (const Case c : {Case{"libc.so.6", "strlen", true, true},
                         Case{"libc.so.6", "qf580_no_such_function", true, false},
                         Case{"libqf580-no-such-library.so.0", "strlen", false, false}}) {
        SCOPED_TRACE(std::string(c.library) + " " + c.function);
        const SharedLibrary library = SharedLibrary::Open(c.library);
        EXPECT_EQ(static_cast<bool>(library), c.loads);
        EXPECT_EQ(library.Error().empty(), c.loads);
        const auto strlen = library.Function<StrlenFn>(c.function);
        EXPECT_EQ(strlen != nullptr, c.found);
    }
    const SharedLibrary missing = SharedLibrary::Open("libqf580-no-such-library.so.0");
    EXPECT_NE(missing.Error().find("libqf580-no-such-library.so.0"), std::string::npos)
        << missing.Error();
}

}  // namespace
}  // namespace qf580::posix
