// The output writer at its own seam: what it keeps and what gives way while a reader lags,
// that a queue goes out in one write, that what comes after a write is not left behind, and
// that its end delivers what is queued unless a write is held.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "cli/OutputWriter.h"
#include "posix/UniqueFd.h"
#include "tests/support/WaitUntil.h"

namespace qf580::cli {
namespace {

using namespace std::chrono_literals;

// A pipe of one page, read without waiting, and a writer held in a write that overfills it.
struct HeldPipe {
    HeldPipe() {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        read = posix::UniqueFd(fds[0]);
        write = posix::UniqueFd(fds[1]);
        EXPECT_EQ(::fcntl(read.Get(), F_SETFL, O_NONBLOCK), 0);
        EXPECT_EQ(::fcntl(write.Get(), F_SETPIPE_SZ, 4096), 4096);
    }
    void Hold(OutputWriter& writer) const {
        writer.Put(write.Get(), blocker);
        writer.Flush();
        int queued = 0;
        ASSERT_TRUE(test::WaitUntil(
            [&] { return ::ioctl(read.Get(), FIONREAD, &queued) == 0 && queued == 4096; }, 5s));
    }
    std::string ReadAll() const {
        std::string all;
        char buf[4096];
        for (ssize_t n; (n = ::read(read.Get(), buf, sizeof buf)) > 0;) {
            all.append(buf, static_cast<std::size_t>(n));
        }
        return all;
    }
    const std::string blocker = std::string(4096, 'x') + "\n";
    posix::UniqueFd read;
    posix::UniqueFd write;
};

TEST(OutputWriter, WhatIsKeptAndWhatGivesWayWhileAReaderLags) {
    struct Row {
        const char* what;
        std::size_t bound;
        std::vector<std::pair<const char*, const char*>> puts;  // key (none: Put), text
        const char* written;
    };
    const std::vector<Row> rows = {
        {"within its bound all is kept",
         1 << 20,
         {{"p", "1 "}, {nullptr, "a "}, {"p", "2 "}},
         "1 a 2 "},
        {"beyond it the earlier of a key goes, the later stays after what came between",
         0,
         {{"p", "1 "}, {nullptr, "a "}, {"p", "2 "}, {nullptr, "b "}},
         "a 2 b "},
        {"keys give way each to its own", 0, {{"p", "p1 "}, {"q", "q1 "}, {"p", "p2 "}}, "q1 p2 "},
        {"a plain text never gives way", 0, {{nullptr, "a "}, {nullptr, "a "}}, "a a "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        HeldPipe pipe;
        OutputWriter writer({}, row.bound);
        pipe.Hold(writer);
        for (const auto& [key, text] : row.puts) {
            key ? writer.PutLatest(pipe.write.Get(), key, text)
                : writer.Put(pipe.write.Get(), text);
        }
        std::string all;
        EXPECT_TRUE(writer.Drain([&] { return (all += pipe.ReadAll(), false); }));
        EXPECT_EQ(all + pipe.ReadAll(), pipe.blocker + row.written);
    }
}

// What came while the writer was held goes out in one write for each descriptor, in the
// order put: a packet socket keeps each write a message of its own.
TEST(OutputWriter, AQueueGoesOutInOneWriteForEachDescriptor) {
    HeldPipe pipe;
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    const posix::UniqueFd ours(pair[0]);
    const posix::UniqueFd theirs(pair[1]);
    OutputWriter writer;
    pipe.Hold(writer);
    std::string lines;
    for (int i = 0; i < 100; ++i) {
        const std::string line = "Sending (" + std::to_string(64 * i + 1) + ") Record\n";
        lines += line;
        writer.Put(theirs.Get(), line);
    }
    writer.Put(pipe.write.Get(), "after\n");
    std::string piped;
    EXPECT_TRUE(writer.Drain([&] { return (piped += pipe.ReadAll(), false); }));
    std::vector<std::string> messages;
    char buf[1 << 16];
    for (ssize_t n; (n = ::recv(ours.Get(), buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
        messages.emplace_back(buf, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(messages, std::vector<std::string>{lines});
    EXPECT_EQ(piped + pipe.ReadAll(), pipe.blocker + "after\n");
}

// After a write the thread waits a gathering time for more without being woken for it: what
// comes then still goes out at the end of that time, and a flush still sends it at once.
TEST(OutputWriter, WhatComesWhileItWaitsForMoreGoesOut) {
    for (const bool flushed : {false, true}) {
        SCOPED_TRACE(flushed ? "flushed" : "gathered");
        HeldPipe pipe;
        // Without a flush the line waits its gathering time; with one, none at all.
        OutputWriter writer({}, OutputWriter::kDefaultBound, flushed ? 60s : 50ms);
        std::string all;
        writer.Put(pipe.write.Get(), "first\n");
        // Written, and the thread waits for more: it stops writing and begins to wait at once.
        ASSERT_TRUE(writer.Drain([&] { return (all += pipe.ReadAll(), false); }));
        writer.Put(pipe.write.Get(), "second\n");
        if (flushed) {
            writer.Flush();
        }
        EXPECT_TRUE(
            test::WaitUntil([&] { return (all += pipe.ReadAll()) == "first\nsecond\n"; }, 5s))
            << all;
    }
}

// Its end writes what is still queued, gathered or not; a write held by a reader that does
// not read holds the end only for the stated limit, and what was queued behind it is lost.
TEST(OutputWriter, ItsEndDeliversWhatIsQueuedUnlessAWriteIsHeld) {
    for (const bool held : {false, true}) {
        SCOPED_TRACE(held ? "held" : "free");
        HeldPipe pipe;
        std::optional<OutputWriter> writer(std::in_place);
        if (held) {
            pipe.Hold(*writer);
        }
        for (int i = 0; i < 10; ++i) {
            writer->Put(pipe.write.Get(), "line " + std::to_string(i) + "\n");
        }
        const auto before = std::chrono::steady_clock::now();
        writer.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
        std::string all;
        // Let go, the held write ends, and the thread left behind has nothing more to write.
        EXPECT_TRUE(test::WaitUntil(
            [&] { return (all += pipe.ReadAll()).size() >= (held ? pipe.blocker.size() : 70); },
            5s));
        EXPECT_EQ(all.find("line 9\n") != std::string::npos, !held) << all.size();
    }
}

}  // namespace
}  // namespace qf580::cli
