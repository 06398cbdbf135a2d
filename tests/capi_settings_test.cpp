// The C API's extensible encode settings: the effort of the best modes as
// qm5 encode --effort has it, a progress callback that can cancel, a kept
// palette order, and settings of other sizes than this library's.
#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "qm5/qm5.h"
#include "qm5/qm5.hpp"
#include "tests/synthetic_picture.hpp"
#include "tests/test_support.hpp"

namespace qm5 {
namespace {

using test::Bytes;

// 40 x 24 pixels in 12 colours whose right half is one background colour:
// a picture whose palette order search finds other orders than ascending.
struct Backdrop {
    static constexpr std::int32_t kWidth = 40;
    static constexpr std::int32_t kHeight = 24;
    std::vector<std::uint32_t> values;
    Bytes rgba;
    const std::uint8_t* pointers[1] = {};

    Backdrop() {
        const std::vector<std::uint32_t> indices = test::photoLikeIndices(kWidth, kHeight, 12, 5);
        for (std::size_t p = 0; p < indices.size(); ++p) {
            const std::uint32_t index = p % kWidth < kWidth / 2 ? indices[p] : 3;
            values.push_back(0x0B1D2Fu * (index + 1) & 0xFFFFFFu);
        }
        for (const std::uint32_t v : values)
            rgba.insert(rgba.end(), {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), 255});
        pointers[0] = rgba.data();
    }
    qm5_images images() const { return {kWidth, kHeight, 1, pointers, nullptr, nullptr, 0}; }
};

Bytes encoded(Context& context, const qm5_images& images, const qm5_encode_settings& settings) {
    auto result = context.encodeWith(images, settings);
    EXPECT_TRUE(result.ok()) << result.error().message;
    return result.ok() ? *result : Bytes{};
}

TEST(CApiSettings, EffortChangesTheBytesAsTheCommandsDoes) {
    const Backdrop picture;
    test::TempDir dir;
    test::writeFile(dir / "p.bmp", test::bmp24(Backdrop::kWidth, Backdrop::kHeight, picture.values));
    Context context;
    std::vector<Bytes> got;
    for (const unsigned effort : {0u, 50u}) {
        qm5_encode_settings settings = encodeSettings(QM5_MODE_BEST);
        settings.effort = effort;
        got.push_back(encoded(context, picture.images(), settings));
        const auto r = test::runProgram(QM5_CMD_BIN,
                                        {"encode", "p.bmp", "-o", "want.qm5", "-q", "--best", "--effort",
                                         std::to_string(effort)},
                                        dir.path());
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(got.back(), test::readFile(dir / "want.qm5")) << "effort " << effort;
    }
    EXPECT_NE(got[0], got[1]) << "the effort found no other order: the test shows nothing";
    // The defaults are those of qm5_encode's best mode, which has no effort field.
    EXPECT_EQ(encoded(context, picture.images(), encodeSettings(QM5_MODE_BEST)),
              *context.encode(picture.images(), {QM5_MODE_BEST, 0, 0}));
    qm5_encode_settings tooMuch = encodeSettings(QM5_MODE_BEST);
    tooMuch.effort = QM5_MAX_EFFORT + 1;
    EXPECT_EQ(context.encodeWith(picture.images(), tooMuch).error().status, QM5_ERROR_ARGUMENT);
}

// What the callback saw, and when it cancels.
struct Watch {
    std::vector<qm5_progress> calls;
    std::int32_t cancelAt = 0;  // the stage whose first call cancels; 0: never

    static int callback(void* data, const qm5_progress* progress) {
        Watch& watch = *static_cast<Watch*>(data);
        watch.calls.push_back(*progress);
        return progress->stage == watch.cancelAt ? 1 : 0;
    }
};

TEST(CApiSettings, ProgressReportsTheStagesAndCanCancel) {
    const Backdrop picture;
    const qm5_images images = picture.images();
    Context context;
    for (const qm5_mode mode : {QM5_MODE_COMPRESSED, QM5_MODE_BEST, QM5_MODE_AUTO_BEST}) {
        Watch watch;
        qm5_encode_settings settings = encodeSettings(mode);
        settings.progress = Watch::callback;
        settings.progress_data = &watch;
        const Bytes bytes = encoded(context, picture.images(), settings);
        EXPECT_EQ(bytes, encoded(context, picture.images(), encodeSettings(mode))) << "a callback changed the bytes";
        ASSERT_FALSE(watch.calls.empty());
        EXPECT_EQ(watch.calls.front().stage, QM5_STAGE_PALETTE);
        for (std::size_t k = 1; k < watch.calls.size(); ++k) {
            EXPECT_LE(watch.calls[k - 1].stage, watch.calls[k].stage) << "mode " << mode << ": stages out of order";
            EXPECT_LE(watch.calls[k].done, watch.calls[k].total);
        }
        EXPECT_EQ(watch.calls.back().stage, QM5_STAGE_WRITING);
        EXPECT_EQ(watch.calls.back().done, watch.calls.back().total);

        // Cancelled at the start and in the middle: nothing in memory, the old file kept.
        for (const std::int32_t stage : {QM5_STAGE_PALETTE, QM5_STAGE_COMPRESSING}) {
            test::TempDir dir;
            const std::string path = (dir / "old.qm5").string();
            test::writeText(dir / "old.qm5", "old");
            Watch cancel;
            cancel.cancelAt = stage;
            settings.progress_data = &cancel;
            void* data = reinterpret_cast<void*>(1);
            std::size_t size = 1;
            EXPECT_EQ(qm5_encode_with(context.get(), &images, &settings, &data, &size), QM5_ERROR_CANCELLED)
                << "mode " << mode << ", stage " << stage;
            EXPECT_EQ(data, nullptr);
            EXPECT_EQ(size, 0u);
            EXPECT_EQ(qm5_encode_file_with(context.get(), &images, &settings, path.c_str()),
                      QM5_ERROR_CANCELLED);
            EXPECT_EQ(test::readFile(dir / "old.qm5"), Bytes({'o', 'l', 'd'}));
            EXPECT_EQ(cancel.calls.back().stage, stage) << "the encode went on after the cancel";
            std::vector<std::string> left;
            for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
                left.push_back(entry.path().filename().string());
            }
            EXPECT_EQ(left, std::vector<std::string>{"old.qm5"}) << "a temporary was left";
        }
    }
}

