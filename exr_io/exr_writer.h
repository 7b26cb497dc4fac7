// Writes an OpenEXR file of the channels R, G, B and A in bands of scanlines, top first, through
// the library's general interface: half floats, or on request 32-bit floats. Header: data and
// display window (0,0)-(width-1,height-1), PIZ compression (or another on request), increasing
// Y, and the picture's primaries and pixel aspect where it has them. Messages go to stderr and
// begin with "exroutput: ".
#ifndef PICTOR_EXR_IO_EXR_WRITER_H
#define PICTOR_EXR_IO_EXR_WRITER_H

#include "exr_io/exr_compression.h"
#include "exr_io/exr_picture_info.h"

#include <cstdint>

struct ExrScanlineWriter;

// How the file is written.
struct ExrOutputOptions {
    bool floats = false;         // channels of 32-bit floats instead of half floats
    ExrCompression compression;  // PIZ at the library's level unless asked otherwise
    ExrPictureInfo info;
};

// Creates the file for a width x height picture (both at least 1). Returns null after a
// message when memory runs out or the library can't create the file.
ExrScanlineWriter *exr_writer_open(const char *path, int32_t width, int32_t height,
                                   const ExrOutputOptions &options);

// Writes rows of width pixels as the next scanlines: the library's RGBA halves (ImfRgba), or
// with floats, four floats a pixel (red, green, blue, alpha). Returns 0, or -1 after a
// message; after a failure only exr_writer_abandon may follow, as the library can't take a
// further write to that file.
int exr_writer_rows(ExrScanlineWriter *writer, const void *pixels, int32_t rows);

// Completes the file after height rows, releases the writer, and checks that the finished
// file opens and its last scanline reads back, and after a lossy compression that every value
// reads back finite. Returns 0, or -1 after a message.
int exr_writer_close(ExrScanlineWriter *writer);

// Closes an unfinished file (after a failed row, or when the rows can't all be had) without
// checking it, and releases the writer. The caller removes the file.
void exr_writer_abandon(ExrScanlineWriter *writer);

#endif
