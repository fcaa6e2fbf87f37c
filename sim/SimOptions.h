// The options of one qf580-sim run, as parsed and checked from its command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "sim/DeviceModel.h"

namespace qf580::sim {

// --make-sample: the set to write instead of serving.
struct SampleRequest {
    std::string dir;
    int romType = 0;
    int disks = 1;
    int records = 200;
    std::string name = "FW0000.q58";
    unsigned seed = 1;
};

struct SimOptions {
    std::string bind = "127.0.0.1";    // a loopback address, checked
    std::vector<std::uint16_t> ports;  // one per TCP device; 0: a free one
    std::vector<FaultPlan> plans;      // one per TCP device; the first is the stand-in's too
    bool usb = false;
    std::string usbSocket = "/tmp/qf580-sim.sock";
    bool once = false;
    std::optional<SampleRequest> sample;  // set: write it and serve nothing
};

// The options of `argv`, checked; or, when the run ends here (--help, --version, a usage
// error, already said on the terminal), the exit code to end with.
std::variant<SimOptions, int> ParseSimOptions(int argc, char** argv);

}  // namespace qf580::sim
