#include "maker/reduction_stage.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <thread>

#include "reduce/colour_reduction.hpp"
#include "reduce/palette_builder.hpp"

namespace qm5 {

namespace {

// Takes a texture's bytes and keeps only their count.
class CountingSink final : public OutputSink {
public:
    bool write(const void*, std::size_t size) override {
        bytes_ += size;
        return true;
    }
    bool commit() override { return true; }
    void discard() override { bytes_ = 0; }

private:
    std::uint64_t bytes_ = 0;
};

// Hears only whether the caller cancels, so that pricing can be stopped.
class CancelOnly final : public EncodeObserver {
public:
    explicit CancelOnly(EncodeObserver& caller) : caller_(caller) {}
    bool cancelled() override { return caller_.cancelled(); }

private:
    EncodeObserver& caller_;
};

class RequestPricer final : public TexturePricer {
public:
    RequestPricer(const EncodeRequest& request, EncodeObserver& observer) : request_(request), observer_(observer) {}

    std::uint64_t price(std::span<const std::uint32_t* const> images, std::uint64_t pixelCount,
                        std::span<const std::uint32_t> palette) override {
        const Picture& first = request_.pictures[0];
        std::unique_ptr<Picture[]> copies(new (std::nothrow) Picture[images.size()]);
        if (!copies || pixelCount != first.pixels.size()) return 0;
        for (std::size_t m = 0; m < images.size(); ++m) {
            if (!copies[m].allocate(first.width, first.height)) return 0;
            std::copy_n(images[m], pixelCount, copies[m].pixels.data());
        }
        CountingSink sink;
        CancelOnly observer(observer_);
        EncodeRequest priced;
        priced.pictures = {copies.get(), images.size()};
        priced.palette = palette;
        priced.reorderPalette = true;
        priced.mode = request_.mode;
        priced.smallest = request_.smallest;
        priced.effort = request_.effort;
        priced.threads = request_.threads;
        priced.limits = request_.limits;
        priced.observer = &observer;
        priced.sink = &sink;
        const EncodeResult result = encodeTexture(priced);
        return result.ok() ? result.bytes() : 0;
    }

private:
    const EncodeRequest& request_;
    EncodeObserver& observer_;
};

EncodeError encodeError(ReduceError error) {
    switch (error) {
        case ReduceError::none: return EncodeError::none;
        case ReduceError::badOptions:
        case ReduceError::noPictures: return EncodeError::badReduction;
        // The pictures reach the reduction opaque (composited or checked
        // by their reader); a transparent one is a caller's fault.
        case ReduceError::transparent: return EncodeError::badReduction;
        case ReduceError::outOfMemory: return EncodeError::outOfMemory;
        case ReduceError::tooLarge: return EncodeError::tooLarge;
        case ReduceError::qualityUnreachable: return EncodeError::qualityUnreachable;
    }
    return EncodeError::outOfMemory;
}

}  // namespace

EncodeError reducePictures(const EncodeRequest& request, EncodeObserver& observer, HeapArray<std::uint32_t>& palette,
                           EncodeResult& result) {
    if (!request.palette.empty() || request.pictures.empty()) return EncodeError::badReduction;
    RequestPricer pricer(request, observer);
    ReduceOptions options;
    options.quality = request.reduction.quality;
    options.maxColours = request.reduction.maxColours;
    options.dither = request.reduction.dither;
    options.threads = request.threads != 0 ? request.threads : std::max(1u, std::thread::hardware_concurrency());
    options.pricer = &pricer;
    options.memoryLimit = request.limits.memory;
    const ReduceResult reduced = reduceColours(request.pictures, options, palette);
    result.coloursBefore = reduced.stats.coloursBefore;
    result.psnr = reduced.stats.psnr;
    if (reduced.error == ReduceError::tooLarge) result.memoryLimit = request.limits.memory;
    result.reduced = reduced.error == ReduceError::none;
    return encodeError(reduced.error);
}

std::uint64_t countColours(std::span<const Picture> pictures) {
    ColourHistogram colours;
    for (const Picture& p : pictures) {
        if (!colours.add(p.pixels.span())) return 0;
    }
    return colours.distinct();
}

}  // namespace qm5
