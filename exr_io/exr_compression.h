// The OpenEXR library's compressions, as pictor names them and weighs their blocks of rows.
#ifndef PICTOR_EXR_IO_EXR_COMPRESSION_H
#define PICTOR_EXR_IO_EXR_COMPRESSION_H

#include <ImfCompression.h>

#include <cstdint>

// A compression with its level: the library's Imf::Compression number; for zip and zips a zlib
// level from 1 to 9, for dwaa and dwab a positive DWA level; 0 for the library's own.
struct ExrCompression {
    int compression = Imf::PIZ_COMPRESSION;
    int zip_level = 0;
    float dwa_level = 0.0f;
};

// The names, in the order users are told them.
extern const char EXR_COMPRESSION_NAMES[];

// Reads "NAME" or "NAME:LEVEL" (none, rle, zips, zip, piz, pxr24, b44, b44a, dwaa, dwab; a
// level only for zip, zips, dwaa and dwab). Returns false when the word is no such name.
bool exr_compression_named(const char *word, ExrCompression *out);

// Whether a compression may change values, of halves or (floats) of 32-bit floats: B44, B44A
// (halves only: they store floats as they are), DWAA, DWAB, and PXR24 for floats (it keeps 24
// of their 32 bits).
bool exr_compression_lossy(int compression, bool floats);

// For DWAA and DWAB, the largest value worth storing: they code R, G and B as halves, 32-bit
// float channels too, and their coding overshoots the brightest values by up to a few per cent
// at the library's level, more at higher levels; a value that overshoots the half range becomes
// an infinity. 0 for other compressions, which keep every value of the channel's type.
double exr_compression_ceiling(const ExrCompression &compression);

// The scanlines that a compression codes together in one block (1 to 256).
int32_t exr_compression_block_rows(int compression);

// Whether blocks of this compression, of block_bytes uncompressed bytes each, take long enough
// to code or decode that handing them to other threads pays for the hand-over, which costs
// about as much as copying a few kilobytes: never without compression or with run-length
// coding, always for PIZ (its Huffman tables cost the same for a block of any size), from 16 KB
// a block for the others.
bool exr_blocks_worth_threads(int compression, uint64_t block_bytes);

#endif
