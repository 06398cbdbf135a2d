#include "cli/options.hpp"

#include <charconv>
#include <cstring>

namespace qm5::cli {

namespace {

const CommandOption* findLong(std::span<const CommandOption> table, const char* name, std::size_t length) {
    for (const CommandOption& option : table) {
        if (std::strlen(option.longName) == length && std::strncmp(option.longName, name, length) == 0) return &option;
    }
    return nullptr;
}

const CommandOption* findShort(std::span<const CommandOption> table, char name) {
    for (const CommandOption& option : table) {
        if (option.shortName != '\0' && option.shortName == name) return &option;
    }
    return nullptr;
}

void store(ParsedOptions& out, const CommandOption& option, const char* value) {
    out.seen[static_cast<std::size_t>(option.id)] = true;
    out.values[static_cast<std::size_t>(option.id)] = value;
}

}  // namespace

// Slightly over 60 lines: one pass over the arguments, each form of option
// (long, long=value, clustered short, operand) one branch of it.
bool parseOptions(std::span<const CommandOption> table, std::span<char* const> args, ParsedOptions& out,
                  std::string& error) {
    out = ParsedOptions{};
    bool operandsOnly = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const char* arg = args[i];
        if (operandsOnly || arg[0] != '-' || arg[1] == '\0') {
            out.operands.push_back(arg);
            continue;
        }
        if (arg[1] == '-') {
            if (arg[2] == '\0') {
                operandsOnly = true;
                continue;
            }
            const char* name = arg + 2;
            const char* equals = std::strchr(name, '=');
            const std::size_t length = equals != nullptr ? static_cast<std::size_t>(equals - name) : std::strlen(name);
            const CommandOption* option = findLong(table, name, length);
            if (option == nullptr) {
                error = "unknown option '--" + std::string(name, length) + "'";
                return false;
            }
            if (option->valueName == nullptr) {
                if (equals != nullptr) {
                    error = "option '--" + std::string(option->longName) + "' takes no value";
                    return false;
                }
                store(out, *option, nullptr);
            } else if (equals != nullptr) {
                store(out, *option, equals + 1);
            } else if (i + 1 < args.size()) {
                store(out, *option, args[++i]);
            } else {
                error = "option '--" + std::string(option->longName) + "' needs a value (" + option->valueName + ")";
                return false;
            }
            continue;
        }
        // One or more short options; one that takes a value takes the rest
        // of the argument, or the next argument.
        for (const char* p = arg + 1; *p != '\0'; ++p) {
            const CommandOption* option = findShort(table, *p);
            if (option == nullptr) {
                error = std::string("unknown option '-") + *p + "'";
                return false;
            }
            if (option->valueName == nullptr) {
                store(out, *option, nullptr);
                continue;
            }
            if (p[1] != '\0') {
                store(out, *option, p + 1);
            } else if (i + 1 < args.size()) {
                store(out, *option, args[++i]);
            } else {
                error = std::string("option '-") + *p + "' needs a value (" + option->valueName + ")";
                return false;
            }
            break;
        }
    }
    return true;
}

bool parseNumber(const char* text, std::int64_t min, std::int64_t max, std::int64_t& out) {
    if (text == nullptr || *text == '\0') return false;
    const char* end = text + std::strlen(text);
    std::int64_t value = 0;
    const auto [ptr, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || ptr != end || value < min || value > max) return false;
    out = value;
    return true;
}

}  // namespace qm5::cli
