// The image codecs the file front end uses: stb_image (PNG and JPEG decoders only) and
// stb_image_write, compiled into stb_codecs.c with internal linkage. Only these four
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

// Non-zero when an image of this size can be encoded: as PNG (png non-zero) up to what
// stb's int-sized encoder counts, as JPEG up to 65535 pixels a side.
int stb_codecs_can_write(int png, int width, int height);

// Encode packed RGB through `write`: PNG at stb's defaults (level 8, filter per row),
// or JPEG at quality 95. Return 0 if encoding failed or stb_codecs_can_write refuses the
// size, non-zero otherwise.
int stb_codecs_write_png(stb_codecs_write_fn* write, void* context, int width, int height,
                         const uint8_t* pixels);
int stb_codecs_write_jpg(stb_codecs_write_fn* write, void* context, int width, int height,
                         const uint8_t* pixels);

#ifdef __cplusplus
}
#endif

#endif
