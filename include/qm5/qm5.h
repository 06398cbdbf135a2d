/*
 * Qm5: palettised textures (.qm5) for C and C++ programs.
 *
 * A texture holds one or more images of equal size that share one palette
 * of at most 32767 opaque colours, each image stored as plain palette indices
 * or compressed colour by colour. This library opens textures from memory or
 * a file, tells what they hold, decodes any image into memory the caller
 * provides, and encodes pictures into textures with the modes of the
 * `qm5 encode` command, byte for byte as that command writes them.
 *
 *   qm5_context* ctx;  qm5_texture* tex;  qm5_info info;
 *   if (qm5_context_new(&ctx) != QM5_OK) return;
 *   if (qm5_open_file(ctx, "wall.qm5", &tex) == QM5_OK) {
 *       qm5_get_info(tex, &info);
 *       size_t size;  qm5_buffer_size(tex, QM5_BUFFER_RGBA, &size);
 *       uint8_t* rgba = malloc(size);
 *       if (rgba && qm5_decode_rgba(tex, 0, rgba, size) == QM5_OK) { ... }
 *       free(rgba);  qm5_close(tex);
 *   } else {
 *       fprintf(stderr, "wall.qm5: %s\n", qm5_last_message(ctx));
 *   }
 *   qm5_context_free(ctx);
 *
 * Conventions
 * - Pixels are RGBA8: 4 bytes per pixel, red, green, blue, alpha, rows from
 *   top to bottom, no padding. Decoded pixels always have alpha 255.
 * - Every function that can fail returns a qm5_status. The context records
 *   the outcome of the last call made with it or with one of its textures:
 *   qm5_last_message() and qm5_last_place() say what went wrong and where.
 * - Threads: distinct contexts (and their textures) may be used at the same
 *   time from different threads; one context and its textures must be used
 *   by one thread at a time. The library keeps no global state.
 * - Memory: the library allocates with the C library's malloc and the C++
 *   runtime; there is no caller-supplied allocator. Buffers it hands out
 *   (qm5_encode) are released with qm5_free(). Decoding writes into the
 *   caller's buffers; a compressed image takes working memory of 1 or 2
 *   bytes per pixel (colour counts up to 256 and above) and 2 bits more.
 * - Limits bound what a call may take (pixels, painting work, memory); their
 *   defaults are those of the qm5 command.
 * - No call prints anything, reads standard input or ends the program.
 * - Every enum a function takes is checked as the integer it holds: a value
 *   outside its list is QM5_ERROR_ARGUMENT, never undefined behaviour.
 * - Colour reduction (qm5 encode --quality, --colors): pictures of any
 *   number of colours become a texture of at most 32767, chosen for the
 *   smallest texture at the quality asked; the same bytes on every machine.
 */
#ifndef QM5_QM5_H
#define QM5_QM5_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(QM5_BUILDING_DLL)
#define QM5_API __declspec(dllexport)
#elif defined(_WIN32) && defined(QM5_DLL)
#define QM5_API __declspec(dllimport)
#elif defined(__GNUC__)
#define QM5_API __attribute__((visibility("default")))
#else
#define QM5_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define QM5_VERSION_MAJOR 1
#define QM5_VERSION_MINOR 0
#define QM5_VERSION_PATCH 0

/* The library's version, "1.0.0". */
QM5_API const char* qm5_version(void);

/* Outcomes. The values are fixed; new codes may be added after the last. */
typedef enum qm5_status {
    QM5_OK = 0,
    QM5_ERROR_ARGUMENT = 1,         /* a null pointer, a size, count, index, mode or flag out of range */
    QM5_ERROR_BUFFER_SIZE = 2,      /* the caller's buffer is smaller than qm5_buffer_size() says */
    QM5_ERROR_IO = 3,               /* a file cannot be opened, read, created or written */
    QM5_ERROR_NOT_TEXTURE = 4,      /* not a Qm5 texture, or a version other than 100 */
    QM5_ERROR_TRUNCATED = 5,        /* the texture ends before the data it announces */
    QM5_ERROR_MALFORMED = 6,        /* a negative size or count, a bad record, an index past the palette */
    QM5_ERROR_LIMIT = 7,            /* the work is above a limit, or above what size_t can address */
    QM5_ERROR_OUT_OF_MEMORY = 8,
    QM5_ERROR_TRANSPARENT = 9,      /* a pixel to encode is not fully opaque */
    QM5_ERROR_TOO_MANY_COLOURS = 10, /* the pictures hold more than 32767 colours */
    QM5_ERROR_RECORD_TOO_LONG = 11, /* a compressed colour would need more than 65535 bytes */
    QM5_ERROR_CANCELLED = 12,       /* the progress callback asked to stop; nothing was written */
    QM5_ERROR_QUALITY = 13          /* no colour reduction reaches the quality asked (within max_colours) */
} qm5_status;

