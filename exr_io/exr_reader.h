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

#include <cstddef>
#include <cstdint>

struct ImfInputFile;
struct ImfRgba;
struct ExrInputPlan;

struct ExrScanlineReader {
    char *path;
    ExrInputPlan *plan;     // the header and how it is read (with the general interface's
                            // file); null when the header could not be read beforehand
    ImfInputFile *file;     // the RGBA interface's file; null when the general one reads
    ImfRgba *half_row;      // width pixels, for exr_reader_row (made when first needed)
    float *float_row;       // width pixels of four floats, likewise
    int32_t width;          // of the data window
    int32_t height;
    int32_t x_min;          // origin of the data window; scanline 0 is the window's top row
    int32_t y_min;
    uint64_t least_bytes;   // the fewest bytes a file with this header can take
    uint64_t block_bytes;   // the bytes of a block of rows (or a tile), all channels
    double *row;            // width pixels of four doubles, handed out by exr_reader_row
};

// Opens the file. Returns null after a message when it can't be opened, its data window is
// empty or too wide, it has none of the channels R, G, B and Y, or memory runs out.
ExrScanlineReader *exr_reader_open(const char *path);

// The same in two steps, so that a caller can judge the file by its header before the library
// opens its pixel data, which allocates tables of 16 bytes per scanline. exr_reader_begin reads
// the header alone; it returns null after a message when memory runs out or the header shows
// none of the channels R, G, B and Y. When the header
// could be read (exr_reader_header_known), the width, height and least bytes are known.
// exr_reader_open_pixels then opens the pixel data; it returns 0, or -1 after a message, after
// which only exr_reader_close may follow.
ExrScanlineReader *exr_reader_begin(const char *path);
bool exr_reader_header_known(const ExrScanlineReader *reader);
int exr_reader_open_pixels(ExrScanlineReader *reader);
int32_t exr_reader_width(const ExrScanlineReader *reader);
int32_t exr_reader_height(const ExrScanlineReader *reader);

// The fewest bytes that a file with this header can take: its pixel data at the best ratio its
// compression can reach, and 16 bytes for each block of scanlines or tile (an entry of the
// offset table and a block header). A smaller file is damaged, however readable the library
// finds it. 0 when the header could not be read.
uint64_t exr_reader_least_bytes(const ExrScanlineReader *reader);

// The bytes of every channel in one block of the file: the scanlines that its compression
// codes together (1 to 256), or a tile. The library holds a few such blocks while it reads.
// 0 when the header could not be read.
uint64_t exr_reader_block_bytes(const ExrScanlineReader *reader);

// The file's compression (the library's Imf::Compression number); -1 when the header could not
// be read.
int exr_reader_compression(const ExrScanlineReader *reader);

// What exr_reader_rows gives: rows of the library's RGBA halves (ImfRgba, width a row; see
// exr_half.h to widen them), or of four 32-bit floats a pixel (red, green, blue, alpha; 4 x
// width a row).
enum ExrRowKind { EXR_ROWS_HALF, EXR_ROWS_FLOAT };
ExrRowKind exr_reader_row_kind(const ExrScanlineReader *reader);

// The scanlines that the file's compression keeps in one block (1 to 256), or a tile's height:
// a call for several blocks lets the library decode them side by side (see exr_threads.h).
int32_t exr_reader_block_rows(const ExrScanlineReader *reader);

// Scanlines first .. first + rows - 1 (counted from the top of the data window) into band, in
// the reader's kind of rows. Returns 0, or -1 after an "exrinput: " message when the library
// can't read them (a damaged file).
int exr_reader_rows(ExrScanlineReader *reader, int32_t first, int32_t rows, void *band);

// Scanline y as red, green, blue and alpha doubles per pixel. The row is the reader's own, the
// same on every call and valid until the next one. Returns null after a message when the
// library can't read the scanline, or memory runs out.
const double *exr_reader_row(ExrScanlineReader *reader, int32_t y);

void exr_reader_close(ExrScanlineReader *reader);

#endif
