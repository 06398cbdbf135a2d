#pragma once
// File names as text: where the last path component begins and where its
// extension starts. Both '/' and '\' end a directory part on every
// platform, so that a name written in either convention ("pics\wall.bmp",
// "pics/wall.bmp") is read the same way.

#include <cstddef>
#include <string_view>

namespace qm5 {

// The position of the first character of name's last path component.
constexpr std::size_t lastComponentStart(std::string_view name) {
    const std::size_t slash = name.find_last_of("/\\");
    return slash == std::string_view::npos ? 0 : slash + 1;
}

// The length of name without the extension of its last component, the part
// from that component's last '.' on; name.size() when it has none. A dot in
// a directory name is no extension ("dir.v2/tex" has none), and neither is
// the leading dot of a hidden file (".profile") or a component of dots alone.
constexpr std::size_t stemLength(std::string_view name) {
    const std::size_t start = lastComponentStart(name);
    const std::size_t dot = name.find_last_of('.');
    if (dot == std::string_view::npos || dot < start) return name.size();
    if (name.find_first_not_of('.', start) == std::string_view::npos) return name.size();
    if (dot == start) return name.size();
    return dot;
}

}  // namespace qm5