/* A short fixed text for a status, e.g. "the texture is truncated". */
QM5_API const char* qm5_status_text(qm5_status status);

/* ---- Contexts -------------------------------------------------------- */

typedef struct qm5_context qm5_context;

QM5_API qm5_status qm5_context_new(qm5_context** out);
/* Textures opened with the context must be closed first. NULL is ignored. */
QM5_API void qm5_context_free(qm5_context* ctx);

typedef enum qm5_limit {
    /* Pixels of one image, decoded or encoded (default 8192 x 8192, the qm5
       command's). */
    QM5_LIMIT_PIXELS = 0,
    /* Painting work of decoding one image, in steps per pixel (default: the
       qm5 command's; while it is bounded, the steps of one image are also
       bounded as that command bounds them). */
    QM5_LIMIT_PAINT_WORK = 1,
    /* Bytes of working memory: the compression of one encoded picture, and
       the texture kept by an open (default 1800 MiB, the qm5 command's). */
    QM5_LIMIT_MEMORY = 2
} qm5_limit;

/* 0 means unbounded. */
QM5_API qm5_status qm5_set_limit(qm5_context* ctx, qm5_limit which, uint64_t value);
/* The limit in force (0: unbounded); 0 as well for a null ctx or unknown which. */
QM5_API uint64_t qm5_get_limit(const qm5_context* ctx, qm5_limit which);

/* Where the last failure lies; -1 where not known or not applicable.
   image: the image (0 = first); record: the colour record of a compressed
   image, or the colour being compressed; offset: the byte offset in the
   texture for reading, in the image's pixel array for encoding. */
typedef struct qm5_place {
    int64_t image;
    int64_t record;
    int64_t offset;
} qm5_place;

/* The outcome of the last call made with ctx or one of its textures. */
QM5_API qm5_status qm5_last_status(const qm5_context* ctx);
/* Its message, e.g. "record 12 of image 0 runs past the end of the file";
   "" after success. Valid until the next call with ctx. */
QM5_API const char* qm5_last_message(const qm5_context* ctx);
QM5_API qm5_place qm5_last_place(const qm5_context* ctx);

/* ---- Reading --------------------------------------------------------- */

typedef struct qm5_texture qm5_texture;

/* Opens a texture from size bytes (copied: data may be released after the
   call). The header, the palette and the place of every image are checked:
   a texture that opens has all its images inside the data. */
QM5_API qm5_status qm5_open(qm5_context* ctx, const void* data, size_t size, qm5_texture** out);
/* As qm5_open, but the texture reads data in place, without a copy (as an
   engine holding its files in memory wants): data must stay unchanged and
   alive until qm5_close. No memory limit applies to data itself. */
QM5_API qm5_status qm5_open_borrowed(qm5_context* ctx, const void* data, size_t size, qm5_texture** out);
/* path: a file name as fopen() takes it (on Windows, in the ANSI code page). */
QM5_API qm5_status qm5_open_file(qm5_context* ctx, const char* path, qm5_texture** out);
/* NULL is ignored. */
QM5_API void qm5_close(qm5_texture* texture);

typedef struct qm5_info {
    int32_t version;       /* 100 */
    int32_t width;         /* 0 .. 32767 */
    int32_t height;
    int32_t colour_count;  /* palette entries, 0 .. 32767 */
    int32_t mipmap_levels; /* counted by the maker; no level data is stored */
    uint32_t image_count;
    int32_t compressed;    /* 1: colour records, 0: plain indices */
} qm5_info;

typedef struct qm5_image_info {
    int32_t compressed;    /* as the texture's */
    uint64_t offset;       /* of the image's first byte in the texture */
    uint64_t size;         /* its bytes */
} qm5_image_info;

QM5_API qm5_status qm5_get_info(const qm5_texture* texture, qm5_info* out);
QM5_API qm5_status qm5_get_image_info(const qm5_texture* texture, uint32_t image, qm5_image_info* out);

