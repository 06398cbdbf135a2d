#pragma once
// Progress: how far one conversion has got, for a display that a person
// watches (the qm5 command's progress line). Stages announce themselves
// with begin() and report their work with advance(); the display decides
// what to show and when, so both may be called as often as is cheap. Every
// stage counts in units of its own (pictures, pixels, colours, the
// engine's work); only the fraction done / total is shown.

#include <cstdint>

namespace qm5 {

// ordering: --best's search for the palette order, after the records of
// the maker's order (a compressing stage of its own).
enum class Stage { reading, palette, mipmaps, compressing, ordering, writing };

class Progress {
public:
    virtual ~Progress() = default;
    // A stage starts at 0 done; compressing names its image (from 0) of images.
    virtual void begin(Stage stage, std::uint32_t image = 0, std::uint32_t images = 0) = 0;
    // done of total units of the current stage (done <= total, total > 0).
    // Safe from any thread, as an engine's worker threads may report.
    virtual void advance(std::uint64_t done, std::uint64_t total) = 0;
};

}  // namespace qm5
