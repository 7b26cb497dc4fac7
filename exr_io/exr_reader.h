// Reads an OpenEXR file through the library's RGBA interface, one scanline at a time, as rows
// of RGBA doubles. The library converts luminance-chroma, tiled and multi-resolution files.
// Messages go to stderr and begin with "exrinput: ".
#ifndef PICTOR_EXR_IO_EXR_READER_H
#define PICTOR_EXR_IO_EXR_READER_H

#include <cstdint>

struct ImfInputFile;
struct ImfRgba;

struct ExrScanlineReader {
    ImfInputFile *file;
    ImfRgba *half_row;  // width pixels
    int32_t width;      // of the data window
    int32_t height;
    int32_t x_min;      // origin of the data window; scanline 0 is the window's top row
    int32_t y_min;
    double *row;        // width pixels of four doubles, handed out by exr_reader_row
};

// Opens the file. Returns null after a message when it can't be opened, its data window is
// empty or too wide, or memory runs out.
ExrScanlineReader *exr_reader_open(const char *path);
int32_t exr_reader_width(const ExrScanlineReader *reader);
int32_t exr_reader_height(const ExrScanlineReader *reader);

// Scanline y (0 <= y < height, counted from the top of the data window) as red, green, blue
// and alpha doubles per pixel. The row is the reader's own, the same on every call and valid
// until the next one. Returns null after an "exrinput: " message when the library can't read
// the scanline (a damaged file).
const double *exr_reader_row(ExrScanlineReader *reader, int32_t y);

void exr_reader_close(ExrScanlineReader *reader);

#endif
