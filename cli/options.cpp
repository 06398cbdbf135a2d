#include "cli/options.hpp"

#include <charconv>
#include <cstring>

namespace qm5::cli {

namespace {

const OptionSpec* findLong(std::span<const OptionSpec> specs, const char* name, std::size_t length) {
    for (const OptionSpec& spec : specs) {
        if (std::strlen(spec.longName) == length && std::strncmp(spec.longName, name, length) == 0) return &spec;
    }
    return nullptr;
}

const OptionSpec* findShort(std::span<const OptionSpec> specs, char name) {
    for (const OptionSpec& spec : specs) {
        if (spec.shortName != '\0' && spec.shortName == name) return &spec;
    }
    return nullptr;
}

void store(ParsedOptions& out, const OptionSpec& spec, const char* value) {
    out.seen[static_cast<std::size_t>(spec.id)] = true;
    out.values[static_cast<std::size_t>(spec.id)] = value;
}

}  // namespace

bool parseOptions(std::span<const OptionSpec> specs, std::span<char* const> args, ParsedOptions& out,
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
            const OptionSpec* spec = findLong(specs, name, length);
            if (spec == nullptr) {
                error = "unknown option '--" + std::string(name, length) + "'";
                return false;
            }
            if (spec->valueName == nullptr) {
                if (equals != nullptr) {
                    error = "option '--" + std::string(spec->longName) + "' takes no value";
                    return false;
                }
                store(out, *spec, nullptr);
            } else if (equals != nullptr) {
                store(out, *spec, equals + 1);
            } else if (i + 1 < args.size()) {
                store(out, *spec, args[++i]);
            } else {
                error = "option '--" + std::string(spec->longName) + "' needs a value (" + spec->valueName + ")";
                return false;
            }
            continue;
        }
        // One or more short options; one that takes a value takes the rest
        // of the argument, or the next argument.
        for (const char* p = arg + 1; *p != '\0'; ++p) {
            const OptionSpec* spec = findShort(specs, *p);
            if (spec == nullptr) {
                error = std::string("unknown option '-") + *p + "'";
                return false;
            }
            if (spec->valueName == nullptr) {
                store(out, *spec, nullptr);
                continue;
            }
            if (p[1] != '\0') {
                store(out, *spec, p + 1);
            } else if (i + 1 < args.size()) {
                store(out, *spec, args[++i]);
            } else {
                error = std::string("option '-") + *p + "' needs a value (" + spec->valueName + ")";
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