TEST(CApiSettings, AKeptPaletteOrderKeepsTheIndicesAndDecodesToThePixels) {
    // Five colours in no order, entry 2 unused and transparent.
    const std::uint8_t palette[] = {200, 10, 10, 255, 10, 200, 10, 255, 0, 0, 0, 0, 5, 5, 5, 255, 250, 250, 0, 255};
    std::vector<std::uint16_t> indices;
    for (const std::uint32_t v : test::photoLikeIndices(16, 12, 4, 3)) indices.push_back(v == 2 ? 4 : std::uint16_t(v));
    const std::uint16_t* pointers[] = {indices.data()};
    const qm5_images images = {16, 12, 1, nullptr, pointers, palette, 5};
    Context context;
    for (const qm5_mode mode : {QM5_MODE_PLAIN, QM5_MODE_COMPRESSED, QM5_MODE_BEST, QM5_MODE_AUTO_BEST}) {
        qm5_encode_settings settings = encodeSettings(mode);
        settings.flags = QM5_KEEP_PALETTE_ORDER;
        auto texture = context.open(encoded(context, images, settings));
        ASSERT_TRUE(texture.ok()) << texture.error().message;
        auto kept = texture->palette();
        auto got = texture->indices(0);
        auto rgba = texture->rgba(0);
        ASSERT_TRUE(kept.ok() && got.ok() && rgba.ok());
        Bytes want(palette, palette + sizeof palette);
        want[11] = 255;  // a texture's colours are opaque
        EXPECT_EQ(*kept, want) << "mode " << mode;
        EXPECT_EQ(*got, indices) << "mode " << mode;
        for (std::size_t p = 0; p < indices.size(); ++p) {
            ASSERT_EQ(Bytes(rgba->begin() + 4 * p, rgba->begin() + 4 * p + 4),
                      Bytes(palette + 4 * indices[p], palette + 4 * indices[p] + 4))
                << "mode " << mode << ", pixel " << p;
        }
    }
    // Only indices have an order to keep.
    const Backdrop picture;
    qm5_encode_settings keep = encodeSettings();
    keep.flags = QM5_KEEP_PALETTE_ORDER;
    EXPECT_EQ(context.encodeWith(picture.images(), keep).error().status, QM5_ERROR_ARGUMENT);
}

TEST(CApiSettings, SettingsOfOtherSizesTakeDefaultsOrAreRefused) {
    const Backdrop picture;
    const qm5_images images = picture.images();
    Context context;
    const Bytes best = encoded(context, picture.images(), encodeSettings(QM5_MODE_BEST));
    // A program that knew the fields up to flags: the effort takes its default.
    qm5_encode_settings older = encodeSettings(QM5_MODE_BEST);
    older.size = offsetof(qm5_encode_settings, effort);
    older.effort = 0;
    EXPECT_EQ(encoded(context, picture.images(), older), best);
    // A program that knows a field more: 0 there is as before, anything else refused.
    struct Newer {
        qm5_encode_settings known;
        std::uint64_t later;
    } newer = {encodeSettings(QM5_MODE_BEST), 0};
    newer.known.size = sizeof newer;
    EXPECT_EQ(encoded(context, picture.images(), newer.known), best);
    newer.later = 1;
    void* data = nullptr;
    std::size_t size = 0;
    EXPECT_EQ(qm5_encode_with(context.get(), &images, &newer.known, &data, &size), QM5_ERROR_ARGUMENT);
    EXPECT_NE(std::string(qm5_last_message(context.get())).find("past the"), std::string::npos);
    // Settings NULL: the defaults.
    EXPECT_EQ(qm5_encode_with(context.get(), &images, nullptr, &data, &size), QM5_OK);
    EXPECT_EQ(Bytes(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size),
              encoded(context, picture.images(), encodeSettings()));
    qm5_free(data);
}

}  // namespace
}  // namespace qm5
