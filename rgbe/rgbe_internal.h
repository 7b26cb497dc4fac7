// Helpers shared by the codec's source files; not part of its interface.
#ifndef PICTOR_RGBE_RGBE_INTERNAL_H
#define PICTOR_RGBE_RGBE_INTERNAL_H

#include <cstdint>
#include <cstdio>

// Flat pixel data with a 64-bit pixel count, so that width * rows never wraps.
int rgbe_put_flat_pixels(FILE *stream, const double *pixels, int64_t count);
int rgbe_get_flat_pixels(FILE *stream, double *pixels, int64_t count);

#endif
