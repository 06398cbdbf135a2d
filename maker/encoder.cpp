#include "maker/encoder.hpp"

#include <memory>
#include <new>

#include "maker/colour_table.hpp"
#include "maker/mipmaps.hpp"
#include "maker/palette.hpp"
#include "maker/texture_writer.hpp"

namespace qm5 {

namespace {

// One run of encodeTexture, stage by stage; each returns false once the
// result holds its error.
class Encoding {
public:
    Encoding(const EncodeRequest& request, EncodeObserver& observer, EncodeResult& result)
        : request_(request),
          observer_(observer),
          result_(result),
          console_(observer.console() != nullptr ? *observer.console() : silent_) {}

    void run();

private:
    bool fail(EncodeError error) {
        result_.error = error;
        return false;
    }
    bool going() { return !observer_.cancelled() || fail(EncodeError::cancelled); }
    bool makePalette();
    bool countMipmaps();

    const EncodeRequest& request_;
    EncodeObserver& observer_;
    EncodeResult& result_;
    Console silent_{nullptr, nullptr};  // the stages' lines when the observer shows none
    Console& console_;
    ColourTable colours_;
    std::span<const std::uint32_t> palette_;
};

void Encoding::run() {
    const std::span<Picture> pictures = request_.pictures;
    result_.images = static_cast<std::uint32_t>(pictures.size());
    if (!pictures.empty()) {
        result_.width = pictures[0].width;
        result_.height = pictures[0].height;
    }
    if (!going() || !makePalette() || !going() || !countMipmaps() || !going()) return;
    // The writer takes the pictures as pointers (a list of them, or one).
    std::unique_ptr<const Picture*[]> refs(new (std::nothrow) const Picture*[pictures.size() + 1]);
    if (!refs) {
        fail(EncodeError::outOfMemory);
        return;
    }
    for (std::size_t i = 0; i < pictures.size(); ++i) refs[i] = &pictures[i];
    writeTexture(request_, {refs.get(), pictures.size()}, palette_, observer_, result_);
}

// The palette stage, or the caller's palette as it is.
bool Encoding::makePalette() {
    if (!request_.palette.empty()) {
        palette_ = request_.palette;
        result_.colours = static_cast<std::uint32_t>(palette_.size());
        return palette_.size() <= static_cast<std::size_t>(kMaxPaletteColours) || fail(EncodeError::tooManyColours);
    }
    switch (buildPalette(console_, request_.pictures, colours_, kMaxPaletteColours, &observer_)) {
        case PaletteResult::done: break;
        case PaletteResult::tooManyColours: return fail(EncodeError::tooManyColours);
        default: return fail(EncodeError::paletteFailed);
    }
    palette_ = colours_.colours();
    result_.colours = static_cast<std::uint32_t>(palette_.size());
    return true;
}

// The mipmap stage: only the level count reaches the file, so the levels
// are built only when the caller shows that work (qm5_maker).
bool Encoding::countMipmaps() {
    if (request_.buildMipmaps && request_.palette.empty()) {
        MipmapLevels levels;
        if (!buildMipmaps(console_, request_.pictures, colours_, levels)) return fail(EncodeError::outOfMemory);
        result_.mipmapLevels = levels.levelCount;
        return true;
    }
    observer_.begin(Stage::mipmaps);
    result_.mipmapLevels = mipmapLevelCount(result_.width, result_.height);
    observer_.advance(1, 1);
    return true;
}

}  // namespace

EncodeResult encodeTexture(const EncodeRequest& request) {
    EncodeResult result;
    EncodeObserver silent;
    EncodeObserver& observer = request.observer != nullptr ? *request.observer : silent;
    Encoding(request, observer, result).run();
    observer.finished(result);
    return result;
}

}  // namespace qm5
