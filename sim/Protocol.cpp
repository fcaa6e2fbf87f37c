#include "sim/Protocol.h"

#include <algorithm>

namespace qf580::sim {

const RomType* FindRomType(std::span<const std::uint8_t> header) {
    if (header.size() < kRomLineLength) {
        return nullptr;
    }
    const std::string_view line(reinterpret_cast<const char*>(header.data()), kRomLineLength);
    const auto found = std::find_if(kRomTypes.begin(), kRomTypes.end(),
                                    [&](const RomType& type) { return type.line == line; });
    return found == kRomTypes.end() ? nullptr : &*found;
}

std::string DiskName(const std::string& chosen, int disk) {
    std::string name = chosen;
    const char digit = static_cast<char>('0' + disk);
    const auto dot = name.rfind('.');
    if (dot == std::string::npos) {
        if (!name.empty()) {
            name.back() = digit;
        }
    } else if (dot > 0) {
        name[dot - 1] = digit;
    }
    return name;
}

}  // namespace qf580::sim
