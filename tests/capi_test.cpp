// The C library through its public headers, linked as a program links it:
// textures byte for byte those of the qm5 command in every mode, decoding
// back to the pictures, every refusal with its status, message and place,
// and distinct contexts on distinct threads.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "qm5/qm5.h"
#include "qm5/qm5.hpp"
#include "tests/synthetic_picture.hpp"
#include "tests/test_support.hpp"
#include "tests/texture_builder.hpp"

namespace qm5 {
namespace {

using test::Bytes;

// Pictures as the library takes them (RGBA8) and as the test BMPs hold them
// (values with red in bits 0..7).
struct Pictures {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::vector<std::uint32_t>> values;
    std::vector<Bytes> rgba;
    std::vector<const std::uint8_t*> pointers;

    // count pictures of noise over the same `colours` colours.
    Pictures(std::int32_t w, std::int32_t h, std::uint32_t colours, std::uint32_t count) : width(w), height(h) {
        for (std::uint32_t i = 0; i < count; ++i) {
            values.push_back(
                test::noiseIndices(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), colours, 7 + i));
            for (std::uint32_t& v : values.back()) v = (v * 0x3F1D47u + 0x123456u) & 0xFFFFFFu;
            Bytes bytes;
            for (const std::uint32_t v : values.back())
                bytes.insert(bytes.end(), {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), 255});
            rgba.push_back(bytes);
        }
        for (const Bytes& b : rgba) pointers.push_back(b.data());
    }
    qm5_images images() const {
        return {width, height, static_cast<std::uint32_t>(rgba.size()), pointers.data(), nullptr, nullptr, 0};
    }
    // The pictures as BMP files and, for more than one, a list naming them; the path qm5 encode takes.
    std::string writeFor(const test::TempDir& dir) const {
        std::string list = std::to_string(values.size()) + "\n";
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::string name = "p" + std::to_string(i) + ".bmp";
            test::writeFile(dir / name, test::bmp24(width, height, values[i]));
            list += name + " 0\n";
        }
        if (values.size() == 1) return (dir / "p0.bmp").string();
        test::writeText(dir / "pictures.lst", list);
        return (dir / "pictures.lst").string();
    }
};

Bytes encoded(Context& context, const qm5_images& images, qm5_mode mode, std::uint32_t flags = 0) {
    auto result = context.encode(images, {mode, 0, flags});
    EXPECT_TRUE(result.ok()) << result.error().message;
    return result.ok() ? *result : Bytes{};
}

// The status of opening bytes, with the message and place it leaves.
struct Refusal {
    qm5_status status;
    std::string message;
    qm5_place place;
};

// Reading the caller's bytes in place refuses them the same way.
Refusal openRefusal(qm5_context* ctx, const Bytes& bytes) {
    qm5_texture* texture = nullptr;
    const qm5_status borrowed = qm5_open_borrowed(ctx, bytes.data(), bytes.size(), &texture);
    EXPECT_EQ(texture, nullptr);
    const std::string borrowedMessage = qm5_last_message(ctx);
    const qm5_status status = qm5_open(ctx, bytes.data(), bytes.size(), &texture);
    EXPECT_EQ(texture, nullptr);
    qm5_close(texture);
    EXPECT_EQ(borrowed, status);
    EXPECT_EQ(borrowedMessage, qm5_last_message(ctx));
    return {status, qm5_last_message(ctx), qm5_last_place(ctx)};
}

