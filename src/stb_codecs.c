// stb_image and stb_image_write, compiled here once with internal linkage (STB_*_STATIC),
// so no stb symbol leaves this unit. stb_image.h is Debian's copy with the decoder fixes of
// src/stb_fixes.cmake applied. Only the PNG and JPEG decoders are built; every other
// setting (allocator, size limit, no flip, PNG compression level) is stb's default.
#include "stb_codecs.h"

// stb is on the include path as a system folder; cmake/stb.cmake sets this unit's flags.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#include <stb/stb_image.h>
#ifndef KRI_STB_IMAGE_FIXED
#    error "stb_image.h must be the fixed copy that src/stb_fixes.cmake writes"
#endif

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

enum { kComponents = 3, kJpegQuality = 95 };

// stb's PNG encoder counts in int: the filtered image ((3 x width + 1) x height bytes) and
// the compressed stream, whose buffer doubles as it grows (up to 9/8 of the input for
// data that does not compress). Up to 2^30 filtered bytes every count stays below
// INT_MAX; larger images are refused instead of overflowing.
#define KRI_PNG_MAX_FILTERED_BYTES (1LL << 30)
// A JPEG frame header stores each side in 16 bits.
#define KRI_JPEG_MAX_SIDE 65535

uint8_t* stb_codecs_load_rgb(const char* path, int* width, int* height) {
    int channels_in_file = 0;
    return stbi_load(path, width, height, &channels_in_file, kComponents);
}

int stb_codecs_can_write(int png, int width, int height) {
    if (width < 1 || height < 1) return 0;
    if (png) return ((long long)kComponents * width + 1) * height <= KRI_PNG_MAX_FILTERED_BYTES;
    return width <= KRI_JPEG_MAX_SIDE && height <= KRI_JPEG_MAX_SIDE;
}

int stb_codecs_write_png(stb_codecs_write_fn* write, void* context, int width, int height,
                         const uint8_t* pixels) {
    if (!stb_codecs_can_write(1, width, height)) return 0;
    return stbi_write_png_to_func(write, context, width, height, kComponents, pixels,
                                  kComponents * width);
}

int stb_codecs_write_jpg(stb_codecs_write_fn* write, void* context, int width, int height,
                         const uint8_t* pixels) {
    if (!stb_codecs_can_write(0, width, height)) return 0;
    return stbi_write_jpg_to_func(write, context, width, height, kComponents, pixels, kJpegQuality);
}
