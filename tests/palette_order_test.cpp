// --best with a palette order search: textures whose palette is not in
// ascending order decode to their pictures in the library's decoder and in
// a decoder written here from the format alone; they are never larger than
// in ascending order and the same for every thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "core/output_sink.hpp"
#include "maker/encoder.hpp"
#include "minimiser/palette_order.hpp"
#include "synthetic_picture.hpp"
#include "texture/texture_decoder.hpp"

namespace qm5 {
namespace {

using Bytes = std::vector<std::uint8_t>;

unsigned u16(const Bytes& f, std::size_t at) { return f[at] | (unsigned{f[at + 1]} << 8); }
std::uint32_t u32(const Bytes& f, std::size_t at) { return u16(f, at) | (std::uint32_t{u16(f, at + 2)} << 16); }

// Image m of a compressed texture as colours: the records painted from the
// last index down, each cube read bit by bit (zero mask, then one mask,
// most significant position bit first, stream bits from the low bit of
// each byte up).
std::vector<std::uint32_t> paintedColours(const Bytes& f, std::size_t m) {
    const unsigned colours = u16(f, 6);
    const std::size_t pixels = std::size_t{u16(f, 14)} * u16(f, 16);
    std::vector<std::vector<std::uint8_t>> records;
    std::size_t at = 20 + 4 * std::size_t{colours};
    for (std::size_t r = 0; r < (m + 1) * colours; ++r) {
        const std::size_t length = f[at] == 0x80 ? 0 : (std::size_t{f[at]} << 8 | f[at + 1]);
        if (r >= m * colours) records.emplace_back(f.begin() + static_cast<long>(at), f.begin() + static_cast<long>(at + 3 + length));
        at += 3 + length;
    }
    std::vector<std::uint32_t> out(pixels, 0);
    for (unsigned c = colours; c-- > 0;) {
        const std::vector<std::uint8_t>& rec = records[c];
        const std::uint32_t colour = u32(f, 20 + 4 * std::size_t{c});
        if (rec[0] == 0x80) std::fill(out.begin(), out.end(), colour);
        const unsigned b = rec[2];
        if (rec[0] == 0x80 || b == 0) continue;
        const std::size_t length = std::size_t{rec[0]} << 8 | rec[1];
        auto bit = [&](std::size_t q) { return (rec[3 + (q >> 3)] >> (q & 7)) & 1u; };
        for (std::size_t k = 0; k < 4 * length / b; ++k) {
            std::uint32_t zero = 0, one = 0;
            for (unsigned j = 0; j < b; ++j) {
                zero |= bit(2 * b * k + j) << (b - 1 - j);
                one |= bit(2 * b * k + b + j) << (b - 1 - j);
            }
            for (std::size_t p = 0; p < pixels; ++p) {
                if ((p & one) == one && (~p & zero) == zero) out[p] = colour;
            }
        }
    }
    return out;
}

// The pictures (palette indices) as --best writes them at this effort;
// the palette is ascending, so the palette stage gives back these indices.
Bytes write(const std::vector<Picture>& pictures, const std::vector<std::uint32_t>& palette, unsigned effort,
            unsigned threads) {
    std::vector<Picture> colours(pictures.size());
    for (std::size_t m = 0; m < pictures.size(); ++m) {
        EXPECT_TRUE(colours[m].allocate(pictures[m].width, pictures[m].height));
        for (std::size_t p = 0; p < colours[m].pixels.size(); ++p) colours[m].pixels[p] = palette[pictures[m].pixels[p]];
    }
    MemoryOutput memory;
    EncodeRequest request;
    request.pictures = colours;
    request.mode = EncodeMode::best;
    request.effort = effort;
    request.threads = threads;
    request.sink = &memory;
    EXPECT_EQ(encodeTexture(request).error, EncodeError::none);
    std::size_t size = 0;
    std::uint8_t* data = memory.release(size);
    Bytes bytes(data, data + size);
    std::free(data);
    return bytes;
}

// count pictures of 40 x 24 in 12 colours; colour 3 fills the right half
// as a background does.
std::vector<Picture> pictures(std::size_t count) {
    std::vector<Picture> out(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::vector<std::uint32_t> indices = test::photoLikeIndices(40, 24, 12, static_cast<std::uint32_t>(5 + i));
        EXPECT_TRUE(out[i].allocate(40, 24));
        for (std::size_t p = 0; p < indices.size(); ++p) out[i].pixels[p] = p % 40 < 20 ? indices[p] : 3;
    }
    return out;
}

TEST(PaletteOrder, UnsortedPalettesDecodeAndAreNeverLarger) {
    std::vector<std::uint32_t> palette(12);
    for (std::uint32_t c = 0; c < palette.size(); ++c) palette[c] = 0x101010 * (c + 1);
    bool unsorted = false;
    // One picture, and a list of two that share one order.
    for (std::size_t count : {1, 2}) {
        const std::vector<Picture> some = pictures(count);
        const Bytes ascending = write(some, palette, 0, 1);
        const Bytes ordered = write(some, palette, 50, 1);
        EXPECT_LE(ordered.size(), ascending.size());
        EXPECT_EQ(write(some, palette, 50, 4), ordered) << "the thread count changed the bytes";
        for (std::size_t k = 1; k < palette.size(); ++k) {
            unsorted = unsorted || u32(ordered, 20 + 4 * k) < u32(ordered, 16 + 4 * k);
        }
        for (std::size_t m = 0; m < count; ++m) {
            std::vector<std::uint32_t> want(some[m].pixels.size());
            for (std::size_t p = 0; p < want.size(); ++p) want[p] = palette[some[m].pixels[p]];
            Picture decoded;
            ASSERT_EQ(decodeTextureImage(ordered, static_cast<std::int64_t>(m), decoded).kind, TextureProblemKind::none);
            EXPECT_TRUE(std::equal(want.begin(), want.end(), decoded.pixels.begin())) << "image " << m;
            EXPECT_EQ(paintedColours(ordered, m), want) << "image " << m;
        }
    }
    EXPECT_TRUE(unsorted) << "no order other than ascending was chosen; the decoders were not put to the test";
}

// The budget is a multiple of the maker's order's work; a chunk of records
// once spent far more (a cover that did not stop at its limit: 5 % more
// here). A record may pass its share by the steps between two checks. The
// model's order costs about twice the ascending one here: effort 1 once
// spent all its budget on it, cut, and kept the ascending order; then left
// it out; now judges it on the low indices the budget affords.
// A worker's bitmaps once counted their upkeep from the task it happened to
// take before, so the work, and with it the orders judged, changed with
// the threads (chunks run in parallel from 32768 pixels).
TEST(PaletteOrder, SearchStaysWithinItsBudgetOnEveryThreadCount) {
    std::vector<std::vector<std::uint32_t>> pictures;
    for (std::uint32_t seed : {11u, 12u}) {
        pictures.push_back(test::photoLikeIndices(256, 128, 48, seed));
        for (std::size_t p = 0; p < pictures.back().size(); ++p) {
            if (p % 256 >= 64) pictures.back()[p] = 0;  // a background over three quarters
        }
    }
    for (std::size_t count : {1, 2}) {
        const std::uint32_t* images[] = {pictures[0].data(), pictures[1].data()};
        std::uint64_t one = 0;  // the work on one thread
        for (unsigned threads : {1u, 2u, 3u}) {
            PaletteOrderSearch search;
            CompressOptions options;
            options.threads = threads;
            OrderSearchOptions order;
            order.effort = 1;
            ASSERT_EQ(search.run({images, count}, pictures[0].size(), 48, options, order), MinimiseStatus::ok);
            const PaletteOrderSearch::Statistics& got = search.statistics();
            EXPECT_LE(got.work - got.makerWork, got.makerWork + got.makerWork / 50)
                << "got " << got.work - got.makerWork << " units of search, want a budget of " << got.makerWork;
            EXPECT_LT(search.recordBytes(), got.makerBytes)
                << "effort 1 bought nothing: its budget went to an order cut before its sum was known";
            // Here the model's order pays for one picture, not for the two.
            if (count == 1) {
                EXPECT_EQ(got.candidate, 3u) << "the model's order of the low indices the budget affords was not kept";
            }
            if (threads == 1) one = got.work;
            EXPECT_EQ(got.work, one) << "got " << got.work << " units on " << threads << " threads, want " << one
                                     << " as on one; " << count << " pictures";
        }
    }
}

// A chunk of records once gave each an equal share of the work it had
// left and ran a record past its share again: uneven records (a background
// and small colours) spent their first tries in vain, and an order whose
// records cost what was left was cut. Given exactly its own work, an order
// is judged, on any number of threads.
TEST(OrderEvaluator, AnOrderGivenItsOwnWorkIsNotCut) {
    std::vector<std::uint32_t> picture = test::photoLikeIndices(256, 128, 48, 11);
    for (std::size_t p = 0; p < picture.size(); ++p) {
        if (p % 256 >= 64) picture[p] = 0;
    }
    const std::uint32_t* images[] = {picture.data()};
    std::vector<std::uint32_t> order(48);
    for (std::uint32_t i = 0; i < 48; ++i) order[i] = (i + 1) % 48;  // the background last
    std::vector<fast::RecordRef> refs(48);
    auto judge = [&](unsigned threads, std::uint64_t limit, std::uint64_t& work) {
        fast::OrderEvaluator evaluator;
        EXPECT_EQ(evaluator.prepare(images, picture.size(), 48, threads, CoverLimits{}, std::uint64_t{1} << 30),
                  MinimiseStatus::ok);
        const std::uint64_t bytes = evaluator.evaluate(order, 0, 48, 0, fast::kNoSize, limit, refs.data());
        work = evaluator.work();
        return bytes;
    };
    std::uint64_t whole = 0;
    const std::uint64_t bytes = judge(1, fast::kNoSize, whole);
    ASSERT_NE(bytes, fast::kNoSize);
    for (unsigned threads : {1u, 2u, 3u}) {
        std::uint64_t work = 0;
        EXPECT_EQ(judge(threads, whole, work), bytes) << "cut on " << threads << " threads";
        EXPECT_EQ(work, whole) << "got " << work << " units on " << threads << " threads, want " << whole;
    }
}

}  // namespace
}  // namespace qm5
