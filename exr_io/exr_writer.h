// Writes an OpenEXR RGBA file one scanline at a time, top first, of half floats through the
// library's RGBA interface or, on request, of 32-bit floats through its general interface.
// Header: data and display window (0,0)-(width-1,height-1), PIZ compression, increasing Y,
// channels R, G, B and A. Messages go to stderr and begin with "exroutput: ".
#ifndef PICTOR_EXR_IO_EXR_WRITER_H
#define PICTOR_EXR_IO_EXR_WRITER_H

#include <cstdint>

struct ImfRgba;

struct ExrScanlineWriter;

// Creates the file for a width x height picture (both at least 1). Returns null after a
// message when memory runs out or the library can't create the file.
ExrScanlineWriter *exr_writer_open(const char *path, int32_t width, int32_t height);

// The same for a file of 32-bit float channels, written with exr_writer_float_rows.
ExrScanlineWriter *exr_writer_open_float(const char *path, int32_t width, int32_t height);

// Writes rows of width pixels of the library's RGBA halves (ImfRgba) as the next scanlines of a
// file opened with exr_writer_open. Returns 0, or -1 after a message; after a failure only
// exr_writer_abandon may follow, as the library can't take a further write to that file.
int exr_writer_half_rows(ExrScanlineWriter *writer, const ImfRgba *halves, int32_t rows);

// Writes rows of width pixels of four floats (red, green, blue, alpha) as the next scanlines
// of a file opened with exr_writer_open_float. Returns 0, or -1 after a message.
int exr_writer_float_rows(ExrScanlineWriter *writer, const float *rgba, int32_t rows);

// Completes the file after height rows, releases the writer, and checks that the finished
// file opens and its last scanline reads back. Returns 0, or -1 after a message.
int exr_writer_close(ExrScanlineWriter *writer);

// Closes an unfinished file (after a failed row, or when the rows can't all be had) without
// checking it, and releases the writer. The caller removes the file.
void exr_writer_abandon(ExrScanlineWriter *writer);

#endif
