#include "Reporter.h"

namespace qf580::cli {

Reporter::Reporter(std::FILE* human, std::FILE* json)
    : human_(human), json_(json), start_(std::chrono::steady_clock::now()) {}

double Reporter::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Reporter::Write(std::FILE* stream, const std::string& text) {
    const std::string line = text + "\n";
    const std::lock_guard lock(mutex_);
    // A reader that has gone away is no reason to stop the transfers: the write just fails.
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}

void Reporter::Line(const std::string& text) {
    Write(human_, text);
}

void Reporter::Event(const std::string& object) {
    if (json_ != nullptr) {
        Write(json_, object);
    }
}

}  // namespace qf580::cli
