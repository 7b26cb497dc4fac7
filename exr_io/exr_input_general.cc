// Pixels through the library's general interface, as rows of four floats a pixel: channels of
// 32-bit floats at full precision, unsigned integers as their values, and luminance with its
// chroma made red, green and blue, each pixel taking the chroma sample that covers it. The
// library widens half and unsigned-integer channels to float exactly, or to the nearest float
// for integers beyond 2^24.
#include "exr_io/exr_frame.h"
#include "exr_io/exr_input.h"

#include <ImfFrameBuffer.h>
#include <ImfInputFile.h>
#include <ImfInputPart.h>
#include <ImfMultiPartInputFile.h>

#include <climits>
#include <exception>
#include <memory>
#include <new>
#include <vector>

namespace {

struct GeneralInput {
    std::unique_ptr<Imf::InputFile> file;            // the first part, or:
    std::unique_ptr<Imf::MultiPartInputFile> parts;  // a later one
    std::unique_ptr<Imf::InputPart> part;
    const ExrInputPlan *plan;
    std::vector<float> chroma_row;    // RY and BY of each chroma sample of one scanline
    int64_t chroma_line = INT64_MIN;  // the scanline that chroma_row holds
};

void set_frame_buffer(GeneralInput *in, const Imf::FrameBuffer &frame)
{
    if (in->part)
        in->part->setFrameBuffer(frame);
    else
        in->file->setFrameBuffer(frame);
}

void read_pixels(GeneralInput *in, int64_t first, int64_t last)
{
    if (in->part)
        in->part->readPixels((int)first, (int)last);
    else
        in->file->readPixels((int)first, (int)last);
}

// Points the library at rows of four floats a pixel, starting with scanline y0 of the file at
// rows, row_bytes apart (0: every scanline lands there); chroma samples land at chroma_row.
void set_frame(GeneralInput *in, float *rows, int64_t y0, size_t row_bytes)
{
    const ExrInputPlan *plan = in->plan;
    const ExrWindow &window = plan->window;
    char *base = exr_slice_base(rows, window.x_min, 4 * sizeof(float), y0, row_bytes);
    Imf::FrameBuffer frame;
    const char *colour[] = {"R", "G", "B", "A"}, *luminance[] = {"Y", nullptr, nullptr, "A"};
    const char *const *names = plan->luminance ? luminance : colour;
    for (int c = 0; c < 4; c++) {
        if (names[c])
            frame.insert(plan->prefix + names[c], Imf::Slice(Imf::FLOAT, base + 4 * c, 4 * sizeof(float),
                                              row_bytes, 1, 1, c == 3 ? 1.0 : 0.0));
    }
    if (plan->chroma) {
        int64_t first = exr_floor_div(window.x_min, plan->x_sampling);
        int64_t last = exr_floor_div((int64_t)window.x_min + window.width - 1, plan->x_sampling);
        in->chroma_row.resize(2 * (size_t)(last - first + 1), 0.0f);
        char *chroma = exr_slice_base(in->chroma_row.data(), first, 2 * sizeof(float));
        for (int c = 0; c < 2; c++)
            frame.insert(plan->prefix + (c == 0 ? "RY" : "BY"),
                         Imf::Slice(Imf::FLOAT, chroma + 4 * c, 2 * sizeof(float), 0,
                                    plan->x_sampling, plan->y_sampling, 0.0));
    }
    set_frame_buffer(in, frame);
}

// Red, green and blue from luminance and chroma, as the library defines them: RY = (R - Y) / Y,
// BY = (B - Y) / Y, Y = yw . (R, G, B); a pixel without chroma is grey, exactly Y. Computed in
// doubles, kept as floats.
void luminance_to_rgb(const GeneralInput *in, float *out)
{
    const ExrInputPlan *plan = in->plan;
    const ExrWindow &window = plan->window;
    int64_t first = plan->chroma ? exr_floor_div(window.x_min, plan->x_sampling) : 0;
    for (int32_t x = 0; x < window.width; x++, out += 4) {
        double y = out[0], ry = 0.0, by = 0.0;
        if (plan->chroma) {
            size_t sample = (size_t)(exr_floor_div((int64_t)window.x_min + x, plan->x_sampling) - first);
            ry = in->chroma_row[2 * sample];
            by = in->chroma_row[2 * sample + 1];
        }
        if (ry == 0.0 && by == 0.0) {
            out[1] = out[2] = out[0];
            continue;
        }
        const Imath::V3f &yw = plan->yw;
        double r = (ry + 1.0) * y, b = (by + 1.0) * y;
        out[0] = (float)r;
        out[1] = (float)((y - r * yw.x - b * yw.z) / yw.y);
        out[2] = (float)b;
    }
}

// With chroma, one scanline at a time, each made colour at once while chroma_row holds its
// samples: each first takes the scanline that holds its chroma samples (the nearest at or above
// it), unless that one was read last. Throws what the library throws.
void read_chroma_rows(GeneralInput *in, int64_t y, int32_t rows, float *band)
{
    size_t row_floats = 4 * (size_t)in->plan->window.width;
    for (int32_t i = 0; i < rows; i++, y++) {
        float *row = band + (size_t)i * row_floats;
        int64_t chroma_line = exr_floor_div(y, in->plan->y_sampling) * in->plan->y_sampling;
        set_frame(in, row, y, 0);
        if (chroma_line != in->chroma_line && chroma_line != y)
            read_pixels(in, chroma_line, chroma_line);
        in->chroma_line = chroma_line;
        read_pixels(in, y, y);
        luminance_to_rgb(in, row);
    }
}

bool read_rows(void *input, int64_t y, int32_t rows, void *band, std::string *fault)
{
    GeneralInput *in = (GeneralInput *)input;
    size_t row_floats = 4 * (size_t)in->plan->window.width;
    try {
        if (in->plan->chroma) {
            read_chroma_rows(in, y, rows, (float *)band);
            return true;
        }
        set_frame(in, (float *)band, y, row_floats * sizeof(float));
        read_pixels(in, y, y + rows - 1);
        for (int32_t i = 0; in->plan->luminance && i < rows; i++)
            luminance_to_rgb(in, (float *)band + (size_t)i * row_floats);
        return true;
    } catch (const std::exception &e) {
        in->chroma_line = INT64_MIN;
        *fault = e.what();
        return false;
    }
}

void close_input(void *input)
{
    delete (GeneralInput *)input;
}

void *open_input(const char *path, const ExrInputPlan *plan, ExrWindow *window, std::string *fault)
{
    GeneralInput *in = new (std::nothrow) GeneralInput;
    if (!in) {
        *fault = "Cannot allocate memory.";
        return nullptr;
    }
    in->plan = plan;
    try {
        if (plan->part == 0) {
            in->file.reset(new Imf::InputFile(path));
        } else {
            in->parts.reset(new Imf::MultiPartInputFile(path));
            in->part.reset(new Imf::InputPart(*in->parts, plan->part));
        }
    } catch (const std::exception &e) {
        *fault = e.what();
        delete in;
        return nullptr;
    }
    *window = plan->window;
    return in;
}

}  // namespace

const ExrInputWay EXR_GENERAL_WAY = {open_input, read_rows, close_input};
