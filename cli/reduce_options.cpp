#include "cli/reduce_options.hpp"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "reduce/colour_reduction.hpp"

namespace qm5::cli {

bool parseQuality(const char* text, std::uint32_t& hundredths) {
    if (text == nullptr) return false;
    std::uint32_t whole = 0, fraction = 0;
    int digits = 0, decimals = 0;
    const char* p = text;
    for (; std::isdigit(static_cast<unsigned char>(*p)) && digits < 3; ++p, ++digits) whole = whole * 10 + (*p - '0');
    if (digits == 0) return false;
    if (*p == '.') {
        for (++p; std::isdigit(static_cast<unsigned char>(*p)) && decimals < 2; ++p, ++decimals) {
            fraction = fraction * 10 + static_cast<std::uint32_t>(*p - '0');
        }
        if (decimals == 0) return false;
        if (decimals == 1) fraction *= 10;
    }
    const std::uint32_t value = whole * 100 + fraction;
    if (*p != '\0' || value < kMinQuality || value > kMaxQuality) return false;
    hundredths = value;
    return true;
}

bool parseColour(const char* text, std::uint32_t& packed) {
    if (text == nullptr) return false;
    unsigned r = 0, g = 0, b = 0;
    int used = 0;
    const char* hex = *text == '#' ? text + 1 : text;
    if (std::strlen(hex) == 6 && std::strspn(hex, "0123456789abcdefABCDEF") == 6) {
        unsigned value = 0;
        if (std::sscanf(hex, "%6x", &value) != 1) return false;
        r = value >> 16;
        g = (value >> 8) & 0xFF;
        b = value & 0xFF;
    } else if (std::strspn(text, "0123456789,") != std::strlen(text) ||
               std::sscanf(text, "%3u,%3u,%3u%n", &r, &g, &b, &used) != 3 || text[used] != '\0' || r > 255 ||
               g > 255 || b > 255) {
        return false;
    }
    packed = packRgb(r, g, b);
    return true;
}

bool parseColourOptions(const ParsedOptions& options, ColourOptions& out, std::string& error) {
    if (options.has(Opt::quality) && !parseQuality(options.value(Opt::quality), out.reduction.quality)) {
        error = std::string("--quality needs a PSNR in dB from 1 to 99 (as 36 or 34.5), got '") +
                options.value(Opt::quality) + "'";
        return false;
    }
    if (options.has(Opt::colors)) {
        std::int64_t n = 0;
        if (!parseNumber(options.value(Opt::colors), 2, kMaxReducedColours, n)) {
            error = std::string("--colors needs a whole number from 2 to 32767, got '") + options.value(Opt::colors) + "'";
            return false;
        }
        out.reduction.maxColours = static_cast<std::int32_t>(n);
    }
    out.reduction.dither = options.has(Opt::dither);
    if (out.reduction.dither && !out.reduction.asked()) {
        error = "--dither needs --quality or --colors";
        return false;
    }
    if (options.has(Opt::matte)) {
        out.matte = true;
        if (!parseColour(options.value(Opt::matte), out.matteColour)) {
            error = std::string("--matte needs a colour as #ff00ff or 255,0,255, got '") + options.value(Opt::matte) + "'";
            return false;
        }
    }
    return true;
}

}  // namespace qm5::cli
