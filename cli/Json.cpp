#include "cli/Json.h"

namespace qf580::cli {

JsonValue EventPrologue(std::string_view event, std::optional<std::string_view> device, double t) {
    JsonValue prologue = JsonValue::object();
    prologue["schema"] = 1;
    prologue["event"] = event;
    prologue["device"] = device ? JsonValue(*device) : JsonValue(nullptr);
    prologue["t"] = t;
    return prologue;
}

}  // namespace qf580::cli