TEST(CApi, EveryModeWritesTheCommandsBytesAndDecodesToThePictures) {
    const Pictures pictures(16, 8, 5, 2);
    test::TempDir dir;
    const std::string input = pictures.writeFor(dir);
    const struct {
        qm5_mode mode;
        std::vector<std::string> flags;
    } modes[] = {{QM5_MODE_PLAIN, {}},
                 {QM5_MODE_COMPRESSED, {"-c"}},
                 {QM5_MODE_BEST, {"--best"}},
                 {QM5_MODE_AUTO, {"--auto"}},
                 {QM5_MODE_AUTO_BEST, {"--auto", "--best"}}};
    Context context;
    for (const auto& m : modes) {
        std::vector<std::string> args = {"encode", input, "-o", "want.qm5", "-q"};
        args.insert(args.end(), m.flags.begin(), m.flags.end());
        ASSERT_EQ(test::runProgram(QM5_CMD_BIN, args, dir.path()).exitCode, 0);
        const Bytes got = encoded(context, pictures.images(), m.mode);
        ASSERT_EQ(got, test::readFile(dir / "want.qm5")) << "mode " << m.mode;

        auto texture = context.open(got);
        ASSERT_TRUE(texture.ok()) << texture.error().message;
        const qm5_info& info = texture->info();
        EXPECT_EQ(info.version, 100);
        EXPECT_EQ(info.width, 16);
        EXPECT_EQ(info.height, 8);
        EXPECT_EQ(info.colour_count, 5);
        EXPECT_EQ(info.mipmap_levels, 3);
        EXPECT_EQ(info.image_count, 2u);
        std::uint64_t next = 20 + 4 * 5;  // the images follow the palette, one after another
        for (std::uint32_t i = 0; i < 2; ++i) {
            auto image = texture->image(i);
            ASSERT_TRUE(image.ok());
            EXPECT_EQ(image->compressed, info.compressed);
            EXPECT_EQ(image->offset, next);
            next += image->size;
            auto rgba = texture->rgba(i);
            ASSERT_TRUE(rgba.ok()) << rgba.error().message;
            EXPECT_EQ(*rgba, pictures.rgba[i]) << "mode " << m.mode << ", image " << i;
        }
        EXPECT_EQ(next, got.size());
        // Read in place, the same pixels.
        auto borrowed = context.openBorrowed(got);
        ASSERT_TRUE(borrowed.ok()) << borrowed.error().message;
        auto rgba = borrowed->rgba(1);
        ASSERT_TRUE(rgba.ok()) << rgba.error().message;
        EXPECT_EQ(*rgba, pictures.rgba[1]) << "mode " << m.mode;
    }
    // Into a file, the same bytes.
    const qm5_images images = pictures.images();
    ASSERT_EQ(qm5_encode_file(context.get(), &images, nullptr, (dir / "lib.qm5").string().c_str()), QM5_OK);
    EXPECT_EQ(test::readFile(dir / "lib.qm5"), encoded(context, images, QM5_MODE_PLAIN));
}

// Indices into a palette with repeated, unused and transparent-but-unused
// entries give the texture of the colours they stand for; decoded indices
// point at those colours in the texture's palette.
TEST(CApi, IndexedPicturesGiveTheTextureOfTheirColours) {
    const Pictures pictures(8, 8, 4, 1);
    Bytes palette;
    std::vector<std::uint16_t> indices;
    for (const std::uint32_t v : pictures.values[0]) {
        indices.push_back(static_cast<std::uint16_t>(palette.size() / 4 + 1));  // each pixel its own entry
        palette.insert(palette.end(), {0, 0, 0, 0});                            // unused and transparent
        palette.insert(palette.end(), {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), 255});
    }
    const std::uint16_t* pointers[] = {indices.data()};
    const qm5_images images = {
        8, 8, 1, nullptr, pointers, palette.data(), static_cast<std::uint32_t>(palette.size() / 4)};
    Context context;
    const Bytes texture = encoded(context, images, QM5_MODE_COMPRESSED);
    EXPECT_EQ(texture, encoded(context, pictures.images(), QM5_MODE_COMPRESSED));

    auto opened = context.open(texture);
    ASSERT_TRUE(opened.ok());
    auto decoded = opened->indices(0);
    auto colours = opened->palette();
    ASSERT_TRUE(decoded.ok() && colours.ok());
    ASSERT_EQ(colours->size(), 4u * 4u);
    for (std::size_t p = 0; p < decoded->size(); ++p) {
        const std::uint16_t k = (*decoded)[p];
        ASSERT_LT(k, 4u);
        EXPECT_EQ(Bytes(colours->begin() + 4 * k, colours->begin() + 4 * k + 4),
                  Bytes(pictures.rgba[0].begin() + 4 * p, pictures.rgba[0].begin() + 4 * p + 4))
            << "pixel " << p;
    }
}

