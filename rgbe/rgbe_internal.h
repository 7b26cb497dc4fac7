// Helpers shared by the codec's source files, and pieces of the codec that its tests take one
// at a time; not part of its interface.
#ifndef PICTOR_RGBE_RGBE_INTERNAL_H
#define PICTOR_RGBE_RGBE_INTERNAL_H

#include <cstdint>
#include <cstdio>

// Flat pixel data; a count of 0 or less does nothing.
int rgbe_put_flat(FILE *stream, const double *pixels, int32_t count);
int rgbe_get_flat(FILE *stream, double *pixels, int32_t count);

// Codes count bytes as byte-run packets.
int rgbe_put_byte_runs(FILE *stream, const unsigned char *bytes, int32_t count);

// Flat pixel data with a 64-bit pixel count, so that width * rows never wraps.
int rgbe_put_flat_pixels(FILE *stream, const double *pixels, int64_t count);
int rgbe_get_flat_pixels(FILE *stream, double *pixels, int64_t count);

// A row of count pixels packed into four planes of count bytes each (red, green and blue
// mantissas, exponents), and back: the bytes of rgbe_pack_pixel and the values of
// rgbe_unpack_pixel.
void rgbe_pack_row(const double *pixels, int32_t count, unsigned char *planes);
void rgbe_pack_row_rgba(const float *pixels, int32_t count, unsigned char *planes);
void rgbe_unpack_row(const unsigned char *planes, int32_t count, double *pixels);

// Reports a short read: "RGBE read error: unexpected end of file" at a plain end of file, where
// errno says nothing about the stream, else the read error's own description.
int rgbe_fail_read(FILE *stream);

#endif
