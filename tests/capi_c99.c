/* A C99 program of the library's own: the header compiles as strict C99
   without a warning, and a picture goes through encode, open and decode. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qm5/qm5.h"

static int check(int ok, const char* what) {
    if (!ok) fprintf(stderr, "capi_c99: %s\n", what);
    return ok ? 0 : 1;
}

/* Encodes 3 x 2 pixels in mode, then decodes them; 0 when they come back. */
static int roundTrip(qm5_context* ctx, qm5_mode mode) {
    static const uint8_t rgba[24] = {255, 0, 0, 255, 0, 255, 0, 255, 255, 0, 0, 255,
                                     0, 0, 255, 255, 255, 0, 0, 255, 0, 255, 0, 255};
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
    failures += check(memcmp(decoded, rgba, sizeof rgba) == 0, "decoded pixels differ");
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
    failures += check(qm5_open(ctx, "qm6", 3, &texture) == QM5_ERROR_TRUNCATED, "a 3-byte texture opened");
    failures += check(strstr(qm5_last_message(ctx), "20-byte header") != NULL, qm5_last_message(ctx));
    failures += check(strcmp(qm5_version(), "1.0.0") == 0, "version");
    qm5_context_free(ctx);
    return failures == 0 ? 0 : 1;
}