TEST(CApi, BadTexturesAreRefusedWithTheirPlace) {
    using test::TextureBytes;
    Bytes cutRecord = TextureBytes(2, 1, 2, 2).u32(0xFF).u32(0xFF00).hex("00 01 02").bytes;
    Bytes wideB = TextureBytes(2, 1, 2, 2).u32(0xFF).u32(0xFF00).hex("00 01 1F C3 80 00 00").bytes;
    Bytes badIndex = TextureBytes(2, 0, 2, 1).u32(0xFF).u32(0xFF00).hex("01 02").bytes;
    Bytes secondMissing = TextureBytes(2, 0, 2, 1, 2).u32(0xFF).u32(0xFF00).hex("01 00 01").bytes;
    Bytes badMagic = TextureBytes(1, 0, 1, 1).u32(0).u8(0).bytes;
    badMagic[0] = 'Q';
    const struct {
        const char* name;
        Bytes bytes;
        qm5_status status;
        const char* message;
        qm5_place place;
    } cases[] = {
        {"header cut", Bytes(19, 0), QM5_ERROR_TRUNCATED, "inside the 20-byte header", {-1, -1, 0}},
        {"magic", badMagic, QM5_ERROR_NOT_TEXTURE, "does not start with q, m, 5", {-1, -1, 0}},
        {"negative width",
         TextureBytes(1, 0, 0x8000, 1).u32(0).u8(0).bytes,
         QM5_ERROR_MALFORMED,
         "width -32768",
         {-1, -1, 14}},
        {"palette cut",
         TextureBytes(2, 0, 1, 1).u32(0).bytes,
         QM5_ERROR_TRUNCATED,
         "palette of 2 colours",
         {-1, -1, 20}},
        {"record cut", cutRecord, QM5_ERROR_TRUNCATED, "record 0 of image 0 runs past", {0, 0, 28}},
        {"b above 30", wideB, QM5_ERROR_MALFORMED, "b = 31", {0, 0, 30}},
        {"index past the palette", badIndex, QM5_ERROR_MALFORMED, "has index 2, want below 2", {0, -1, 29}},
        {"second image missing", secondMissing, QM5_ERROR_TRUNCATED, "image 1 runs past", {1, -1, 30}},
    };
    Context context;
    test::TempDir dir;
    for (const auto& c : cases) {
        const Refusal r = openRefusal(context.get(), c.bytes);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_NE(r.message.find(c.message), std::string::npos) << c.name << ": got \"" << r.message << "\"";
        EXPECT_EQ(r.place.image, c.place.image) << c.name;
        EXPECT_EQ(r.place.record, c.place.record) << c.name;
        EXPECT_EQ(r.place.offset, c.place.offset) << c.name;
        // One fault, one text: the command's decoder says what the library's inspection says.
        test::writeFile(dir / "t.qm5", c.bytes);
        const auto decoded = test::runProgram(QM5_CMD_BIN, {"decode", "t.qm5", "--all"}, dir.path());
        EXPECT_EQ(decoded.err, "qm5: t.qm5: " + r.message + "\n") << c.name;
    }
    // What a texture may hold that a decoder reads past opens: no images,
    // bytes after the last one.
    qm5_texture* texture = nullptr;
    Bytes trailing = TextureBytes(1, 0, 1, 1, 0).u32(0).u8(9).bytes;
    EXPECT_EQ(qm5_open(context.get(), trailing.data(), trailing.size(), &texture), QM5_OK);
    qm5_close(texture);
}