typedef enum qm5_buffer {
    QM5_BUFFER_RGBA = 0,    /* one image as RGBA8: width x height x 4 bytes */
    QM5_BUFFER_INDICES = 1, /* one image as uint16_t indices: width x height x 2 bytes */
    QM5_BUFFER_PALETTE = 2  /* the palette as RGBA8: colour_count x 4 bytes */
} qm5_buffer;

/* Bytes the buffer needs; QM5_ERROR_LIMIT when size_t cannot hold them. */
QM5_API qm5_status qm5_buffer_size(const qm5_texture* texture, qm5_buffer which, size_t* bytes);

/* Image `image` (0 = the first) as RGBA8 into out, of out_size bytes, at
   least the size of QM5_BUFFER_RGBA. Pixels that no record of a compressed
   image covers are black (0, 0, 0, 255). */
QM5_API qm5_status qm5_decode_rgba(qm5_texture* texture, uint32_t image, void* out, size_t out_size);
/* Image `image` as palette indices (pixels that no record covers are 0). */
QM5_API qm5_status qm5_decode_indices(qm5_texture* texture, uint32_t image, uint16_t* out, size_t out_size);
/* The palette, entry k = the colour of index k, as RGBA8. */
QM5_API qm5_status qm5_get_palette(const qm5_texture* texture, void* out, size_t out_size);

/* ---- Writing --------------------------------------------------------- */

/* The pictures to encode: `count` images of width x height, given either as
   RGBA8 (rgba) or as palette indices into an RGBA8 palette (indices,
   palette, palette_size); the other pointer is NULL. Either way the texture
   gets the palette qm5 encode makes: the distinct colours, ascending. */
typedef struct qm5_images {
    int32_t width;                  /* 1 .. 32767 */
    int32_t height;                 /* 1 .. 32767 */
    uint32_t count;                 /* 1 .. 65535 */
    const uint8_t* const* rgba;     /* count pointers to width x height x 4 bytes */
    const uint16_t* const* indices; /* count pointers to width x height indices below palette_size */
    const uint8_t* palette;         /* palette_size x 4 bytes */
    uint32_t palette_size;          /* 1 .. 65536 */
} qm5_images;

typedef enum qm5_mode {
    QM5_MODE_PLAIN = 0,      /* palette indices */
    QM5_MODE_COMPRESSED = 1, /* qm5 encode -c, the bytes qm5_maker writes */
    QM5_MODE_BEST = 2,       /* qm5 encode --best: fewer cubes per colour */
    QM5_MODE_AUTO = 3,       /* qm5 encode --auto: plain or compressed, whichever is smaller */
    QM5_MODE_AUTO_BEST = 4   /* qm5 encode --auto --best */
} qm5_mode;

/* Drop the alpha channel instead of refusing a pixel that is not opaque
   (qm5 encode --ignore-alpha). */
#define QM5_IGNORE_ALPHA 1u
/* Keep the caller's palette order (for pictures given as indices, say for
   an engine's shared palette): the texture's palette is the palette given,
   every entry in its place (at most 32767, used or not, alpha dropped), and
   each pixel keeps its index; compressed records are made for that order,
   and the best modes search no other. */
#define QM5_KEEP_PALETTE_ORDER 2u
/* With a reduction (quality or max_colours): Floyd-Steinberg dithering
   instead of regions, for textures stored plain (qm5 encode --dither). */
#define QM5_DITHER 4u
/* Composite every pixel that is not fully opaque onto matte_colour
   (qm5 encode --matte) instead of refusing it. */
#define QM5_MATTE 8u

/* The effort of the best modes' search for a palette order that makes the
   texture smaller (qm5 encode --best --effort N): its budget of work in
   multiples of one compression (each at most 2^32 units, about 4 s of one
   core), never time, so the bytes are the same on every machine. 0 keeps
   the palette in ascending colour order. */
#define QM5_DEFAULT_EFFORT 1u
#define QM5_MAX_EFFORT 1000u

/* The stages of an encode, in order. More may be added later. */
typedef enum qm5_stage {
    QM5_STAGE_PALETTE = 1,
    QM5_STAGE_MIPMAPS = 2,
    QM5_STAGE_COMPRESSING = 3,
    QM5_STAGE_WRITING = 4
} qm5_stage;

/* How far an encode has got: done of total units of the current stage
   (units of the stage's own: only the fraction done / total means
   anything); while compressing, image (0 = the first) of images. */
