// Standard streams a program was started without: each closed one becomes /dev/null, and the
// open ones stay what they were.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "posix/StandardStreams.h"
#include "tests/posix/PosixTestSupport.h"

namespace qf580::posix {
namespace {

using namespace test;

bool IsDevNull(int fd) {
    struct stat null {};
    struct stat what {};
    return ::stat("/dev/null", &null) == 0 && ::fstat(fd, &what) == 0 && S_ISCHR(what.st_mode) &&
           what.st_rdev == null.st_rdev;
}

int AccessMode(int fd) {
    return ::fcntl(fd, F_GETFL) & O_ACCMODE;
}

// Run in a child process (each test runs in a process of its own, so the child has one
// thread), which may close its own standard streams: which of 0, 1 and 2 to
// close first, and what each must be afterwards. The child's exit code names the first
// descriptor that was wrong (1 + its number), 0 when all were right.
int InChild(const bool (&closeFirst)[3]) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const std::set<int> before = OpenDescriptors();
        bool wasNull[3];
        for (int fd = 0; fd <= 2; ++fd) {
            wasNull[fd] = IsDevNull(fd);
            if (closeFirst[fd]) {
                ::close(fd);
            }
        }
        if (OpenMissingStandardStreams() != 0) {
            ::_exit(10);
        }
        for (int fd = 0; fd <= 2; ++fd) {
            const bool right = closeFirst[fd] ? IsDevNull(fd) && AccessMode(fd) == O_RDONLY
                                              : IsOpen(fd) && IsDevNull(fd) == wasNull[fd];
            if (!right) {
                ::_exit(1 + fd);
            }
        }
        // Nothing else was opened and left behind.
        ::_exit(OpenDescriptors() == before ? 0 : 20);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(StandardStreams, EachClosedOneBecomesDevNullTheOthersStay) {
    const bool cases[][3] = {
        {false, false, false}, {true, false, false}, {false, true, false}, {false, false, true},
        {true, true, false},   {true, false, true},  {false, true, true},  {true, true, true},
    };
    for (const auto& closeFirst : cases) {
        SCOPED_TRACE(std::to_string(closeFirst[0]) + std::to_string(closeFirst[1]) +
                     std::to_string(closeFirst[2]));
        EXPECT_EQ(InChild(closeFirst), 0);
    }
}

}  // namespace
}  // namespace qf580::posix
