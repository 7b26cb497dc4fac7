#include "cli/exr_input_limits.h"
#include "cli/conversion.h"
#include "cli/conversion_threads.h"
#include "exr_io/exr_reader.h"
#include "exr_io/exr_compression.h"
#include "runtime/memory_limits.h"
#include "runtime/worker_pool.h"

#include <ImfCRgbaFile.h>

#include <cstdio>
#include <sys/stat.h>

namespace {

// What opening a file may allocate: the library's tables of 16 bytes per scanline, its header
// and line offsets, which take no more than the file's own bytes, its buffers for each block of
// scanlines it holds (about three times the block), and a fixed part. A damaged file that claims
// more gets std::bad_alloc at once, instead of gigabytes filled. The header alone is read first,
// within the fixed part and the file's bytes.
const uint64_t OPEN_MEMORY_FIXED = 64u << 20;
const uint64_t OPEN_MEMORY_PER_FILE_BYTE = 8;
const uint64_t OPEN_MEMORY_PER_ROW = 16;
const uint64_t OPEN_MEMORY_PER_BLOCK_BYTE = 4;
// The largest block of a file that is read: 131,072 pixels of RGBA halves in 256 rows (DWAB),
// a million in 32 (PIZ).
const uint64_t LARGEST_BLOCK_BYTES = 256u << 20;

// Scanlines a band holds at least: files of one-scanline blocks are read 32 scanlines a call.
const int32_t LEAST_BAND_ROWS = 32;

// What the bands hold for a pixel of their rows: four floats, and four halves besides where the
// reader gives halves.
uint64_t band_pixel_bytes(const ExrScanlineReader *reader)
{
    bool floats = exr_reader_row_kind(reader) == EXR_ROWS_FLOAT;
    return BAND_POOL_SIZE * (4 * sizeof(float) + (floats ? 0 : sizeof(ImfRgba)));
}

// How the picture is cut into bands: as many blocks of the file's compression a band as there
// are workers, at least LEAST_BAND_ROWS scanlines, within the budget.
BandLayout make_layout(const ExrScanlineReader *reader, WorkerPool *workers)
{
    int32_t block = exr_reader_block_rows(reader);
    int64_t wanted = (int64_t)block * (workers ? worker_pool_size(workers) : 1);
    if (wanted < LEAST_BAND_ROWS)
        wanted = LEAST_BAND_ROWS;
    int32_t width = exr_reader_width(reader);
    return band_layout(width, exr_reader_height(reader), band_pixel_bytes(reader),
                       band_rows_wanted(width, wanted), block);
}

bool damaged(const ExrScanlineReader *reader, uint64_t input_bytes)
{
    return input_bytes != 0 && input_bytes < exr_reader_least_bytes(reader);
}

// Why a file's picture can't be held: rows too wide for the bands, or blocks too large.
void report_too_large(const char *input, const Conversion *run, const ExrScanlineReader *reader)
{
    fprintf(stderr, "pictor: Cannot convert %s: ", input);
    if (run->layout.rows == 0) {
        fprintf(stderr, "its rows of %d pixels would take ", run->width);
        print_bytes((double)run->width * band_pixel_bytes(reader));
        fprintf(stderr, "; the limit is %llu pixels a row (",
                (unsigned long long)(BAND_POOL_BYTES / band_pixel_bytes(reader)));
        print_bytes(BAND_POOL_BYTES);
        fputs(").\n", stderr);
    } else {
        fputs("a block of its rows would take ", stderr);
        print_bytes((double)exr_reader_block_bytes(reader));
        fputs("; the limit is ", stderr);
        print_bytes(LARGEST_BLOCK_BYTES);
        fputs(".\n", stderr);
    }
}

}  // namespace

ExrScanlineReader *open_exr_input(const char *path, const ExrReadChoice &choice,
                                  WorkerPool *workers, ExrInputVerdict *verdict)
{
    struct stat st;
    verdict->input_bytes = stat(path, &st) == 0 && S_ISREG(st.st_mode) ? (uint64_t)st.st_size : 0;
    verdict->kind = ExrInputVerdict::TAKEN;
    uint64_t open_memory = OPEN_MEMORY_FIXED + OPEN_MEMORY_PER_FILE_BYTE * verdict->input_bytes;
    bound_allocations(open_memory);
    ExrScanlineReader *reader = exr_reader_begin(path, choice);
    bound_allocations(0);
    if (!reader)
        return nullptr;
    if (exr_reader_header_known(reader)) {
        if (make_layout(reader, workers).rows == 0 ||
            exr_reader_block_bytes(reader) > LARGEST_BLOCK_BYTES)
            verdict->kind = ExrInputVerdict::TOO_LARGE;
        else if (damaged(reader, verdict->input_bytes))
            verdict->kind = ExrInputVerdict::DAMAGED;
        if (verdict->kind != ExrInputVerdict::TAKEN)
            return reader;
    }
    // The library keeps two blocks in flight for each of its threads, at least one.
    BandLayout planned = make_layout(reader, workers);
    int threads = fit_library_threads(workers, planned.rows / exr_reader_block_rows(reader),
                                      exr_blocks_worth_threads(exr_reader_compression(reader),
                                                               exr_reader_block_bytes(reader)));
    uint64_t blocks = threads > 0 ? 2 * (uint64_t)threads : 1;
    bound_allocations(open_memory + OPEN_MEMORY_PER_ROW * (uint64_t)exr_reader_height(reader) +
                      OPEN_MEMORY_PER_BLOCK_BYTE * blocks * exr_reader_block_bytes(reader));
    int opened = exr_reader_open_pixels(reader);
    bound_allocations(0);
    if (opened != 0) {
        exr_reader_close(reader);
        return nullptr;
    }
    return reader;
}

int check_exr_input_size(Conversion *run, const ExrScanlineReader *reader,
                         const ExrInputVerdict &verdict)
{
    run->layout = make_layout(reader, run->workers);
    if (verdict.kind == ExrInputVerdict::TOO_LARGE || run->layout.rows == 0) {
        report_too_large(run->input, run, reader);
        return -1;
    }
    if (verdict.kind == ExrInputVerdict::DAMAGED || damaged(reader, verdict.input_bytes)) {
        fprintf(stderr, "pictor: %s is damaged: %lld bytes can't hold %d x %d pixels.\n",
                run->input, (long long)verdict.input_bytes, run->width, run->height);
        return -1;
    }
    return 0;
}
