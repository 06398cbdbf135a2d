/* Writes every image of a Qm5 texture as a binary PPM file (P6):
 *   qm5_to_ppm TEXTURE [PREFIX]
 * gives PREFIX-0.ppm, PREFIX-1.ppm, ...; PREFIX is TEXTURE without a final
 * ".qm5" unless given. Needs nothing but libqm5 and the C library. */
#include <qm5/qm5.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int writePpm(const char* name, const uint8_t* rgba, int32_t width, int32_t height) {
    const size_t count = (size_t)width * (size_t)height;
    size_t p;
    int ok;
    FILE* f = fopen(name, "wb");
    if (f == NULL) return 0;
    fprintf(f, "P6\n%ld %ld\n255\n", (long)width, (long)height);
    for (p = 0; p < count; ++p) fwrite(rgba + 4 * p, 1, 3, f); /* alpha is always 255 */
    ok = !ferror(f);
    return fclose(f) == 0 && ok;
}

/* Decodes and writes every image; 0 on success. */
static int writeImages(qm5_context* ctx, qm5_texture* texture, const char* prefix) {
    qm5_info info;
    size_t size = 0;
    uint8_t* rgba;
    uint32_t i;
    char name[4096];
    int status = 0;
    qm5_get_info(texture, &info);
    if (qm5_buffer_size(texture, QM5_BUFFER_RGBA, &size) != QM5_OK) {
        fprintf(stderr, "qm5_to_ppm: %s\n", qm5_last_message(ctx));
        return 1;
    }
    rgba = malloc(size > 0 ? size : 1);
    if (rgba == NULL) {
        fprintf(stderr, "qm5_to_ppm: out of memory\n");
        return 1;
    }
    for (i = 0; i < info.image_count && status == 0; ++i) {
        snprintf(name, sizeof name, "%s-%lu.ppm", prefix, (unsigned long)i);
        if (qm5_decode_rgba(texture, i, rgba, size) != QM5_OK) {
            fprintf(stderr, "qm5_to_ppm: %s\n", qm5_last_message(ctx));
            status = 1;
        } else if (!writePpm(name, rgba, info.width, info.height)) {
            fprintf(stderr, "qm5_to_ppm: %s: cannot be written\n", name);
            status = 1;
        } else {
            printf("%s\n", name);
        }
    }
    free(rgba);
    return status;
}

int main(int argc, char** argv) {
    qm5_context* ctx = NULL;
    qm5_texture* texture = NULL;
    char prefix[4000];
    size_t length;
    int status;
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: qm5_to_ppm TEXTURE [PREFIX]\n");
        return 2;
    }
    snprintf(prefix, sizeof prefix, "%s", argc == 3 ? argv[2] : argv[1]);
    length = strlen(prefix);
    if (argc == 2 && length > 4 && strcmp(prefix + length - 4, ".qm5") == 0) prefix[length - 4] = '\0';

    if (qm5_context_new(&ctx) != QM5_OK) return 1;
    if (qm5_open_file(ctx, argv[1], &texture) != QM5_OK) {
        fprintf(stderr, "qm5_to_ppm: %s: %s\n", argv[1], qm5_last_message(ctx));
        qm5_context_free(ctx);
        return 1;
    }
    status = writeImages(ctx, texture, prefix);
    qm5_close(texture);
    qm5_context_free(ctx);
    return status;
}
