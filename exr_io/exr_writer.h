// Writes an OpenEXR RGBA file one scanline at a time, top first, of half floats through the
// library's RGBA interface or, on request, of 32-bit floats through its general interface.
// Header: data and display window (0,0)-(width-1,height-1), PIZ compression, increasing Y,
// channels R, G, B and A. Messages go to stderr and begin with "exroutput: ".
#ifndef PICTOR_EXR_IO_EXR_WRITER_H
#define PICTOR_EXR_IO_EXR_WRITER_H

#include <cstdint>

struct ImfOutputFile;
struct ImfRgba;
struct ExrFloatOutput;

struct ExrScanlineWriter {
    ImfOutputFile *file;    // half floats; null when floats are written
    ExrFloatOutput *floats; // 32-bit floats; else null
    ImfRgba *half_row;      // width pixels, for exr_writer_row only (made when first needed)
    int32_t width;
    int32_t height;
    int32_t next_scanline;  // scanlines written so far
    char *path;             // the file being written, for the check at close
};

// Creates the file for a width x height picture (both at least 1). Returns null after a
// message when memory runs out or the library can't create the file.
ExrScanlineWriter *exr_writer_open(const char *path, int32_t width, int32_t height);

// The same for a file of 32-bit float channels, written with exr_writer_float_rows.
ExrScanlineWriter *exr_writer_open_float(const char *path, int32_t width, int32_t height);

// A row in two steps, so that rows can be narrowed apart from their writing (on another
// thread): exr_writer_narrow puts a row of width RGBA doubles into halves (to float, then to
// half); exr_writer_half_rows writes rows of width halves each as the next scanlines. Returns
// 0, or -1 after a message; after a failure only exr_writer_abandon may follow, as the library
// can't take a further write to that file.
void exr_writer_narrow(const double *row, int32_t width, ImfRgba *halves);
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
