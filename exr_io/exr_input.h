// The two ways the reader has the library read a file's pixels, behind one small interface: the
// RGBA interface (files of half channels, luminance-chroma converted by the library) and the
// general interface (32-bit floats of every channel as stored). Not part of the module's
// interface.
#ifndef PICTOR_EXR_IO_EXR_INPUT_H
#define PICTOR_EXR_IO_EXR_INPUT_H

#include "exr_io/exr_plan.h"

#include <string>

struct ExrInputWay {
    // Opens path's pixel data as plan says (with the RGBA interface, plan may be null: the
    // window then comes from the library). Returns the open input, or null with *fault set.
    void *(*open)(const char *path, const ExrInputPlan *plan, ExrWindow *window,
                  std::string *fault);
    // Reads the file's scanlines y .. y + rows - 1 into band: rows of the library's RGBA halves,
    // or of four floats a pixel (red, green, blue, alpha). Returns false with *fault set.
    bool (*read)(void *input, int64_t y, int32_t rows, void *band, std::string *fault);
    void (*close)(void *input);
};

extern const ExrInputWay EXR_RGBA_WAY;
extern const ExrInputWay EXR_GENERAL_WAY;

#endif