typedef struct qm5_progress {
    int32_t stage; /* a qm5_stage */
    uint32_t image;
    uint32_t images;
    uint64_t done;
    uint64_t total;
} qm5_progress;

/* Called on the thread that called the encode, when a stage starts and a
   few times a second as it goes. Returning non-zero cancels the encode: it
   stops at the next point it can (between stages, colour records and the
   palette order search's chunks of records) with QM5_ERROR_CANCELLED, and
   writes nothing. */
typedef int (*qm5_progress_callback)(void* user_data, const qm5_progress* progress);

/* How to encode. Fields are only ever added at the end of this struct, and
   `size` tells the library how much of it a program knows: always start
   from QM5_ENCODE_SETTINGS_INIT or qm5_encode_settings_init(), which set
   `size` and every default. A field past `size` takes its default; a
   program built against a newer header that sets a field this library does
   not know gets QM5_ERROR_ARGUMENT (a field added later means "as before"
   when it is 0). */
typedef struct qm5_encode_settings {
    size_t size;                    /* sizeof(qm5_encode_settings) */
    int32_t mode;                   /* a qm5_mode; default QM5_MODE_PLAIN */
    uint32_t threads;               /* 0 (default): one per core; never changes the bytes */
    uint32_t flags;                 /* QM5_IGNORE_ALPHA, QM5_KEEP_PALETTE_ORDER, QM5_DITHER, QM5_MATTE; default 0 */
    uint32_t effort;                /* best modes: 0 .. QM5_MAX_EFFORT; default QM5_DEFAULT_EFFORT */
    qm5_progress_callback progress; /* NULL (default): none */
    void* progress_data;            /* handed to progress as it is */
    /* Colour reduction, for pictures given as RGBA (qm5 encode --quality,
       --colors): either or both; 0 (default): none, and pictures of more
       than 32767 colours are refused with QM5_ERROR_TOO_MANY_COLOURS. */
    uint32_t quality;               /* least PSNR over RGB in hundredths of a dB (3600: 36 dB), 100 .. 9900 */
    uint32_t max_colours;           /* at most this many colours, 2 .. 32767 */
    uint32_t matte_colour;          /* with QM5_MATTE: 0xRRGGBB */
} qm5_encode_settings;

#define QM5_ENCODE_SETTINGS_INIT \
    {sizeof(qm5_encode_settings), QM5_MODE_PLAIN, 0, 0, QM5_DEFAULT_EFFORT, NULL, NULL, 0, 0, 0}

/* Sets *settings to QM5_ENCODE_SETTINGS_INIT (for bindings that cannot use
   the macro). NULL is ignored. */
QM5_API void qm5_encode_settings_init(qm5_encode_settings* settings);

/* Encodes into a new buffer (*out_data, *out_size bytes), released with
   qm5_free(). settings NULL: QM5_ENCODE_SETTINGS_INIT. */
QM5_API qm5_status qm5_encode_with(qm5_context* ctx, const qm5_images* images, const qm5_encode_settings* settings,
                                   void** out_data, size_t* out_size);
/* Encodes into the file path; it appears only when complete, and a failed
   or cancelled call leaves an existing file of that name as it was. */
QM5_API qm5_status qm5_encode_file_with(qm5_context* ctx, const qm5_images* images,
                                        const qm5_encode_settings* settings, const char* path);

/* The first form of the settings, kept as it was for the programs built
   with it: all zero is plain, one thread per core, opaque pixels only; the
   best modes search the palette order with QM5_DEFAULT_EFFORT. */
typedef struct qm5_encode_options {
    qm5_mode mode;
    uint32_t threads;   /* 0: one per core; never changes the bytes */
    uint32_t flags;     /* QM5_IGNORE_ALPHA, QM5_KEEP_PALETTE_ORDER */
} qm5_encode_options;

/* As qm5_encode_with and qm5_encode_file_with, with the first form of the
   settings; options NULL: all zero. */
QM5_API qm5_status qm5_encode(qm5_context* ctx, const qm5_images* images, const qm5_encode_options* options,
                              void** out_data, size_t* out_size);
QM5_API qm5_status qm5_encode_file(qm5_context* ctx, const qm5_images* images, const qm5_encode_options* options,
                                   const char* path);
/* Releases a buffer of qm5_encode; NULL is ignored. */
QM5_API void qm5_free(void* data);

#ifdef __cplusplus
}
#endif

#endif /* QM5_QM5_H */
