/* A C99 program of the library's own: the header compiles as strict C99
   without a warning, a picture goes through encode, open and decode, and
   enums out of their range (which C lets any int into) are refused as
   arguments: under UndefinedBehaviorSanitizer, a load of one as a C++ enum
   would stop this program. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qm5/qm5.h"

static int check(int ok, const char* what) {
    if (!ok) fprintf(stderr, "capi_c99: %s\n", what);
    return ok ? 0 : 1;
}

static const uint8_t kPixels[24] = {255, 0, 0, 255, 0, 255, 0, 255, 255, 0, 0, 255,
                                    0, 0, 255, 255, 255, 0, 0, 255, 0, 255, 0, 255};

/* Encodes 3 x 2 pixels in mode, then decodes them; 0 when they come back. */
static int roundTrip(qm5_context* ctx, qm5_mode mode) {
    const uint8_t* rgba = kPixels;
    const uint8_t* pixels[1];
    qm5_images images;
    qm5_encode_options options;
    qm5_texture* texture = NULL;
    qm5_info info;
    uint8_t decoded[24];
    void* data = NULL;
    size_t size = 0;
    int failures = 0;

    pixels[0] = rgba;
    memset(&images, 0, sizeof images);
    images.width = 3;
    images.height = 2;
    images.count = 1;
    images.rgba = pixels;
    memset(&options, 0, sizeof options);
    options.mode = mode;
    failures += check(qm5_encode(ctx, &images, &options, &data, &size) == QM5_OK, qm5_last_message(ctx));
    failures += check(qm5_open(ctx, data, size, &texture) == QM5_OK, qm5_last_message(ctx));
    qm5_free(data);
    if (texture == NULL) return failures + 1;
    failures += check(qm5_get_info(texture, &info) == QM5_OK && info.width == 3 && info.colour_count == 3, "info");
    failures += check(qm5_decode_rgba(texture, 0, decoded, sizeof decoded) == QM5_OK, qm5_last_message(ctx));
    failures += check(memcmp(decoded, rgba, sizeof decoded) == 0, "decoded pixels differ");
    qm5_close(texture);
    return failures;
}

/* Every enum the library takes, given out of range. */
static int outOfRangeEnums(qm5_context* ctx) {
    const uint8_t* pixels[1];
    qm5_images images;
    qm5_encode_options options;
    qm5_encode_settings settings = QM5_ENCODE_SETTINGS_INIT;
    qm5_texture* texture = NULL;
    void* data = NULL;
    size_t size = 0;
    int failures = 0;

    pixels[0] = kPixels;
    memset(&images, 0, sizeof images);
    images.width = 3;
    images.height = 2;
    images.count = 1;
    images.rgba = pixels;
    memset(&options, 0, sizeof options);
    options.mode = (qm5_mode)-1;
    failures += check(qm5_encode(ctx, &images, &options, &data, &size) == QM5_ERROR_ARGUMENT, "mode -1");
    options.mode = (qm5_mode)5;
    failures += check(qm5_encode(ctx, &images, &options, &data, &size) == QM5_ERROR_ARGUMENT, "mode 5");
    settings.mode = -1;
    failures += check(qm5_encode_with(ctx, &images, &settings, &data, &size) == QM5_ERROR_ARGUMENT, "settings mode -1");
    failures += check(qm5_set_limit(ctx, (qm5_limit)-1, 1) == QM5_ERROR_ARGUMENT, "limit -1");
    failures += check(qm5_get_limit(ctx, (qm5_limit)99) == 0, "limit 99");
    failures += check(strcmp(qm5_status_text((qm5_status)-7), "unknown status") == 0, "status -7");
    settings.mode = QM5_MODE_PLAIN;
    failures += check(qm5_encode_with(ctx, &images, &settings, &data, &size) == QM5_OK, qm5_last_message(ctx));
    failures += check(qm5_open(ctx, data, size, &texture) == QM5_OK, qm5_last_message(ctx));
    qm5_free(data);
    if (texture == NULL) return failures + 1;
    failures += check(qm5_buffer_size(texture, (qm5_buffer)-1, &size) == QM5_ERROR_ARGUMENT, "buffer -1");
    qm5_close(texture);
    return failures;
}

int main(void) {
    qm5_context* ctx = NULL;
    qm5_texture* texture = NULL;
    int failures = 0;
    if (qm5_context_new(&ctx) != QM5_OK) return 1;
    failures += roundTrip(ctx, QM5_MODE_PLAIN);
    failures += roundTrip(ctx, QM5_MODE_COMPRESSED);
    failures += outOfRangeEnums(ctx);
    failures += check(qm5_open(ctx, "qm6", 3, &texture) == QM5_ERROR_TRUNCATED, "a 3-byte texture opened");
    failures += check(strstr(qm5_last_message(ctx), "20-byte header") != NULL, qm5_last_message(ctx));
    failures += check(strcmp(qm5_version(), "1.0.0") == 0, "version");
    qm5_context_free(ctx);
    return failures == 0 ? 0 : 1;
}
