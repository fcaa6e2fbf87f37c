// Several devices in one simulator: their ports, faults aimed at one of them, and the
// options that can't go together.
#include <gtest/gtest.h>

#include "sim/Devices.h"
#include "tests/support/ChildProcess.h"

namespace qf580::sim {
namespace {

using qf580::test::ChildProcess;

TEST(SimDevices, AimedFaultsNameTheirDevice) {
    struct Case {
        const char* text;
        int device;  // -1: refused
        const char* fault;
    };
    const std::vector<Case> cases = {
        {"silence:ack:1:0", 0, "silence:ack:1:0"},
        {"3=silence:ack:1:0", 3, "silence:ack:1:0"},
        {"1=wrong:sync", 1, "wrong:sync"},
        {"8=close:header", 8, "close:header"},
        {"9=close:header", -1, ""},
        {"0=close:header", -1, ""},
        {"=close:header", -1, ""},
        {"x=close:header", -1, ""},
        {"2x=close:header", -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.device < 0) {
            EXPECT_THROW(SplitAimedFault(c.text, 8), std::invalid_argument);
        } else {
            const AimedFault aimed = SplitAimedFault(c.text, 8);
            EXPECT_EQ(aimed.device, c.device);
            EXPECT_EQ(aimed.fault, c.fault);
        }
    }
}

TEST(SimDevices, PortsConsecutiveOrFree) {
    EXPECT_EQ(DevicePorts(8023, 1), std::vector<std::uint16_t>{8023});
    EXPECT_EQ(DevicePorts(9000, 3), (std::vector<std::uint16_t>{9000, 9001, 9002}));
    EXPECT_EQ(DevicePorts(0, 3), (std::vector<std::uint16_t>{0, 0, 0}));
    EXPECT_EQ(DevicePorts(65534, 2), (std::vector<std::uint16_t>{65534, 65535}));
    EXPECT_THROW(DevicePorts(65534, 3), std::invalid_argument);
    EXPECT_THROW(DevicePorts(8023, 0), std::invalid_argument);
}

TEST(SimDevices, OptionsThatDoNotFitAreUsageErrors) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--port", "0", "--devices", "3", "--fault", "4=wrong:sync"},
             {"--port", "0", "--devices", "2", "--usb"},
             {"--port", "65534", "--devices", "3"},
             {"--port", "0", "--devices", "0"},
             {"--port", "0", "--fault", "2=wrong:sync"},
         }) {
        SCOPED_TRACE(args[2] + " " + args[3]);
        std::vector<std::string> command = args;
        command.insert(command.begin(), QF580_SIM_PROGRAM);
        ChildProcess sim(command);
        EXPECT_EQ(sim.Wait(), 2);
        EXPECT_FALSE(sim.ReadLine(std::chrono::milliseconds(100)).has_value());
    }
}

}  // namespace
}  // namespace qf580::sim
