// The command line's events (--json): what every event line starts with.
#pragma once

#include <optional>
#include <string_view>

#include "text/JsonText.h"

namespace qf580::cli {

// The members every event starts with, in this order: "schema" (the version of the events'
// published description), "event", "device" (null where the event is no device's), "t"
// (seconds since the run started).
JsonValue EventPrologue(std::string_view event, std::optional<std::string_view> device, double t);

}  // namespace qf580::cli
