#include "picture/bmp_rle.hpp"

#include <algorithm>
#include <utility>

namespace qm5 {

namespace {

// Pictures of more than kRleFreePixels pixels need at least one stream byte
// per kRlePixelsPerStreamByte pixels: twice the densest rate of runs (255
// pixels per 2 bytes). Smaller pictures load whatever their stream.
constexpr std::uint64_t kRleFreePixels = 65536;
constexpr std::uint64_t kRlePixelsPerStreamByte = 256;

// The decoding position and the pixels waiting at the right edge.
class RleCursor {
public:
    RleCursor(Picture& picture, std::span<const std::uint32_t, 256> palette)
        : pixels_(picture.pixels.data()), palette_(palette), width_(picture.width),
          y_(static_cast<std::int64_t>(picture.height) - 1) {}

    void store(std::uint8_t index) {
        if (rowEnded_) {
            x_ = 0;
            --y_;
            rowEnded_ = false;
        }
        if (x_ >= width_) {
            // At most one code's pixels wait (255), since the next code
            // settles them before storing anything.
            waiting_[waitingCount_++] = index;
            return;
        }
        put(index);
    }
    // The next code is an end of line or end of bitmap.
    void dropWaiting() { waitingCount_ = 0; }
    // The next code is anything else: the waiting pixels go on in the row
    // above, each full row again continuing in the row above it.
    void carryWaiting() {
        for (unsigned k = 0; k < waitingCount_; ++k) {
            if (x_ >= width_) {
                x_ = 0;
                --y_;
            }
            put(waiting_[k]);
        }
        waitingCount_ = 0;
    }
    void endLine() {
        x_ = width_;
        rowEnded_ = true;
    }
    void move(std::uint8_t dx, std::uint8_t dy) {
        x_ += dx;
        y_ -= dy;
        if (x_ >= width_) {
            x_ -= width_;
            --y_;
        }
        rowEnded_ = false;
    }
    bool aboveTop() const { return y_ < 0; }
    // Every pixel reached: the last store filled the top row.
    bool complete() const { return y_ < 0 || width_ == 0 || (y_ == 0 && x_ >= width_); }

private:
    void put(std::uint8_t index) {
        if (y_ >= 0 && x_ < width_) pixels_[y_ * width_ + x_] = palette_[index];  // width 0: no pixels
        ++x_;
    }

    std::uint32_t* pixels_;
    std::span<const std::uint32_t, 256> palette_;
    // 64-bit position: deltas can push x far past the width.
    std::int64_t width_;
    std::int64_t x_ = 0;
    std::int64_t y_;
    bool rowEnded_ = false;  // an end of line was read since the last pixel
    std::uint8_t waiting_[255] = {};
    unsigned waitingCount_ = 0;
};

}  // namespace

PictureError decodeBmpRle(ByteReader& stream, unsigned bitsPerIndex, std::span<const std::uint32_t, 256> palette,
                          std::int32_t width, std::int32_t height, Picture& out) {
    out = Picture{};
    // Runs reach at most 255 pixels per 2 stream bytes; only skips (end of
    // line, delta, an early end of bitmap) reach further, and they leave
    // pixels at entry 0. Bounding the pixels by the stream keeps a 200-byte
    // file from making the reader allocate gigabytes.
    const std::uint64_t pixelCount = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    if (pixelCount > kRleFreePixels && pixelCount > kRlePixelsPerStreamByte * stream.remaining()) {
        return PictureError::truncated;
    }
    Picture picture;
    if (!picture.allocate(width, height)) return PictureError::outOfMemory;
    if (palette[0] != 0) std::fill(picture.pixels.begin(), picture.pixels.end(), palette[0]);

    RleCursor at(picture, palette);
    const bool nibbles = bitsPerIndex == 4;
    bool endOfBitmap = false;
    // The top row is tested before each code, never inside a run.
    while (!at.aboveTop()) {
        auto n = stream.readU8();
        if (!n) break;
        if (*n != 0) {
            auto v = stream.readU8();
            if (!v) break;
            at.carryWaiting();
            for (unsigned k = 0; k < *n; ++k) at.store(nibbles ? ((k & 1) != 0 ? *v & 15 : *v >> 4) : *v);
            continue;
        }
        auto c = stream.readU8();
        if (!c) break;
        if (*c == 0 || *c == 1) {
            at.dropWaiting();
            if (*c == 1) {
                endOfBitmap = true;
                break;
            }
            at.endLine();
            continue;
        }
        at.carryWaiting();
        if (*c == 2) {
            auto d = stream.readSpan(2);
            if (!d) break;
            at.move((*d)[0], (*d)[1]);
            continue;
        }
        // Absolute run: bytes up to the end of the file are still pixels;
        // the missing ones are not.
        const unsigned bytes = nibbles ? (*c + 1u) / 2 : *c;
        auto run = stream.readSpan(std::min<std::uint64_t>(bytes, stream.remaining()));
        for (unsigned k = 0; k < *c && k < (nibbles ? 2 * run->size() : run->size()); ++k) {
            at.store(nibbles ? ((k & 1) != 0 ? (*run)[k / 2] & 15 : (*run)[k / 2] >> 4) : (*run)[k]);
        }
        if (run->size() < bytes) break;
        if ((bytes & 1) != 0 && !stream.skip(1)) break;
    }
    // The end of the file is not an end of line or of bitmap.
    if (!endOfBitmap) at.carryWaiting();
    // A stream that ends (end of file) before its end-of-bitmap code is
    // accepted only when it has reached every pixel; an explicit early end of
    // bitmap is the format's way of leaving the rest at entry 0.
    if (!endOfBitmap && !at.complete()) return PictureError::truncated;
    out = std::move(picture);
    return PictureError::none;
}

}  // namespace qm5
