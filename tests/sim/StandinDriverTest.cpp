// The stand-in USB driver, loaded as the program loads the maker's library: its four calls
// against the simulator's Unix socket, in-process and in the qf580-sim program.
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>

#include "posix/UniqueFd.h"
#include "sim/UnixDeviceServer.h"
#include "tests/sim/SimTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "transfer/RizEDUd.h"

namespace qf580::sim {
namespace {

using namespace test;
using namespace std::chrono_literals;

// The stand-in, bound by the program's own binding of the maker's library.
struct Driver {
    UsbDriver calls = LoadUsbDriverFrom(QF580_STANDIN_LIBRARY);

    // True once the binding has really loaded the stand-in: a failed binding gives a table
    // whose calls all fail, which some tests here could not tell from the device's answers.
    static bool Bound() {
        void* handle = ::dlopen(QF580_STANDIN_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
        if (handle == nullptr) {
            return false;
        }
        ::dlclose(handle);
        return true;
    }

    // As the device link uses it: one call per write, the count preset to the length.
    bool Write(std::int32_t handle, const Bytes& bytes) {
        std::int32_t count = static_cast<std::int32_t>(bytes.size());
        return calls.WriteDevice(handle, bytes.data(), count, &count, 10000) != 0 &&
               count == static_cast<std::int32_t>(bytes.size());
    }
    // One byte per call, as the link reads.
    Bytes Read(std::int32_t handle, std::size_t size, std::int32_t timeoutMs = 2000) {
        Bytes got;
        while (got.size() < size) {
            std::uint8_t byte = 0;
            std::int32_t count = -1;
            if (calls.ReadDevice(handle, &byte, 1, &count, timeoutMs) == 0) {
                EXPECT_EQ(count, 0);
                break;
            }
            EXPECT_EQ(count, 1);
            got.push_back(byte);
        }
        return got;
    }
};

class StandinDriver : public testing::Test {
  protected:
    void SetUp() override {
        socket_ = testing::TempDir() + "qf580-standin-" + std::to_string(::getpid()) + ".sock";
        ::setenv("QF580_SIM_SOCKET", socket_.c_str(), 1);
        ASSERT_TRUE(Driver::Bound());
    }
    void TearDown() override { ::unsetenv("QF580_SIM_SOCKET"); }

    // Runs the steps through the driver's calls.
    void Run(std::int32_t handle, const std::vector<Step>& steps) {
        for (std::size_t i = 0; i < steps.size(); ++i) {
            ASSERT_TRUE(driver_.Write(handle, steps[i].write)) << "step " << i;
            EXPECT_EQ(driver_.Read(handle, steps[i].reply.size()), steps[i].reply) << "step " << i;
        }
    }

