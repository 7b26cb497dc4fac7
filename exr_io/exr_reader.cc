#include "exr_io/exr_reader.h"
#include "exr_io/exr_input.h"
#include "exr_io/exr_plan.h"

#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>

struct ExrScanlineReader {
    std::string path;
    std::unique_ptr<ExrInputPlan> plan;  // null when the header could not be read beforehand
    const ExrInputWay *way;
    void *input = nullptr;               // the open pixel data
    ExrWindow window = {};
};

namespace {

ExrScanlineReader *fail_memory(void)
{
    fputs("exrinput: Cannot allocate memory.\n", stderr);
    return nullptr;
}

// Opens the pixel data; returns false with *fault set.
bool open_input(ExrScanlineReader *reader, std::string *fault)
{
    reader->input = reader->way->open(reader->path.c_str(), reader->plan.get(), &reader->window,
                                      fault);
    return reader->input != nullptr;
}

// Reads file scanlines y .. y + rows - 1 into band, a block at a time: returns false with the
// first failing block's fault.
bool read_block_by_block(ExrScanlineReader *reader, int64_t y, int32_t rows, char *band,
                         std::string *fault)
{
    int64_t block = exr_reader_block_rows(reader), end = y + rows;
    size_t row_bytes = (size_t)reader->window.width * 8 *
                       (exr_reader_row_kind(reader) == EXR_ROWS_FLOAT ? 2 : 1);
    for (int64_t at = y; at < end;) {
        int64_t next = reader->window.y_min +
                       (exr_floor_div(at - reader->window.y_min, block) + 1) * block;
        if (next > end)
            next = end;
        if (!reader->way->read(reader->input, at, (int32_t)(next - at),
                               band + (size_t)(at - y) * row_bytes, fault))
            return false;
        at = next;
    }
    return true;
}

}  // namespace

ExrScanlineReader *exr_reader_begin(const char *path, const ExrReadChoice &choice)
{
    // The library seeks in the file it reads, and the header is read before the library opens
    // the file: a pipe would give the library what the header left, or nothing.
    struct stat st;
    if (stat(path, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
        fprintf(stderr, "exrinput: %s is a pipe; OpenEXR files are read from files that can be "
                        "sought in.\n", path);
        return nullptr;
    }
    ExrScanlineReader *reader = new (std::nothrow) ExrScanlineReader;
    if (!reader)
        return fail_memory();
    std::string refusal;
    try {
        reader->path = path;
        reader->plan = exr_plan_read(path, choice, &refusal);
    } catch (const std::bad_alloc &) {
        delete reader;
        return fail_memory();
    }
    const ExrInputPlan *plan = reader->plan.get();
    if (!refusal.empty()) {
        fprintf(stderr, "exrinput: %s\n", refusal.c_str());
        delete reader;
        return nullptr;
    }
    if (plan && !plan->colour_channels) {
        // The RGBA interface would give black pixels without reading a byte of them.
        const char *names = plan->channel_names.empty() ? "none" : plan->channel_names.c_str();
        if (choice.part)
            fprintf(stderr, "exrinput: Part %d of ", plan->part);
        else
            fputs("exrinput: ", stderr);
        if (choice.layer)
            fprintf(stderr, "%s has no layer %s with R, G, B or Y channels (its channels: %s).\n",
                    path, choice.layer, names);
        else
            fprintf(stderr, "%s has no R, G, B or Y channel (its channels: %s).\n", path, names);
        if (!plan->colour_elsewhere.empty())
            fprintf(stderr, "exrinput: Its colour is read with %s.\n", plan->colour_elsewhere.c_str());
        delete reader;
        return nullptr;
    }
    if (plan && plan->primaries_dropped)
        fprintf(stderr, "exrinput: Ignoring the chromaticities of %s; they are not all finite.\n", path);
    reader->way = plan && plan->general ? &EXR_GENERAL_WAY : &EXR_RGBA_WAY;
    if (plan)
        reader->window = plan->window;
    return reader;
}

bool exr_reader_header_known(const ExrScanlineReader *reader)
{
    return reader->plan != nullptr;
}

int exr_reader_open_pixels(ExrScanlineReader *reader)
{
    std::string fault;
    if (open_input(reader, &fault))
        return 0;
    fprintf(stderr, "exrinput: %s\n", fault.c_str());
    return -1;
}

int32_t exr_reader_width(const ExrScanlineReader *reader)
{
    return reader->window.width;
}

int32_t exr_reader_height(const ExrScanlineReader *reader)
{
    return reader->window.height;
}

uint64_t exr_reader_least_bytes(const ExrScanlineReader *reader)
{
    return reader->plan ? reader->plan->least_bytes : 0;
}

uint64_t exr_reader_block_bytes(const ExrScanlineReader *reader)
{
    return reader->plan ? reader->plan->block_bytes : 0;
}

int32_t exr_reader_block_rows(const ExrScanlineReader *reader)
{
    return reader->plan ? reader->plan->block_rows : 1;
}

int exr_reader_compression(const ExrScanlineReader *reader)
{
    return reader->plan ? (int)reader->plan->header.compression() : -1;
}

ExrPictureInfo exr_reader_picture_info(const ExrScanlineReader *reader)
{
    return reader->plan ? reader->plan->info : ExrPictureInfo();
}

ExrRowKind exr_reader_row_kind(const ExrScanlineReader *reader)
{
    return reader->way == &EXR_GENERAL_WAY ? EXR_ROWS_FLOAT : EXR_ROWS_HALF;
}

int exr_reader_rows(ExrScanlineReader *reader, int32_t first, int32_t rows, void *band)
{
    int64_t y = (int64_t)reader->window.y_min + first;
    std::string fault = "the file could not be opened again";
    if (reader->input && reader->way->read(reader->input, y, rows, band, &fault))
        return 0;
    // Working on several blocks side by side, the library may have met a later block's fault
    // first. The rows are read again a block at a time, as one thread reads them; the file is
    // opened anew first, as the library's stream stays failed after a read past its end.
    std::string first_fault = fault;
    if (reader->input && rows > exr_reader_block_rows(reader)) {
        reader->way->close(reader->input);
        reader->input = nullptr;
        if (open_input(reader, &fault) && !read_block_by_block(reader, y, rows, (char *)band, &fault))
            first_fault = fault;
    }
    fprintf(stderr, "exrinput: %s\n", first_fault.c_str());
    return -1;
}

void exr_reader_close(ExrScanlineReader *reader)
{
    if (reader->input)
        reader->way->close(reader->input);
    delete reader;
}
