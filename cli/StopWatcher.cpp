#include "cli/StopWatcher.h"

#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "cli/ExitCodes.h"
#include "posix/Poll.h"

namespace qf580::cli {

StopWatcher::StopWatcher(posix::StopSignalFd& signals, StopRequest& stop, Reporter& reporter)
    : thread_([this, &signals, &stop, &reporter] { Run(signals, stop, reporter); }) {}

StopWatcher::~StopWatcher() {
    quit_.Wake();
    thread_.join();
}

void StopWatcher::Run(posix::StopSignalFd& signals, StopRequest& stop, Reporter& reporter) {
    int taken = 0;
    for (;;) {
        const posix::Waited waited =
            posix::WaitFor(signals.Get(), POLLIN, quit_.ReadFd(), posix::Deadline::Never());
        if (waited != posix::Waited::Ready) {
            return;  // asked to quit, or the wait itself failed
        }
        if (signals.Take() == 0) {
            continue;
        }
        if (++taken == 1) {
            stop.Request();
            reporter.Notice(
                "qf580-flash: stop requested; the transfer ends at its next stop point "
                "(Ctrl+C again leaves at once)");
        } else {
            // Said only where it can be said at once: a stuck standard error must not hold
            // the one way out that is left.
            constexpr std::string_view kLeft =
                "qf580-flash: left without waiting for the transfer to end\n";
            pollfd err{STDERR_FILENO, POLLOUT, 0};
            if (::poll(&err, 1, 0) == 1 && (err.revents & POLLOUT) != 0) {
                [[maybe_unused]] const ssize_t n =
                    ::write(STDERR_FILENO, kLeft.data(), kLeft.size());
            }
            std::_Exit(kExitForced);
        }
    }
}

}  // namespace qf580::cli
