// Reads an OpenEXR file one scanline at a time, as rows of RGBA doubles, every channel at the
// precision it is stored in. Files of half channels only are read through the library's RGBA
// interface, which converts luminance-chroma, tiled and multi-resolution files; files with
// 32-bit float or unsigned-integer channels through its general interface. A file with R, G
// and B is read as colour even when it also has Y; a file with Y and not all of R, G and B as
// luminance (grey, or coloured by its RY and BY chroma, each pixel taking the chroma sample that
// covers it). Missing channels read as 0 (alpha as 1). Messages go to stderr and begin with
// "exrinput: ".
#ifndef PICTOR_EXR_IO_EXR_READER_H
#define PICTOR_EXR_IO_EXR_READER_H

#include <cstdint>

struct ImfInputFile;
struct ImfRgba;
struct ExrGeneralInput;

struct ExrScanlineReader {
    ImfInputFile *file;         // the RGBA interface; null when the general one reads
    ExrGeneralInput *general;   // the general interface; else null
    ImfRgba *half_row;          // width pixels, as the RGBA interface gives them
    float *float_row;           // width pixels of four floats, as the general interface gives them
    int32_t width;          // of the data window
    int32_t height;
    int32_t x_min;          // origin of the data window; scanline 0 is the window's top row
    int32_t y_min;
    uint64_t least_bytes;   // the fewest bytes a file with this header can take
    double *row;            // width pixels of four doubles, handed out by exr_reader_row
};

// Opens the file. Returns null after a message when it can't be opened, its data window is
// empty or too wide, it has none of the channels R, G, B and Y, or memory runs out.
ExrScanlineReader *exr_reader_open(const char *path);
int32_t exr_reader_width(const ExrScanlineReader *reader);
int32_t exr_reader_height(const ExrScanlineReader *reader);

// The fewest bytes that a file with this header can take: its pixel data at the best ratio its
// compression can reach. A smaller file is damaged, however readable the library finds it.
uint64_t exr_reader_least_bytes(const ExrScanlineReader *reader);

// Scanline y (0 <= y < height, counted from the top of the data window) as red, green, blue
// and alpha doubles per pixel. The row is the reader's own, the same on every call and valid
// until the next one. Returns null after an "exrinput: " message when the library can't read
// the scanline (a damaged file).
const double *exr_reader_row(ExrScanlineReader *reader, int32_t y);

void exr_reader_close(ExrScanlineReader *reader);

#endif
