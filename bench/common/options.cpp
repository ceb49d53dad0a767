#include "options.h"

#include <algorithm>
#include <cstdio>

namespace bench {

void OptionTable::addHelp(std::string line, std::string_view help) {
    line.resize(std::max(column_, line.size() + 1), ' ');
    help_.append(line).append(help).append("\n");
}

void OptionTable::value(std::string name, std::string_view meta, std::string_view help,
                        Parse parse) {
    addHelp("  " + name + " " + std::string(meta), help);
    options_.push_back(Option{std::move(name), std::move(parse)});
}

void OptionTable::flag(std::string name, std::string_view help, bool& set) {
    addHelp("  " + name, help);
    options_.push_back(Option{std::move(name), {}, &set});
}

std::string OptionTable::apply(const std::vector<std::string_view>& args, bool& help) const {
    const auto named = [this](std::string_view name) {
        return std::find_if(options_.begin(), options_.end(),
                            [name](const Option& o) { return o.name == name; });
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
            return {};
        }
        if (const auto flag = named(arg); flag != options_.end() && flag->set != nullptr) {
            *flag->set = true;
            continue;
        }
        std::string_view value;
        if (const auto eq = arg.find('='); eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return "missing value for " + std::string(arg);
        }
        const auto option = named(arg);
        if (option == options_.end() || !option->parse) {
            return "unknown option " + std::string(arg);
        }
        if (!option->parse(value)) {
            return "bad value '" + std::string(value) + "' for " + std::string(arg);
        }
    }
    return {};
}

std::optional<int> OptionTable::parse(int argc, char** argv) const {
    bool help = false;
    const std::string error =
        apply(std::vector<std::string_view>(argv + std::min(argc, 1), argv + argc), help);
    if (help) {
        std::fputs(help_.c_str(), stdout);
        return 0;
    }
    if (!error.empty()) {
        return fail(error);
    }
    return std::nullopt;
}

int OptionTable::fail(const std::string& error) const {
    std::fprintf(stderr, "%s: %s\n%s", tool_.c_str(), error.c_str(), help_.c_str());
    return 1;
}

} // namespace bench