TEST(CApi, CallerMistakesAreArgumentErrors) {
    Context context;
    qm5_context* ctx = context.get();
    const Pictures pictures(4, 2, 3, 1);
    const Bytes bytes = encoded(context, pictures.images(), QM5_MODE_PLAIN);
    auto texture = context.open(bytes);
    ASSERT_TRUE(texture.ok());
    qm5_texture* t = texture->get();
    std::vector<std::uint8_t> rgba(32);
    void* data = nullptr;
    std::size_t size = 0;
    qm5_images images = pictures.images();
    const qm5_encode_options badMode = {static_cast<qm5_mode>(5), 0, 0}, badFlags = {QM5_MODE_PLAIN, 0, 2};

    EXPECT_EQ(qm5_context_new(nullptr), QM5_ERROR_ARGUMENT);
    qm5_texture* other = nullptr;
    EXPECT_EQ(qm5_open(nullptr, bytes.data(), bytes.size(), &other), QM5_ERROR_ARGUMENT);
    EXPECT_EQ(qm5_open(ctx, nullptr, 5, &other), QM5_ERROR_ARGUMENT);
    EXPECT_EQ(qm5_open_file(ctx, nullptr, &other), QM5_ERROR_ARGUMENT);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(qm5_set_limit(ctx, static_cast<qm5_limit>(9), 1), QM5_ERROR_ARGUMENT);
    EXPECT_EQ(qm5_decode_rgba(t, 1, rgba.data(), rgba.size()), QM5_ERROR_ARGUMENT);
    EXPECT_EQ(qm5_last_place(ctx).image, 1);
    EXPECT_EQ(qm5_decode_rgba(t, 0, nullptr, rgba.size()), QM5_ERROR_ARGUMENT);
    EXPECT_EQ(qm5_decode_rgba(t, 0, rgba.data(), rgba.size() - 1), QM5_ERROR_BUFFER_SIZE);
    EXPECT_STREQ(qm5_last_message(ctx), "the buffer holds 31 bytes, 32 are needed");
    EXPECT_EQ(qm5_buffer_size(t, static_cast<qm5_buffer>(3), &size), QM5_ERROR_ARGUMENT);
    EXPECT_EQ(qm5_encode(ctx, &images, &badMode, &data, &size), QM5_ERROR_ARGUMENT);
    EXPECT_EQ(qm5_encode(ctx, &images, &badFlags, &data, &size), QM5_ERROR_ARGUMENT);
    EXPECT_EQ(qm5_encode(ctx, &images, nullptr, nullptr, &size), QM5_ERROR_ARGUMENT);
    EXPECT_EQ(qm5_encode_file(ctx, &images, nullptr, ""), QM5_ERROR_ARGUMENT);
    for (auto change :
         std::vector<void (*)(qm5_images&)>{[](qm5_images& i) { i.width = 0; }, [](qm5_images& i) { i.height = 32768; },
                                            [](qm5_images& i) { i.count = 0; }, [](qm5_images& i) { i.count = 65536; },
                                            [](qm5_images& i) { i.rgba = nullptr; }}) {
        qm5_images bad = pictures.images();
        change(bad);
        EXPECT_EQ(qm5_encode(ctx, &bad, nullptr, &data, &size), QM5_ERROR_ARGUMENT) << qm5_last_message(ctx);
    }
    const std::uint8_t* missing[] = {nullptr};
    images.rgba = missing;
    EXPECT_EQ(qm5_encode(ctx, &images, nullptr, &data, &size), QM5_ERROR_ARGUMENT);
    const std::uint16_t indices[8] = {0, 1, 0, 1, 0, 1, 0, 2};
    const std::uint16_t* indexed[] = {indices};
    const std::uint8_t palette[8] = {1, 2, 3, 255, 4, 5, 6, 255};
    images = {4, 2, 1, nullptr, indexed, palette, 2};
    EXPECT_EQ(qm5_encode(ctx, &images, nullptr, &data, &size), QM5_ERROR_ARGUMENT);
    EXPECT_STREQ(qm5_last_message(ctx), "pixel (3, 1) of image 0 has index 2, past the palette of 2 colours");
    EXPECT_EQ(qm5_last_place(ctx).offset, 14);
    EXPECT_EQ(data, nullptr);
    // A call that succeeds clears the last failure.
    EXPECT_EQ(qm5_decode_rgba(t, 0, rgba.data(), rgba.size()), QM5_OK);
    EXPECT_EQ(qm5_last_status(ctx), QM5_OK);
    EXPECT_STREQ(qm5_last_message(ctx), "");
}

