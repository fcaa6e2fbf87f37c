// The simulator's faults as the command line writes them.
#pragma once

#include <cstdint>
#include <string>

#include "sim/DeviceModel.h"

namespace qf580::sim {

// "KIND:POINT[:PASS:INDEX]": KIND wrong, silence or close; POINT sync, ident, header-size,
// header or ack; PASS (from 1) and INDEX (from 0) for ack only, 1:0 when left out. A wrong
// fault answers `wrongByte`. std::invalid_argument, with a message for the operator, for
// anything else.
Fault ParseFault(const std::string& text, std::uint8_t wrongByte);

// A byte as 0x4E, 78 or 0116; std::invalid_argument for anything else or beyond 0xFF.
std::uint8_t ParseByte(const std::string& text);

}  // namespace qf580::sim