    std::string socket_;
    Driver driver_;
};

TEST_F(StandinDriver, CarriesAWholeTransferWithEachWriteSeenWhole) {
    UnixDeviceServer server(socket_);
    const std::int32_t handle = driver_.calls.OpenDevice();
    ASSERT_GT(handle, 0);
    // Fast-transfer grouping: START alone, record 1 alone, records 2 to 65 in one write.
    const auto steps = FastExchange(Header(kMainLine), Records(66, 8));
    ASSERT_EQ(steps.size(), 9u);
    Run(handle, steps);
    driver_.calls.CloseDevice(handle);
    ASSERT_TRUE(server.WaitForConnectionsEnded(1, 5s));
    EXPECT_TRUE(server.Complete()) << server.State();
    EXPECT_EQ(server.Received().writeSizes, WriteSizes(steps));
}

TEST_F(StandinDriver, NoSimulatorMeansNoDevice) {
    std::filesystem::remove(socket_);
    EXPECT_EQ(driver_.calls.OpenDevice(), 0);
    EXPECT_NO_FATAL_FAILURE(driver_.calls.CloseDevice(0));
    std::uint8_t byte = 0;
    std::int32_t count = 1;
    EXPECT_EQ(driver_.calls.ReadDevice(0, &byte, 1, &count, 10), 0);
    EXPECT_EQ(count, 0);
    count = 1;
    EXPECT_EQ(driver_.calls.WriteDevice(0, &byte, 1, &count, 10), 0);
    EXPECT_EQ(count, 0);
}

TEST_F(StandinDriver, ReadGivesUpAtItsTimeLimitWhenTheDeviceIsSilent) {
    UnixDeviceServer server(socket_, FaultPlan{{Fault{FaultKind::Silence, ReplyPoint::Sync}}, 0});
    const std::int32_t handle = driver_.calls.OpenDevice();
    ASSERT_GT(handle, 0);
    ASSERT_TRUE(driver_.Write(handle, B(":UP:EXEC\r\nU")));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(driver_.Read(handle, 1, 250).empty());
    const auto waited = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(waited, 200ms);
    EXPECT_LT(waited, 2s);
    driver_.calls.CloseDevice(handle);
}

TEST_F(StandinDriver, ReadFailsAtOnceWhenTheDeviceCloses) {
    UnixDeviceServer server(socket_, FaultPlan{{Fault{FaultKind::Close, ReplyPoint::Ident}}, 0});
    const std::int32_t handle = driver_.calls.OpenDevice();
    ASSERT_GT(handle, 0);
    Run(handle, {{B(":UP:EXEC\r\n"), {}}, {B("U"), {0xAA}}});
    ASSERT_TRUE(driver_.Write(handle, B("QUILLMAR\r\n")));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(driver_.Read(handle, 1, 5000).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    driver_.calls.CloseDevice(handle);
    // A closed handle is gone.
    std::int32_t count = 1;
    EXPECT_EQ(driver_.calls.WriteDevice(handle, "U", 1, &count, 100), 0);
}

// As a USB bulk write: done once the device has taken the bytes, failed when it hangs up first.
TEST_F(StandinDriver, AWriteSucceedsOnlyOnceTheDeviceTookItWhole) {
    const auto records = Records(13);
    const Bytes batch = Join(std::vector<Bytes>(records.begin() + 2, records.end()));
    for (const int closeAt : {7, 12}) {
        SCOPED_TRACE("hangs up after record " + std::to_string(closeAt));
        UnixDeviceServer server(
            socket_, FaultPlan{{Fault{FaultKind::Close, ReplyPoint::RecordAck, 1, closeAt, 0}}, 0});
        const std::int32_t handle = driver_.calls.OpenDevice();
        ASSERT_GT(handle, 0);
        auto steps = Exchange(Header(kMainLine), {});
        steps.push_back({records[0], {'Y'}});
        steps.push_back({records[1], {'Y'}});
        Run(handle, steps);
        // Records 2 to 12 in one write, then the END record.
        std::int32_t count = static_cast<std::int32_t>(batch.size());
        const std::int32_t result = driver_.calls.WriteDevice(
            handle, batch.data(), static_cast<std::int32_t>(batch.size()), &count, 2000);
        if (closeAt == 12) {
            EXPECT_NE(result, 0) << "the device took the whole write before it hung up";
            EXPECT_EQ(count, static_cast<std::int32_t>(batch.size()));
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(count, 0);
        }
        EXPECT_FALSE(driver_.Write(handle, kEnd)) << "nobody takes the END record";
        driver_.calls.CloseDevice(handle);
    }
}

TEST_F(StandinDriver, AWriteNobodyTakesFailsAtItsTimeLimit) {
    // A listener that accepts and never answers: no confirmation ever comes.
    posix::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
    ::unlink(socket_.c_str());
    ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener.Get(), 1), 0);
    const std::int32_t handle = driver_.calls.OpenDevice();
    ASSERT_GT(handle, 0);
    std::int32_t count = 11;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(driver_.calls.WriteDevice(handle, ":UP:EXEC\r\nU", 11, &count, 200), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 200ms);
    EXPECT_EQ(count, 0);
    driver_.calls.CloseDevice(handle);
    ::unlink(socket_.c_str());
}

TEST_F(StandinDriver, ServesTheProgramsUsbSocket) {
    qf580::test::ChildProcess sim(
        {QF580_SIM_PROGRAM, "--port", "0", "--once", "--usb", "--usb-socket", socket_});
    ASSERT_TRUE(sim.ReadLine().has_value());  // listening on ...
    EXPECT_EQ(sim.ReadLine(), "usb stand-in socket " + socket_);
    const std::int32_t handle = driver_.calls.OpenDevice();
    ASSERT_GT(handle, 0);
    Run(handle, Exchange(Header(kSubLine), {Records(3), Records(2)}));
    driver_.calls.CloseDevice(handle);
    const auto summary = sim.ReadLine();
    ASSERT_TRUE(summary.has_value());
    EXPECT_TRUE(summary->starts_with("usb: ")) << *summary;
    EXPECT_TRUE(summary->ends_with("records 5, passes 2/2, complete")) << *summary;
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_FALSE(std::filesystem::exists(socket_));
}

}  // namespace
}  // namespace qf580::sim
