// pictor_fromhalf: converts an OpenEXR file into a run-length coded Radiance RGBE picture, and
// writes every scanline as read into the raw dump "inscanline_out.raw" in the current
// directory (per scanline, 4 x width 32-bit floats: red, green, blue, alpha per pixel). Both
// are staged outputs: whole, or not written at all. The picture moves through in bands of
// rows: the calling thread has the library read a band, which it decompresses block by block
// on the workers; on the workers too, one band after another, the band is appended to the dump,
// then coded into the RGBE file while the next band goes to the dump.
#include "cli/command_line.h"
#include "cli/conversion_threads.h"
#include "cli/converters.h"
#include "runtime/band_pipeline.h"
#include "runtime/memory_limits.h"
#include "runtime/staged_output.h"
#include "runtime/worker_pool.h"
#include "exr_io/exr_half.h"
#include "exr_io/exr_reader.h"
#include "exr_io/exr_threads.h"
#include "rgbe/rgbe.h"

#include <ImfCRgbaFile.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char DUMP_PATH[] = "inscanline_out.raw";

// What opening a file may allocate: the library's tables of 16 bytes per scanline, its header
// and line offsets, which take no more than the file's own bytes, its buffers for each block of
// scanlines it holds (about three times the block), and a fixed part. A damaged file that claims more
// gets std::bad_alloc at once, instead of gigabytes filled. The header alone is read first,
// within the fixed part and the file's bytes.
const uint64_t OPEN_MEMORY_FIXED = 64u << 20;
const uint64_t OPEN_MEMORY_PER_FILE_BYTE = 8;
const uint64_t OPEN_MEMORY_PER_ROW = 16;
const uint64_t OPEN_MEMORY_PER_BLOCK_BYTE = 4;
// The largest block of a file that is read: 131,072 pixels of RGBA halves in 256 rows (DWAB),
// a million in 32 (PIZ).
const uint64_t LARGEST_BLOCK_BYTES = 256u << 20;

// A band of rows as read (RGBA halves, or four floats a pixel, as the reader gives them), and as
// the dump keeps them: four floats a pixel.
struct Band {
    void *rows;      // layout.rows x width pixels
    float *records;  // the same as floats: rows itself, or the halves widened
};

// Scanlines a band holds at least: files of one-scanline blocks are read 32 scanlines a call.
const int32_t LEAST_BAND_ROWS = 32;

// One run's state.
ExrScanlineReader *reader;
uint64_t input_bytes;         // the input's size when it is a regular file, else 0
int32_t width;
int32_t height;
BandLayout layout;
Band bands[BAND_POOL_SIZE];
char *band_memory;            // the bands' buffers, one allocation
WorkerPool *workers;          // null when the conversion runs on one thread
FILE *dump;
FILE *output;                 // the staged RGBE file
RgbeScanlineState scanlines;  // carried from one band to the next
bool output_failed;           // a write to the RGBE file failed; the dump goes on

// Releases what a run opened and allocated; every run ends here, whatever its outcome. The
// workers end first: the library's last blocks were decompressed there into its buffers and the
// bands, and joining them orders all they did before those are released.
int end_run(int status)
{
    stop_conversion_threads(workers);
    workers = nullptr;
    if (reader)
        exr_reader_close(reader);
    reader = nullptr;
    free(band_memory);
    band_memory = nullptr;
    for (Band &band : bands)
        band = Band{nullptr, nullptr};
    return status;
}

// How the picture is cut into bands: as many blocks of the file's compression a band as there
// are workers, at least LEAST_BAND_ROWS scanlines, within the budget. The bands hold four floats
// a pixel, and four halves besides where the reader gives halves.
uint64_t band_pixel_bytes(void)
{
    bool floats = exr_reader_row_kind(reader) == EXR_ROWS_FLOAT;
    return BAND_POOL_SIZE * (4 * sizeof(float) + (floats ? 0 : sizeof(ImfRgba)));
}

BandLayout make_layout(int32_t picture_width, int32_t picture_height)
{
    uint64_t bytes = band_pixel_bytes();
    int32_t block = exr_reader_block_rows(reader);
    int64_t wanted = (int64_t)block * (workers ? worker_pool_size(workers) : 1);
    if (wanted < LEAST_BAND_ROWS)
        wanted = LEAST_BAND_ROWS;
    return band_layout(picture_width, picture_height, bytes, band_rows_wanted(picture_width, wanted),
                       block);
}

