#include "attemptlog/FlashedBefore.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "posix/Eintr.h"
#include "posix/UniqueFd.h"

namespace qf580 {

namespace {

// The string value of the member `key` of a line as the attempt log writes it (compact, one
// object): found without parsing the line, since the needle `"key":"` cannot occur inside a
// JSON string, where every quote is escaped. Nullopt when the member is missing or not a
// string.
std::optional<std::string> StringMember(std::string_view line, std::string_view key) {
    std::string needle;
    needle.reserve(key.size() + 4);
    needle += '"';
    needle += key;
    needle += "\":\"";
    const std::size_t at = line.find(needle);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t begin = at + needle.size();
    bool escaped = false;
    for (std::size_t i = begin; i < line.size(); ++i) {
        if (line[i] == '\\') {
            escaped = true;
            ++i;
            continue;
        }
        if (line[i] == '"') {
            if (!escaped) {
                return std::string(line.substr(begin, i - begin));
            }
            // Rare: let the JSON reader undo the escapes.
            const nlohmann::json value =
                nlohmann::json::parse(line.substr(begin - 1, i - begin + 2), nullptr, false);
            if (value.is_string()) {
                return value.get<std::string>();
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

bool HasMember(std::string_view line, std::string_view member) {
    return line.find(member) != std::string_view::npos;
}

}  // namespace

void FlashedBefore::Take(std::string_view line) {
    if (HasMember(line, "\"event\":\"begin\"")) {
        if (auto attempt = StringMember(line, "attempt")) {
            open_[std::move(*attempt)] = StringMember(line, "station").value_or("");
        }
        return;
    }
    if (!HasMember(line, "\"event\":\"end\"")) {
        return;
    }
    const std::optional<std::string> attempt = StringMember(line, "attempt");
    std::string station;
    if (attempt) {
        if (const auto open = open_.find(*attempt); open != open_.end()) {
            station = std::move(open->second);
            open_.erase(open);
        }
    }
    // Followed by the next member or the object's end: not 0 as the start of 0.5 or 03.
    if (!HasMember(line, "\"exit_code\":0,") && !HasMember(line, "\"exit_code\":0}")) {
        return;
    }
    std::optional<std::string> serial = StringMember(line, "serial");
    if (!serial || serial->empty()) {
        return;
    }
    FlashedUnit unit;
    unit.time = StringMember(line, "time").value_or("");
    unit.station = std::move(station);
    unit.setSha256 = StringMember(line, "set_sha256").value_or("");
    flashed_[std::move(*serial)] = std::move(unit);
}

const FlashedUnit* FlashedBefore::Find(const std::string& serial) const {
    const auto found = flashed_.find(serial);
    return found == flashed_.end() ? nullptr : &found->second;
}

void FlashedBefore::Add(const std::string& serial, FlashedUnit unit) {
    flashed_[serial] = std::move(unit);
}

std::optional<FlashedBefore> FlashedBefore::Read(const std::string& path, std::string* why) {
    FlashedBefore index;
    const posix::UniqueFd fd(
        posix::RetryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd) {
        if (errno == ENOENT) {
            return index;
        }
        *why = std::strerror(errno);
        return std::nullopt;
    }
    std::string buffer;
    std::string chunk(1 << 20, '\0');
    for (;;) {
        const ssize_t n =
            posix::RetryOnEintr([&] { return ::read(fd.Get(), chunk.data(), chunk.size()); });
        if (n < 0) {
            *why = std::strerror(errno);
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        buffer.append(chunk.data(), static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t end = buffer.find('\n'); end != std::string::npos;
             end = buffer.find('\n', start)) {
            index.Take(std::string_view(buffer).substr(start, end - start));
            start = end + 1;
        }
        buffer.erase(0, start);
    }
    // A last line without its end was cut short by a run that was killed: it is not whole.
    return index;
}

}  // namespace qf580
