// The image codecs the file front end uses: stb_image (PNG and JPEG decoders only) and
// stb_image_write, compiled into stb_codecs.c with internal linkage. Only these three
// wrappers are visible outside that unit, and none of them is exported.
#ifndef KESTRUNE_RIFE_STB_CODECS_H
#define KESTRUNE_RIFE_STB_CODECS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void stb_codecs_write_fn(void* context, void* data, int size);

// Decodes a PNG or JPEG file to packed RGB (3 components requested). Returns the pixels
// (release with free) and the size, or NULL if the file cannot be opened or decoded.
uint8_t* stb_codecs_load_rgb(const char* path, int* width, int* height);

// Encode packed RGB through `write`: PNG at stb's defaults (level 8, filter per row),
// or JPEG at quality 95. Return 0 if encoding failed (or, for PNG, the image is too large
// for stb's int-sized encoder), non-zero otherwise.
int stb_codecs_write_png(stb_codecs_write_fn* write, void* context, int width, int height,
                         const uint8_t* pixels);
int stb_codecs_write_jpg(stb_codecs_write_fn* write, void* context, int width, int height,
                         const uint8_t* pixels);

#ifdef __cplusplus
}
#endif

#endif
