// Reads an OpenEXR file in bands of scanlines, every channel at the precision it is stored in.
// Files of half channels only are read through the library's RGBA interface, which converts
// luminance-chroma, tiled and multi-resolution files; files with 32-bit float or
// unsigned-integer channels, and a layer or a later part of a file, through its general
// interface. A file with R, G and B is read as
// colour even when it also has Y; a file with Y and not all of R, G and B as luminance (grey, or
// coloured by its RY and BY chroma, each pixel taking the chroma sample that covers it). Missing
// channels read as 0 (alpha as 1). Messages go to stderr and begin with "exrinput: ".
#ifndef PICTOR_EXR_IO_EXR_READER_H
#define PICTOR_EXR_IO_EXR_READER_H

#include "exr_io/exr_picture_info.h"

#include <cstdint>

struct ExrScanlineReader;

// What is read of a file: a part (its number from 0, or its name; null for the first) and a
// layer (null for the top-level channels R, G, B, A, Y, RY and BY; else NAME.R and so on).
struct ExrReadChoice {
    const char *layer = nullptr;
    const char *part = nullptr;
};

// Opens the file in two steps, so that a caller can judge the file by its header before the
// library opens its pixel data, which allocates tables of 16 bytes per scanline.
// exr_reader_begin reads the headers alone; it returns null after a message when memory runs
// out, the path is a pipe, the part or layer chosen is not there, or the header shows none of
// the channels R, G, B and Y (the message names the layers and parts that have them). When the
// header could be read (exr_reader_header_known), the sizes below are known.
// exr_reader_open_pixels then opens the pixel data; it returns 0, or -1 after a message, after
// which only exr_reader_close may follow.
ExrScanlineReader *exr_reader_begin(const char *path, const ExrReadChoice &choice = {});
bool exr_reader_header_known(const ExrScanlineReader *reader);
int exr_reader_open_pixels(ExrScanlineReader *reader);

// The data window's size; scanline 0 is its top row.
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

// The scanlines that the file's compression keeps in one block (1 to 256), or a tile's height:
// a call for several blocks lets the library decode them side by side (see exr_threads.h).
int32_t exr_reader_block_rows(const ExrScanlineReader *reader);

// The file's compression (the library's Imf::Compression number); -1 when the header could not
// be read.
int exr_reader_compression(const ExrScanlineReader *reader);

// The primaries and pixel aspect the part read has (none when the header could not be read).
ExrPictureInfo exr_reader_picture_info(const ExrScanlineReader *reader);

// What exr_reader_rows gives: rows of the library's RGBA halves (ImfRgba, width a row; see
// exr_half.h to widen them), or of four 32-bit floats a pixel (red, green, blue, alpha; 4 x
// width a row).
enum ExrRowKind { EXR_ROWS_HALF, EXR_ROWS_FLOAT };
ExrRowKind exr_reader_row_kind(const ExrScanlineReader *reader);

// Scanlines first .. first + rows - 1 into band, in the reader's kind of rows. Returns 0, or -1
// after an "exrinput: " message when the library can't read them (a damaged file): the message
// of the first block that fails, as one thread reading block after block would meet it.
int exr_reader_rows(ExrScanlineReader *reader, int32_t first, int32_t rows, void *band);

void exr_reader_close(ExrScanlineReader *reader);

#endif
