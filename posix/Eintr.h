// The one place where a call cut short by a signal is made again.
#pragma once

#include <cerrno>

namespace qf580::posix {

// Calls `call` until it ends otherwise than with -1 and errno EINTR, and returns what it
// returned last (errno as it left it). For read, write, send, recv, accept and the like;
// a wait with a time limit goes through WaitFor instead, which keeps to its deadline.
template <typename Call>
auto RetryOnEintr(Call call) {
    for (;;) {
        const auto result = call();
        if (result != -1 || errno != EINTR) {
            return result;
        }
    }
}

}  // namespace qf580::posix
