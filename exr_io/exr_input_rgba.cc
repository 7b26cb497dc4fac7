// Pixels through the library's C RGBA interface, as rows of RGBA halves.
#include "exr_io/exr_frame.h"
#include "exr_io/exr_input.h"

#include <ImfCRgbaFile.h>

#include <climits>
#include <cstdio>
#include <new>

namespace {

struct RgbaInput {
    ImfInputFile *file;
    ExrWindow window;
};

// The window from the library's header, as when the header could not be read beforehand.
bool library_window(ImfInputFile *file, ExrWindow *window, std::string *fault)
{
    int xmin, ymin, xmax, ymax;
    ImfHeaderDataWindow(ImfInputHeader(file), &xmin, &ymin, &xmax, &ymax);
    int64_t width = (int64_t)xmax - xmin + 1;
    int64_t height = (int64_t)ymax - ymin + 1;
    if (width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX) {
        char text[120];
        snprintf(text, sizeof text, "Invalid data window (%d, %d) - (%d, %d).", xmin, ymin, xmax, ymax);
        *fault = text;
        return false;
    }
    *window = ExrWindow{xmin, ymin, (int32_t)width, (int32_t)height};
    return true;
}

void close_input(void *input)
{
    RgbaInput *in = (RgbaInput *)input;
    ImfCloseInputFile(in->file);
    delete in;
}

void *open_input(const char *path, const ExrInputPlan *plan, ExrWindow *window, std::string *fault)
{
    RgbaInput *in = new (std::nothrow) RgbaInput;
    if (!in) {
        *fault = "Cannot allocate memory.";
        return nullptr;
    }
    in->file = ImfOpenInputFile(path);
    if (!in->file) {
        *fault = ImfErrorMessage();
        delete in;
        return nullptr;
    }
    if (plan) {
        *window = plan->window;
    } else if (!library_window(in->file, window, fault)) {
        close_input(in);
        return nullptr;
    }
    in->window = *window;
    return in;
}

bool read_rows(void *input, int64_t y, int32_t rows, void *band, std::string *fault)
{
    RgbaInput *in = (RgbaInput *)input;
    ImfRgba *base = exr_frame_base((ImfRgba *)band, y, in->window.width, in->window.x_min);
    if (!ImfInputSetFrameBuffer(in->file, base, 1, (size_t)in->window.width) ||
        !ImfInputReadPixels(in->file, (int)y, (int)(y + rows - 1))) {
        *fault = ImfErrorMessage();
        return false;
    }
    return true;
}

}  // namespace

const ExrInputWay EXR_RGBA_WAY = {open_input, read_rows, close_input};