TEST(CApi, EncodeRefusesWhatATextureCannotHold) {
    Context context;
    qm5_context* ctx = context.get();
    void* data = nullptr;
    std::size_t size = 0;

    Pictures pictures(4, 2, 3, 2);
    pictures.rgba[1][4 * 5 + 3] = 254;
    qm5_images images = pictures.images();
    EXPECT_EQ(qm5_encode(ctx, &images, nullptr, &data, &size), QM5_ERROR_TRANSPARENT);
    EXPECT_STREQ(qm5_last_message(ctx),
                 "pixel (1, 1) of image 1 has alpha 254; encode with QM5_MATTE to composite it onto a colour or "
                 "QM5_IGNORE_ALPHA to drop it");
    EXPECT_EQ(qm5_last_place(ctx).image, 1);
    EXPECT_EQ(qm5_last_place(ctx).offset, 20);
    pictures.rgba[1][4 * 5 + 3] = 255;
    const Bytes opaque = encoded(context, pictures.images(), QM5_MODE_PLAIN);
    pictures.rgba[1][4 * 5 + 3] = 0;
    EXPECT_EQ(encoded(context, pictures.images(), QM5_MODE_PLAIN, QM5_IGNORE_ALPHA), opaque);

    // 32768 colours, one per pixel.
    Bytes many;
    for (std::uint32_t v = 0; v < 32768; ++v) many.insert(many.end(), {std::uint8_t(v), std::uint8_t(v >> 8), 0, 255});
    const std::uint8_t* manyPointers[] = {many.data()};
    images = {256, 128, 1, manyPointers, nullptr, nullptr, 0};
    EXPECT_EQ(qm5_encode(ctx, &images, nullptr, &data, &size), QM5_ERROR_TOO_MANY_COLOURS);

    // Two colours in noise: one colour's record passes 65535 bytes; --auto writes plain.
    const Pictures noise(256, 256, 2, 1);
    images = noise.images();
    const qm5_encode_options compressed = {QM5_MODE_COMPRESSED, 0, 0};
    EXPECT_EQ(qm5_encode(ctx, &images, &compressed, &data, &size), QM5_ERROR_RECORD_TOO_LONG);
    EXPECT_EQ(qm5_last_place(ctx).image, 0);
    EXPECT_GE(qm5_last_place(ctx).record, 0);
    EXPECT_EQ(encoded(context, noise.images(), QM5_MODE_AUTO), encoded(context, noise.images(), QM5_MODE_PLAIN));

    // Files: none to open, none to create; a refused encode leaves the old file.
    test::TempDir dir;
    qm5_texture* texture = nullptr;
    EXPECT_EQ(qm5_open_file(ctx, (dir / "none.qm5").string().c_str(), &texture), QM5_ERROR_IO);
    EXPECT_NE(std::string(qm5_last_message(ctx)).find("cannot be opened"), std::string::npos);
    EXPECT_EQ(qm5_encode_file(ctx, &images, nullptr, dir.path().string().c_str()), QM5_ERROR_IO);
    test::writeText(dir / "old.qm5", "old");
    EXPECT_EQ(qm5_encode_file(ctx, &images, &compressed, (dir / "old.qm5").string().c_str()),
              QM5_ERROR_RECORD_TOO_LONG);
    EXPECT_EQ(test::readFile(dir / "old.qm5"), Bytes({'o', 'l', 'd'}));
}

