// Radiance RGBE picture codec.
//
// File layout:
//   #?RGBE\n                      first line: "#?" and a program type
//   GAMMA=2.2\n  EXPOSURE=0.5\n   optional lines, skipped unless taken (see rgbe_header_read)
//   FORMAT=32-bit_rle_rgbe\n
//   \n                            an empty line ends the header
//   -Y <rows> +X <width>\n        size line, height first
//   pixel data
//
// Pixel: 4 bytes, red, green and blue mantissas and a shared exponent byte (exponent + 128);
// a component is mantissa * 2^(exponent byte - 136). Exponent byte 0 decodes as 1e-6.
//
// Pixel data: rows of width 8..32767 are run-length coded scanlines: the marker 2, 2,
// width >> 8, width & 255, then four planes (red, green, blue, exponent) of width bytes each,
// coded as packets: count byte h > 128 repeats the next byte h - 128 times, 1..128 copies the
// next h bytes, 0 is invalid. Other widths, and any row that begins without its marker, are
// flat: 4 bytes per pixel, nothing else.
//
// The codec never opens or closes a stream, and uses it without locking: one thread at a time.
// Every failing operation reports once on stderr through rgbe_fail and returns -1; success is
// 0. Pixel buffers are RgbPixelBuffer memory: three doubles (red, green, blue) per pixel, rows
// top to bottom.
#ifndef PICTOR_RGBE_RGBE_H
#define PICTOR_RGBE_RGBE_H

#include <cstdint>
#include <cstdio>

enum RgbeErrorCode {
    RGBE_ERR_READ = 0,    // perror("RGBE read error")
    RGBE_ERR_WRITE = 1,   // perror("RGBE write error")
    RGBE_ERR_FORMAT = 2,  // "RGBE bad file format: <message>"
    RGBE_ERR_MEMORY = 3,  // "RGBE error: <message>"
};

// Bits of RgbeHeaderInfo::present.
const int32_t RGBE_HAS_PROGRAM_TYPE = 1;
const int32_t RGBE_HAS_GAMMA = 2;
const int32_t RGBE_HAS_EXPOSURE = 4;

// Widths that are written as run-length coded scanlines; others are flat.
const int32_t RGBE_RLE_MIN_WIDTH = 8;
const int32_t RGBE_RLE_MAX_WIDTH = 32767;
// The longest header read: 1 MiB.
const long RGBE_HEADER_MAX = 1L << 20;
// Packet limits of the byte-run coder.
const int32_t RGBE_MIN_RUN = 4;
const int32_t RGBE_MAX_RUN = 127;
const int32_t RGBE_MAX_LITERAL = 128;

struct RgbeHeaderInfo {
    int32_t present;        // RGBE_HAS_* bits
    char program_type[16];  // word after "#?", at most 15 characters
    float gamma;            // 1.0 when absent
    float exposure;         // 1.0 when absent
};

// Prints the message for code on stderr and returns -1; errno stays as it was.
int rgbe_fail(int code, const char *message);

// Writes the header; info may be null. Returns 0, or -1 after a write error.
int rgbe_header_write(FILE *stream, int32_t width, int32_t height, const RgbeHeaderInfo *info);
// Reads and checks the header, leaving the stream on the first byte of pixel data.
// info may be null; with one, GAMMA and EXPOSURE lines right after the FORMAT line are taken.
// A header longer than RGBE_HEADER_MAX bytes, which no real picture has, is refused.
int rgbe_header_read(FILE *stream, int32_t *width, int32_t *height, RgbeHeaderInfo *info);

// rgbe_header_read that also calls passed_over (unless null) for every line it passes over,
// in header order: every line but the first, the FORMAT line, the GAMMA= and EXPOSURE= lines it
// takes, the empty line and the size line. A line is what the reader keeps of it, its first
// 127 bytes with its newline where that fits; number counts the "#?" line as line 1.
typedef void (*RgbeHeaderLineFn)(void *context, const char *line, int32_t number);
int rgbe_header_read_noting(FILE *stream, int32_t *width, int32_t *height, RgbeHeaderInfo *info,
                            RgbeHeaderLineFn passed_over, void *context);

// rgbe_header_write with further lines (each ending in a newline) before the FORMAT line, where
// Radiance's own writers put theirs; lines may be null.
int rgbe_header_write_lines(FILE *stream, int32_t width, int32_t height, const RgbeHeaderInfo *info,
                            const char *lines);

// Pixel conversions. Packing never fails: NaN and negative components count as 0, values too
// large for RGBE saturate to the largest RGBE value.
void rgbe_pack_pixel(unsigned char rgbe_out[4], double red, double green, double blue);
void rgbe_unpack_pixel(double *red_out, double *green_out, double *blue_out,
                       const unsigned char rgbe_in[4]);

// Whole pixel data of a picture: rows scanlines of width pixels, top first.
int rgbe_put_scanlines(FILE *stream, const double *pixels, int32_t width, int32_t rows);
int rgbe_get_scanlines(FILE *stream, double *pixels, int32_t width, int32_t rows);

// The pixel data of one picture, read or written in bands of rows, top band first. Whether
// the data has turned flat is carried from one band to the next: start a picture with flat =
// false and pass the same state to every band. The writer, once it has had to write a row flat
// (no memory for its work buffer), writes every later row flat. The reader decides for each
// row; once a row has been flat, a row whose first pixel looks like a marker of another width is
// flat too. A picture read or written band by band has the same bytes as one read or written
// whole.
struct RgbeScanlineState {
    bool flat;  // a row has been flat
};
int rgbe_put_scanline_band(FILE *stream, const double *pixels, int32_t width, int32_t rows,
                           RgbeScanlineState *state);
int rgbe_get_scanline_band(FILE *stream, double *pixels, int32_t width, int32_t rows,
                           RgbeScanlineState *state);

// rgbe_put_scanline_band for pixels of four floats each (red, green, blue, and a fourth value
// that plays no part): the bytes written are those of the same pixels widened to doubles.
int rgbe_put_scanline_band_rgba(FILE *stream, const float *pixels, int32_t width, int32_t rows,
                                RgbeScanlineState *state);

#endif
