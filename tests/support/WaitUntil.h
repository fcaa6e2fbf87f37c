// The one wait of the tests: for something another thread, a child process or the event loop
// brings about, and never longer than a time limit, so a fault fails a test instead of
// hanging the suite.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

namespace qf580::test {

// What a wait does between two looks at its condition: wait at most `left` for something to
// happen (read a pipe, run the event loop, sleep). False when nothing more can happen, such as
// a child whose output has ended; the wait then ends with the condition as it stands.
using WaitStep = std::function<bool(std::chrono::milliseconds left)>;

// Between looks at state that other threads change: a short sleep, so that a waiting test
// leaves the cores to the threads it waits for.
inline bool Nap(std::chrono::milliseconds left) {
    std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(1)));
    return true;
}

// True as soon as `done` holds; false once `limit` has passed, or `step` said nothing more can
// happen, and `done` still does not hold. `done` is looked at once more at the end, so a limit
// reached while the step ran does not hide what it brought about.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit,
                      const WaitStep& step = Nap) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= std::chrono::milliseconds(0) || !step(left)) {
            return done();
        }
    }
    return true;
}

}  // namespace qf580::test
