// What a serial scanned at the station must look like before a unit is flashed under it: a
// scanner that types in the wrong keyboard layout, a stray control key or a half-read label
// must be refused at the station, not found months later in the attempt log.
#pragma once

#include <regex.h>

#include <memory>
#include <optional>
#include <string>

namespace qf580::cli {

class SerialRules {
  public:
    // `pattern`: a POSIX extended regular expression a serial must match whole; none: 1 to
    // 64 of A-Z a-z 0-9 - _ . /. Throws std::invalid_argument, with regcomp's reason, for a
    // pattern that does not compile.
    explicit SerialRules(const std::optional<std::string>& pattern = std::nullopt);

    // Drops one trailing CR from `serial` (a scanner that ends its lines with CR LF), then
    // empty if the serial may be used, else why not, for the operator.
    std::string Refusal(std::string& serial) const;

    static constexpr const char* kDefaultPattern = "[A-Za-z0-9._/-]{1,64}";

  private:
    // Freed only once compiled; behind a pointer so that the rules can move.
    struct Compiled {
        regex_t regex{};
        bool compiled = false;
        Compiled() = default;
        Compiled(const Compiled&) = delete;
        Compiled& operator=(const Compiled&) = delete;
        ~Compiled() {
            if (compiled) {
                ::regfree(&regex);
            }
        }
    };
    std::unique_ptr<Compiled> regex_;
    std::string pattern_;
    bool custom_ = false;
};

}  // namespace qf580::cli
