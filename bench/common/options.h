#pragma once

#include <charconv>
#include <cstddef>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <vector>

namespace bench {

// A tool's command line. Each option's parser and its help line are given together, so the
// two cannot drift apart. A value comes as "--name value" or "--name=value".
class OptionTable {
public:
    using Parse = std::function<bool(std::string_view)>;

    // usage is the help's first line; column is where the option descriptions start.
    OptionTable(std::string tool, std::string usage, std::size_t column)
        : tool_(std::move(tool)), help_(std::move(usage) + "\n"), column_(column) {}

    void value(std::string name, std::string_view meta, std::string_view help, Parse parse);
    void flag(std::string name, std::string_view help, bool& set);
    void note(std::string_view line) { help_.append(line).append("\n"); }

    // Empty, or what is wrong with these arguments; help is set when they ask for the help.
    std::string apply(const std::vector<std::string_view>& args, bool& help) const;

    // nullopt: go on with the options as parsed. Otherwise the exit status after printing the
    // help (0, asked for) or what was wrong (fail()).
    std::optional<int> parse(int argc, char** argv) const;
    int fail(const std::string& error) const;
    const std::string& help() const { return help_; }

private:
    void addHelp(std::string line, std::string_view help);

    struct Option {
        std::string name;
        Parse parse; // empty for a flag
        bool* set = nullptr;
    };
    std::string tool_;
    std::string help_;
    std::size_t column_;
    std::vector<Option> options_;
};

template <typename T> bool parseNumber(std::string_view text, T& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end;
}

// A number in [min, max]; a range check also turns away NaN and the infinities.
template <typename T>
OptionTable::Parse number(T& out, std::type_identity_t<T> min = std::numeric_limits<T>::lowest(),
                          std::type_identity_t<T> max = std::numeric_limits<T>::max()) {
    return [&out, min, max](std::string_view text) {
        return parseNumber(text, out) && out >= min && out <= max;
    };
}

// A number above 0 and at most max: seconds and rates.
inline OptionTable::Parse positive(double& out, double max) {
    return [&out, max](std::string_view text) {
        return parseNumber(text, out) && out > 0.0 && out <= max;
    };
}

inline OptionTable::Parse text(std::string& out, bool mayBeEmpty) {
    return [&out, mayBeEmpty](std::string_view text) {
        out = std::string(text);
        return mayBeEmpty || !out.empty();
    };
}

} // namespace bench
