#include "sim/FaultText.h"

#include <map>
#include <stdexcept>
#include <vector>

namespace qf580::sim {

namespace {

// The standard conversions would take leading blanks and signs; a number here is digits only.
bool StartsWithDigit(const std::string& text) {
    return !text.empty() && text.front() >= '0' && text.front() <= '9';
}

}  // namespace

Fault ParseFault(const std::string& text, std::uint8_t wrongByte) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
        const std::size_t colon = text.find(':', from);
        parts.push_back(text.substr(from, colon - from));
        if (colon == std::string::npos) {
            break;
        }
        from = colon + 1;
    }
    const std::string usage = "--fault " + text + ": expected KIND:POINT[:PASS:INDEX]";
    if (parts.size() != 2 && parts.size() != 4) {
        throw std::invalid_argument(usage);
    }
    static const std::map<std::string, FaultKind> kinds{{"wrong", FaultKind::WrongByte},
                                                        {"silence", FaultKind::Silence},
                                                        {"close", FaultKind::Close}};
    static const std::map<std::string, ReplyPoint> points{{"sync", ReplyPoint::Sync},
                                                          {"ident", ReplyPoint::Ident},
                                                          {"header-size", ReplyPoint::HeaderSize},
                                                          {"header", ReplyPoint::HeaderAck},
                                                          {"ack", ReplyPoint::RecordAck}};
    const auto kind = kinds.find(parts[0]);
    if (kind == kinds.end()) {
        throw std::invalid_argument(usage + "; KIND is wrong, silence or close");
    }
    const auto point = points.find(parts[1]);
    if (point == points.end()) {
        throw std::invalid_argument(usage + "; POINT is sync, ident, header-size, header or ack");
    }
    Fault fault;
    fault.kind = kind->second;
    fault.at = point->second;
    fault.byte = wrongByte;
    if (parts.size() == 4) {
        if (fault.at != ReplyPoint::RecordAck) {
            throw std::invalid_argument(usage + "; PASS:INDEX belong to the point ack only");
        }
        try {
            if (!StartsWithDigit(parts[2]) || !StartsWithDigit(parts[3])) {
                throw std::invalid_argument(text);
            }
            std::size_t used = 0;
            fault.pass = std::stoi(parts[2], &used);
            if (used != parts[2].size()) {
                throw std::invalid_argument(parts[2]);
            }
            fault.recordIndex = std::stoi(parts[3], &used);
            if (used != parts[3].size()) {
                throw std::invalid_argument(parts[3]);
            }
        } catch (const std::logic_error&) {
            throw std::invalid_argument(usage + "; PASS and INDEX are numbers");
        }
        if (fault.pass < 1 || fault.recordIndex < 0) {
            throw std::invalid_argument(usage + "; PASS counts from 1, INDEX from 0");
        }
    }
    return fault;
}

std::uint8_t ParseByte(const std::string& text) {
    try {
        std::size_t used = 0;
        const unsigned long value = std::stoul(text, &used, 0);  // 0x4E, 78 or 0116
        if (StartsWithDigit(text) && used == text.size() && value <= 0xFF) {
            return static_cast<std::uint8_t>(value);
        }
    } catch (const std::logic_error&) {
    }
    throw std::invalid_argument("--wrong-byte " + text + ": expected a byte such as 0x4E");
}

}  // namespace qf580::sim
