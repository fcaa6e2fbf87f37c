// --help in the program's own words: CLI11 would show its parser's notation beside each option
// ("--no-fast{false}", "UINT:INT in [1 - 65535]=8023", "Excludes: --usb"), which tells a
// reader nothing they can type. Each option that takes a value names it in its option text
// instead (an option added without one shows none), and its description says its default.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace qf580::cli {

class HelpFormatter : public CLI::Formatter {
  public:
    // Wide enough for the longest option with what it takes ("--disk-answer ask|ok|cancel").
    HelpFormatter() { column_width(32); }

    std::string make_option_name(const CLI::Option* opt, bool isPositional) const override {
        const std::string names = CLI::Formatter::make_option_name(opt, isPositional);
        std::string out;
        bool inValue = false;  // inside the "{false}" that follows a negated flag's name
        for (const char c : names) {
            if (c == '{') {
                inValue = true;
            } else if (c == '}') {
                inValue = false;
            } else if (!inValue) {
                out += c == ',' ? std::string(", ") : std::string(1, c);
            }
        }
        return out;
    }

    std::string make_option_opts(const CLI::Option* opt) const override {
        return opt->get_option_text().empty() ? std::string() : " " + opt->get_option_text();
    }
};

}  // namespace qf580::cli