TEST(CApi, LimitsBoundEveryCall) {
    Context context;
    qm5_context* ctx = context.get();
    EXPECT_EQ(qm5_get_limit(ctx, QM5_LIMIT_PIXELS), 8192u * 8192u);
    EXPECT_EQ(qm5_get_limit(ctx, QM5_LIMIT_MEMORY), 1800u << 20);
    const Pictures pictures(64, 64, 40, 1);
    const qm5_images images = pictures.images();
    const Bytes texture = encoded(context, images, QM5_MODE_PLAIN);
    auto opened = context.open(texture);
    ASSERT_TRUE(opened.ok());
    void* data = nullptr;
    std::size_t size = 0;

    context.setLimit(QM5_LIMIT_PIXELS, 4095);
    EXPECT_EQ(opened->rgba(0).error().status, QM5_ERROR_LIMIT);
    EXPECT_EQ(qm5_encode(ctx, &images, nullptr, &data, &size), QM5_ERROR_LIMIT);
    context.setLimit(QM5_LIMIT_PIXELS, 0);
    EXPECT_TRUE(opened->rgba(0).ok());

    context.setLimit(QM5_LIMIT_MEMORY, 64 << 10);
    const qm5_encode_options compressed = {QM5_MODE_COMPRESSED, 0, 0};
    EXPECT_EQ(qm5_encode(ctx, &images, &compressed, &data, &size), QM5_ERROR_LIMIT);
    EXPECT_EQ(encoded(context, images, QM5_MODE_AUTO), texture) << "too large to compress: plain";
    context.setLimit(QM5_LIMIT_MEMORY, texture.size() - 1);
    EXPECT_EQ(context.open(texture).error().status, QM5_ERROR_LIMIT);
}

// 65535 images of one pixel, image i of colour i % 4 (a whole record at
// that index, the others empty). Each image decodes from the offset the
// open found, at the cost of that image alone: walking the images before
// it made the whole list take minutes.
TEST(CApi, EveryImageOfTheLongestListDecodesFromItsOffset) {
    constexpr std::uint32_t kImages = 65535;
    test::TextureBytes t(4, 1, 1, 1, kImages);
    for (std::uint32_t c = 0; c < 4; ++c) t.u32(0x10u * (c + 1));
    for (std::uint32_t i = 0; i < kImages; ++i) {
        for (std::uint32_t c = 0; c < 4; ++c) t.hex(c == i % 4 ? "80 00 00" : "00 00 00");
    }
    Context context;
    auto opened = context.open(t.bytes);
    ASSERT_TRUE(opened.ok()) << opened.error().message;
    for (std::uint32_t i = 0; i < kImages; ++i) {
        auto rgba = opened->rgba(i);
        ASSERT_TRUE(rgba.ok()) << i << ": " << rgba.error().message;
        ASSERT_EQ((*rgba)[0], 0x10u * (i % 4 + 1)) << "image " << i;
    }
    EXPECT_EQ(opened->image(kImages - 1)->offset, 20u + 16u + 12u * (kImages - 1));
}

// Each thread its own context, the texture of the other's pictures.
TEST(CApi, DistinctContextsRunInParallel) {
    const Pictures pictures(32, 32, 12, 1);
    Context reference;
    const Bytes want = encoded(reference, pictures.images(), QM5_MODE_COMPRESSED);
    bool same[2] = {false, false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            Context context;
            bool all = true;
            for (int round = 0; round < 8 && all; ++round) {
                auto bytes = context.encode(pictures.images(), {QM5_MODE_COMPRESSED, 1, 0});
                if (!bytes.ok() || *bytes != want) all = false;
                auto texture = context.open(want);
                if (!texture.ok())
                    all = false;
                else if (auto rgba = texture->rgba(0); !rgba.ok() || *rgba != pictures.rgba[0])
                    all = false;
            }
            same[t] = all;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_TRUE(same[0] && same[1]);
}

}  // namespace
}  // namespace qm5
