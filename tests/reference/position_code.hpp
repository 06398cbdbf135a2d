#pragma once
// The code of one pixel position in a colour's PositionTable, as the texture
// writer hands it to a minimiser.

#include <cstdint>

namespace qm5 {

enum class PositionCode : std::int32_t {
    off = 0,       // a colour written later covers it: no cube may hold it
    on = 1,        // this colour's pixel: some cube must hold it
    dontCare = 2,  // written earlier or past the picture: may be held or not
};

inline constexpr std::int32_t codeOf(PositionCode code) { return static_cast<std::int32_t>(code); }

// A table entry read as the reference reads it: every code other than off
// and don't care counts as on.
inline constexpr bool isOff(std::int32_t entry) { return entry == codeOf(PositionCode::off); }
inline constexpr bool isDontCare(std::int32_t entry) { return entry == codeOf(PositionCode::dontCare); }
inline constexpr bool isOn(std::int32_t entry) { return !isOff(entry) && !isDontCare(entry); }

}  // namespace qm5