// What the header alone says of the file, before the library opens it.
enum Verdict { FILE_TAKEN, FILE_TOO_LARGE, FILE_DAMAGED };

Verdict judge_file(void)
{
    if (!exr_reader_header_known(reader))
        return FILE_TAKEN;
    if (make_layout(exr_reader_width(reader), exr_reader_height(reader)).rows == 0 ||
        exr_reader_block_bytes(reader) > LARGEST_BLOCK_BYTES)
        return FILE_TOO_LARGE;
    if (input_bytes != 0 && input_bytes < exr_reader_least_bytes(reader))
        return FILE_DAMAGED;
    return FILE_TAKEN;
}

// Refuses, before anything is allocated, a picture whose bands or blocks can't be held or that
// its file can't plausibly hold. Every decision rests on the file and fixed limits alone.
// Returns 0 or -1 after a message.
// A size in bytes as people read it: "1.3 GB", "96 MB".
void print_bytes(double bytes)
{
    if (bytes >= 1024.0 * 1024 * 1024)
        fprintf(stderr, "%.1f GB", bytes / (1024.0 * 1024 * 1024));
    else
        fprintf(stderr, "%.0f MB", bytes / (1024.0 * 1024));
}

// Why a file's picture can't be held: rows too wide for the bands, or blocks too large.
void report_too_large(const char *input)
{
    fprintf(stderr, "pictor: Cannot convert %s: ", input);
    if (layout.rows == 0) {
        fprintf(stderr, "its rows of %d pixels would take ", width);
        print_bytes((double)width * band_pixel_bytes());
        fprintf(stderr, "; the limit is %llu pixels a row (",
                (unsigned long long)(BAND_POOL_BYTES / band_pixel_bytes()));
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

int check_size(const char *input, Verdict verdict)
{
    layout = make_layout(width, height);
    if (verdict == FILE_TOO_LARGE || layout.rows == 0) {
        report_too_large(input);
        return -1;
    }
    if (verdict == FILE_DAMAGED ||
        (input_bytes != 0 && input_bytes < exr_reader_least_bytes(reader))) {
        fprintf(stderr, "pictor: %s is damaged: %lld bytes can't hold %d x %d pixels.\n", input,
                (long long)input_bytes, width, height);
        return -1;
    }
    return 0;
}

// The bands, in one allocation: their records, then the rows as read where those are halves.
int allocate_buffers(void)
{
    size_t count = (size_t)layout.rows * (size_t)width;
    bool floats = exr_reader_row_kind(reader) == EXR_ROWS_FLOAT;
    size_t records_bytes = count * 4 * sizeof(float);
    size_t rows_bytes = floats ? 0 : count * sizeof(ImfRgba);
    band_memory = (char *)allocate_large(BAND_POOL_SIZE * (records_bytes + rows_bytes));
    if (!band_memory) {
        fputs("pictor: Cannot allocate memory.\n", stderr);
        return -1;
    }
    for (int i = 0; i < BAND_POOL_SIZE; i++) {
        bands[i].records = (float *)(band_memory + i * records_bytes);
        bands[i].rows = floats ? (void *)bands[i].records
                               : band_memory + BAND_POOL_SIZE * records_bytes + i * rows_bytes;
    }
    return 0;
}

// Fill stage: reads a band of scanlines.
int read_band(void *, int64_t index, void *data)
{
    Band *band = (Band *)data;
    return exr_reader_rows(reader, band_first_row(layout, index), band_rows(layout, index),
                           band->rows) == 0 ? 0 : 1;
}

// Drain stage: appends the band to the dump. A failed dump ends the run (status -1).
int dump_band(void *, int64_t index, void *data)
{
    Band *band = (Band *)data;
    size_t count = (size_t)band_rows(layout, index) * (size_t)width;
    // Values as a double holds them, as the dump has always had them: NaNs quiet.
    if (band->records != band->rows)
        exr_widen_halves((const uint16_t *)band->rows, band->records, 4 * count);
    else
        exr_quiet_nans(band->records, 4 * count);
    if (fwrite(band->records, 4 * sizeof(float), count, dump) < count)
        return rgbe_fail(RGBE_ERR_WRITE, nullptr);
    return 0;
}

// The second drain stage: codes the band's pixels into the RGBE file. After a failed write the
// dump is still completed.
int code_band(void *, int64_t index, void *data)
{
    const Band *band = (const Band *)data;
    if (!output_failed &&
        rgbe_put_scanline_band_rgba(output, band->records, width, band_rows(layout, index),
                                    &scanlines) != 0)
        output_failed = true;
    return 0;
}

// The driver's word after any failure of the dump, which names it.
int fail_dump(void)
{
    fprintf(stderr, "pictor: Cannot write %s.\n", DUMP_PATH);
    return -1;
}

// Refuses an output that is one of this process's standard streams. Returns 0, or -1 after a
// message.
int check_not_standard_stream(const char *path)
{
    const char *stream = standard_stream_name(path);
    if (!stream)
        return 0;
    fprintf(stderr, "pictor: Cannot write %s: it is this program's standard %s.\n", path, stream);
    return -1;
}

// Opens the dump: a temporary file beside it, or a device or pipe that it names. Returns 0, or
// -1 after a message.
int begin_dump(StagedOutput *staged)
{
    dump = nullptr;
    int begun = staged_output_begin(staged, DUMP_PATH, STAGED_DUMP);
    if (begun == 0)
        dump = staged_output_stream(staged);
    if (!dump) {
        if (begun == STAGED_REFUSED)
            fprintf(stderr, "pictor: Cannot write %s: %s\n", DUMP_PATH, staged->refusal);
        else
            rgbe_fail(RGBE_ERR_WRITE, nullptr);
        staged_output_discard(staged);
        return begun == STAGED_REFUSED ? -1 : fail_dump();
    }
    return 0;
}

// Completes the dump and moves it into place, or removes it after a failure (status -1 is the
// pipeline's failed write). Returns 0, or -1 after a message.
int finish_dump(StagedOutput *staged, int status)
{
    if (status == 0 && (fflush(dump) != 0 || ferror(dump)))
        status = rgbe_fail(RGBE_ERR_WRITE, nullptr);
    if (fclose(dump) != 0 && status == 0)
        status = rgbe_fail(RGBE_ERR_WRITE, nullptr);
    dump = nullptr;
    if (status == -1)
        fail_dump();
    if (status != 0) {
        staged_output_discard(staged);
        return status;
    }
    return staged_output_commit(staged) == 0 ? 0 : -1;
}

// Completes the RGBE file. Returns 0, or -1 after a message.
int finish_output(void)
{
    bool ok = !output_failed;
    if (ok && (fflush(output) != 0 || ferror(output))) {
        rgbe_fail(RGBE_ERR_WRITE, nullptr);
        ok = false;
    }
    if (fclose(output) != 0 && ok) {
        rgbe_fail(RGBE_ERR_WRITE, nullptr);
        ok = false;
    }
    output = nullptr;
    return ok ? 0 : -1;
}

// Opens the staged RGBE file and writes its header. Returns 0, or -1 after a message.
int begin_output(StagedOutput *staged, const char *path)
{
    output = nullptr;
    int begun = path[0] == '\0' ? -1 : staged_output_begin(staged, path, STAGED_PICTURE);
    if (begun == 0)
        output = staged_output_stream(staged);
    if (!output) {
        staged_output_discard(staged);
        printf("Writing RGBE file.\n");
        fflush(stdout);
        if (begun == STAGED_REFUSED)
            fprintf(stderr, "pictor: Cannot write %s: %s\n", path, staged->refusal);
        else
            fprintf(stderr, "Cannot open output file %s\n", path);
        return -1;
    }
    output_failed = rgbe_header_write(output, width, height, nullptr) != 0;
    scanlines.flat = false;
    return 0;
}

// Reads every scanline once, into the dump and the RGBE file, and completes both: the dump
// first, so that a failure of the RGBE file leaves a complete dump. Returns 0, 1 after a
// failure to read or to write the RGBE file, or -1 after a failure of the dump.
int convert(StagedOutput *staged)
{
    StagedOutput dump_stage;
    if (begin_dump(&dump_stage) != 0) {
        fclose(output);
        output = nullptr;
        staged_output_discard(staged);
        return -1;
    }
    void *pool[BAND_POOL_SIZE];
    for (int i = 0; i < BAND_POOL_SIZE; i++)
        pool[i] = &bands[i];
    BandStages stages = {read_band, dump_band, nullptr, true, code_band};
    int status = finish_dump(&dump_stage, run_band_pipeline(stages, pool, band_count(layout), workers));
    if (status == 0) {
        printf("Writing RGBE file.\n");
        fflush(stdout);
    } else {
        output_failed = true;
    }
    if (finish_output() != 0) {
        staged_output_discard(staged);
        return status != 0 ? status : 1;
    }
    return staged_output_commit(staged) == 0 ? 0 : 1;
}

}  // namespace

int fromhalf_run(int argc, const char *const *argv)
{
    command_line_set_program(PICTOR_FROMHALF);
    // The input is opened and its size reported before a later -h is honoured.
    CommandLineScan scan = scan_command_line(argc, argv);
    if (scan.version)
        print_version();
    if (scan.help && scan.input_path[0] == '\0')
        print_usage();
    if (command_line_check_paths(scan) != 0)
        return 1;
    int threads = scan.threads ? command_line_threads(scan.threads) : processors_available();
    if (threads == 0)
        return 1;
    workers = start_conversion_threads(threads);
    const char *input = scan.input_path;
    struct stat st;
    input_bytes = stat(input, &st) == 0 && S_ISREG(st.st_mode) ? (uint64_t)st.st_size : 0;
    uint64_t open_memory = OPEN_MEMORY_FIXED + OPEN_MEMORY_PER_FILE_BYTE * input_bytes;
    bound_allocations(open_memory);
    reader = exr_reader_begin(input);
    bound_allocations(0);
    if (!reader) {
        fprintf(stderr, "pictor: Cannot open %s.\n", input);
        return end_run(1);
    }
    // A file too large or that can't hold what its header claims is not opened: its tables and
    // buffers alone could take gigabytes. It is refused below, once the command line has been
    // looked at.
    Verdict verdict = judge_file();
    if (verdict == FILE_TAKEN) {
        // The library keeps two blocks in flight for each of its threads, at least one.
        BandLayout planned = make_layout(exr_reader_width(reader), exr_reader_height(reader));
        int library_threads =
            fit_library_threads(workers, planned.rows / exr_reader_block_rows(reader),
                                exr_blocks_worth_threads(exr_reader_compression(reader),
                                                         exr_reader_block_bytes(reader)));
        uint64_t blocks = library_threads > 0 ? 2 * (uint64_t)library_threads : 1;
        bound_allocations(open_memory + OPEN_MEMORY_PER_ROW * (uint64_t)exr_reader_height(reader) +
                          OPEN_MEMORY_PER_BLOCK_BYTE * blocks * exr_reader_block_bytes(reader));
        int opened = exr_reader_open_pixels(reader);
        bound_allocations(0);
        if (opened != 0) {
            fprintf(stderr, "pictor: Cannot open %s.\n", input);
            return end_run(1);
        }
    }
    width = exr_reader_width(reader);
    height = exr_reader_height(reader);
    printf("pictor: %s [%dx%d]\n", input, width, height);
    fflush(stdout);
    parse_command_line(argc, argv);
    const char *output_path = command_line_output_path();
    printf("The infilename is : %s\n", input);
    printf("The outfilename is : %s\n", output_path);
    printf("The width is : %d\n", width);
    printf("The height is : %d\n", height);
    fflush(stdout);
    if (output_path[0] != '\0' && same_file(input, output_path)) {
        fprintf(stderr, "pictor: The input and the output are the same file: %s\n", output_path);
        return end_run(1);
    }
    if (same_file(input, DUMP_PATH)) {
        fprintf(stderr, "pictor: The input is the dump file %s; it would be overwritten.\n",
                DUMP_PATH);
        return end_run(1);
    }
    if (output_path[0] != '\0' && same_place(output_path, DUMP_PATH) &&
        !(is_null_device(output_path) && is_null_device(DUMP_PATH))) {
        fprintf(stderr, "pictor: The output %s is the dump file %s; one would overwrite the other.\n",
                output_path, DUMP_PATH);
        return end_run(1);
    }
    if (check_not_standard_stream(output_path) != 0)
        return end_run(1);
    if (check_not_standard_stream(DUMP_PATH) != 0)
        return end_run(-1);
    if (check_size(input, verdict) != 0 || allocate_buffers() != 0)
        return end_run(1);
    StagedOutput staged;
    if (begin_output(&staged, output_path) != 0)
        return end_run(1);
    int status = convert(&staged);
    if (status != 0)
        return end_run(status);
    fputs("\npictor: Done.\n", stderr);
    return end_run(0);
}
