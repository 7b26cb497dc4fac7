// pictor_tohalf: converts a Radiance RGBE picture into an OpenEXR RGBA half-float file (or, with
// --float, 32-bit float file), with the gamma and exposure of the picture's header applied (see
// cli/picture_values.h). The picture moves through in bands of rows: a worker decodes a band,
// applies gamma and exposure and narrows it; the calling thread hands it to the library, which
// compresses its blocks on the workers.
#include "cli/command_line.h"
#include "cli/conversion.h"
#include "cli/conversion_threads.h"
#include "cli/converters.h"
#include "cli/picture_values.h"
#include "exr_io/exr_compression.h"
#include "exr_io/exr_half.h"
#include "exr_io/exr_writer.h"
#include "rgbe/rgbe.h"
#include "runtime/memory_limits.h"
#include "runtime/staged_output.h"
#include "runtime/worker_pool.h"

#include <ImfCRgbaFile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sys/stat.h>

namespace {

// A band of rows in the output's form.
struct Band {
    ImfRgba *halves;   // layout.rows x width, for a half file
    float *floats;     // layout.rows x width x 4, for a float file
    Clamped clamped;   // its values too bright for the output
};

// Rows decoded at a time, into a buffer that stays in the processor's cache while gamma,
// exposure and narrowing pass over it.
const int32_t DECODE_ROWS = 4;

// The OpenEXR library keeps tables of 16 bytes per row of the file it writes, from its open on.
// A picture taller than this is begun only when its input is a regular file that can hold its
// pixels, so that no header of a few bytes makes the library fill gigabytes; a shorter one is
// decoded until its data ends.
const int32_t TALL_PICTURE_ROWS = 1 << 22;

// One run's state, beside the Conversion. Changed on the main thread before the pipeline and
// after it, unless a field says otherwise.
struct Tohalf {
    Conversion *run;
    bool float_output;                 // --float: 32-bit float channels instead of halves
    ExrCompression compression;        // --compression
    ClampCeiling ceiling;              // what values too bright for the output are stored as
    int32_t block_rows;                // of a block of the compression: a band holds two blocks
                                       // for each worker, which the library codes side by side
    FILE *input;                       // read by the decode stage alone while the pipeline runs
    RgbeHeaderInfo header_info;
    HeaderFactors factors;             // what of them acts on the pixels
    Band bands[BAND_POOL_SIZE];        // each changed by the stage that holds it
    // The decode stage's own while the pipeline runs: it takes one band at a time.
    RgbeScanlineState scanlines;       // carried from one band to the next
    double *decoded;                   // the rows being decoded (RgbPixelBuffer, DECODE_ROWS rows)
    bool read_failed;                  // the codec reported the pixel data
    int read_error;                    // and the system's error, when a read failed (else 0)
    // The write stage's own while the pipeline runs, on the main thread.
    StagedOutput staged;
    ExrScanlineWriter *writer;
    bool write_failed;                 // the writer reported a failed row
    Clamped clamped;                   // of the whole picture
    char input_buffer[1 << 18];        // the RGBE decoder takes a few bytes at a time
};

// The fewest bytes that pixel data of this size can take: a coded row is at least its marker
// and, in each of its four planes, one run packet per 127 bytes; flat data takes 4 bytes a pixel.
uint64_t least_pixel_data_bytes(int32_t width, int32_t height)
{
    uint64_t row_bytes = 4 * (uint64_t)width;
    if (width >= RGBE_RLE_MIN_WIDTH && width <= RGBE_RLE_MAX_WIDTH)
        row_bytes = 4 + 4 * 2 * (((uint64_t)width + RGBE_MAX_RUN - 1) / RGBE_MAX_RUN);
    return row_bytes * (uint64_t)height;
}

// Sizes come from the file: refuse what can't be a picture or can't be held, before any buffer
// is allocated. Every decision rests on the file and fixed limits alone. Returns 0 or -1 after a
// message.
int check_size(Tohalf *t)
{
    Conversion *run = t->run;
    int32_t width = run->width, height = run->height;
    if (width < 1 || height < 1) {
        fprintf(stderr, "pictor: Invalid picture size %d x %d.\n", width, height);
        return -1;
    }
    // The bands hold four halves (or floats) a pixel, the rows being decoded three doubles: as
    // many rows as a band, up to DECODE_ROWS.
    uint64_t band_bytes = BAND_POOL_SIZE * (t->float_output ? 4 * sizeof(float) : sizeof(ImfRgba));
    uint64_t decoded_bytes = 3 * sizeof(double);
    int32_t wanted = band_rows_wanted(
        width, (int64_t)t->block_rows * (run->workers ? 2 * worker_pool_size(run->workers) : 1));
    run->layout = band_layout(width, height, band_bytes + decoded_bytes, wanted, t->block_rows);
    uint64_t decoded_rows_bytes = DECODE_ROWS * decoded_bytes * (uint64_t)width;
    if (run->layout.rows > DECODE_ROWS && decoded_rows_bytes < BAND_POOL_BYTES) {
        BandLayout larger = band_layout(width, height, band_bytes, wanted, t->block_rows,
                                        BAND_POOL_BYTES - decoded_rows_bytes);
        if (larger.rows > run->layout.rows)
            run->layout = larger;
    }
    struct stat st;
    long header_end = ftell(t->input);
    bool holds_pixels = fstat(fileno(t->input), &st) == 0 && S_ISREG(st.st_mode) &&
                        header_end >= 0 &&
                        (uint64_t)(st.st_size - header_end) >= least_pixel_data_bytes(width, height);
    if (run->layout.rows == 0 || (height > TALL_PICTURE_ROWS && !holds_pixels)) {
        fprintf(stderr, "pictor: A %d x %d picture does not fit in memory.\n", width, height);
        return -1;
    }
    return 0;
}

// The rows being decoded stand for the picture as decoded, the bands for the copy that gamma
// and exposure act on: their failures keep the messages of those two buffers.
int allocate_bands(Tohalf *t)
{
    Conversion *run = t->run;
    size_t pixels = (size_t)run->layout.rows * (size_t)run->width;
    t->decoded = (double *)malloc((size_t)std::min(run->layout.rows, DECODE_ROWS) *
                                  (size_t)run->width * 3 * sizeof(double));
    if (!t->decoded) {
        fputs("Could not allocate memory for scene_IO \n", stderr);
        return -1;
    }
    size_t band_bytes = pixels * (t->float_output ? 4 * sizeof(float) : sizeof(ImfRgba));
    run->band_memory = (char *)allocate_large(BAND_POOL_SIZE * band_bytes);
    if (!run->band_memory) {
        fputs("Could not allocate memory for scene \n", stderr);
        return -1;
    }
    for (int i = 0; i < BAND_POOL_SIZE; i++) {
        char *memory = run->band_memory + i * band_bytes;
        t->bands[i] = Band{t->float_output ? nullptr : (ImfRgba *)memory,
                           t->float_output ? (float *)memory : nullptr, {0, 0.0}};
        run->bands[i] = &t->bands[i];
    }
    return 0;
}

// What the conversion reports once the picture is known to decode (or, when the output fails
// first, as if it did): factors ignored on stderr; factors applied, then the size, on stdout.
void report_picture(const Tohalf *t)
{
    report_factors(t->factors, t->header_info);
    progress("The width is : %d\n", t->run->width);
    progress("The height is : %d\n", t->run->height);
    fflush(stdout);
}

// Decode stage, on the workers: decodes a band a few rows at a time, applies gamma and
// exposure, and narrows the rows, alpha 0, to the halves or floats that the writer takes.
int decode_band(void *state, int64_t index, void *data)
{
    Tohalf *t = (Tohalf *)state;
    Band *band = (Band *)data;
    const int32_t width = t->run->width, rows = band_rows(t->run->layout, index);
    band->clamped = Clamped{0, 0.0};
    for (int32_t row = 0; row < rows; row += DECODE_ROWS) {
        int32_t count_rows = std::min(DECODE_ROWS, rows - row);
        double *pixel = t->decoded;
        if (rgbe_get_scanline_band(t->input, pixel, width, count_rows, &t->scanlines) != 0) {
            t->read_error = ferror(t->input) ? errno : 0;
            t->read_failed = true;
            return 1;
        }
        size_t count = (size_t)count_rows * (size_t)width;
        for (size_t i = 0; t->factors.apply_gamma && i < 3 * count; i++)
            pixel[i] = pow(pixel[i], t->factors.gamma_power);
        for (size_t i = 0; t->factors.apply_exposure && i < 3 * count; i++)
            pixel[i] *= t->factors.multiplier;
        clamp_too_bright(pixel, count, t->ceiling, &band->clamped);
        size_t first = (size_t)row * (size_t)width;
        if (!t->float_output) {
            exr_narrow_rgb_to_rgba(pixel, (uint16_t *)(band->halves + first), count);
            continue;
        }
        float *out = band->floats + 4 * first;
        for (size_t i = 0; i < count; i++, pixel += 3, out += 4) {
            out[0] = (float)pixel[0];
            out[1] = (float)pixel[1];
            out[2] = (float)pixel[2];
            out[3] = 0.0f;
        }
    }
    return 0;
}

// Write stage, on the main thread: writes the band's rows.
int write_band(void *state, int64_t index, void *data)
{
    Tohalf *t = (Tohalf *)state;
    const Band *band = (const Band *)data;
    int32_t rows = band_rows(t->run->layout, index);
    if (exr_writer_rows(t->writer, t->float_output ? (void *)band->floats : (void *)band->halves,
                        rows) != 0) {
        t->write_failed = true;
        return 1;
    }
    t->clamped.pixels += band->clamped.pixels;
    t->clamped.brightest = std::max(t->clamped.brightest, band->clamped.brightest);
    return 0;
}

// After the codec's message for the input: a line that names the file, with the system's
// reason where a read failed.
void name_unreadable_input(const char *path, int error)
{
    if (error)
        fprintf(stderr, "pictor: Cannot read %s: %s\n", path, strerror(error));
    else
        fprintf(stderr, "pictor: Cannot read %s.\n", path);
}

// Opens the input, reads its header and prepares everything the bands need.
int open_input(void *state, Conversion *run)
{
    Tohalf *t = (Tohalf *)state;
    t->input = fopen(run->input, "rb");
    if (!t->input) {
        int error = errno;
        fprintf(stderr, "Cannot open input file %s\n", run->input);
        if (run->input[0] == '\0')
            fputs("pictor: No input file given (-i input.hdr).\n", stderr);
        else
            fprintf(stderr, "pictor: Cannot open %s: %s\n", run->input, strerror(error));
        return 1;
    }
    setvbuf(t->input, t->input_buffer, _IOFBF, sizeof t->input_buffer);
    if (rgbe_header_read_noting(t->input, &run->width, &run->height, &t->header_info,
                                note_header_line, &t->factors) != 0) {
        name_unreadable_input(run->input, ferror(t->input) ? errno : 0);
        if (t->factors.xyze)
            fprintf(stderr, "pictor: %s is an XYZE picture (CIE XYZ); only RGBE pictures are "
                            "converted.\n", run->input);
        return 1;
    }
    if (check_size(t) != 0 || allocate_bands(t) != 0)
        return 1;
    choose_factors(&t->factors, t->header_info);
    return 0;
}

// Stages the output and opens the library's file there.
int begin_output(void *state, Conversion *run)
{
    Tohalf *t = (Tohalf *)state;
    int begun = staged_output_begin(&t->staged, run->output, STAGED_PICTURE);
    if (begun != 0) {
        const char *reason = begun == STAGED_REFUSED ? t->staged.refusal : strerror(errno);
        report_picture(t);
        fprintf(stderr, begun == STAGED_REFUSED ? "pictor: Cannot write %s: %s\n"
                                                : "pictor: Cannot open %s: %s\n",
                run->output, reason);
        return 1;
    }
    uint64_t block_bytes = (uint64_t)run->width * t->block_rows * (t->float_output ? 16 : 8);
    fit_library_threads(run->workers, run->layout.rows / t->block_rows,
                        exr_blocks_worth_threads(t->compression.compression, block_bytes));
    const char *path = staged_output_write_path(&t->staged);
    ExrOutputOptions options;
    options.floats = t->float_output;
    options.compression = t->compression;
    options.info = picture_info_of(t->factors);
    t->writer = exr_writer_open(path, run->width, run->height, options);
    if (!t->writer) {
        staged_output_discard(&t->staged);
        report_picture(t);
        fprintf(stderr, "pictor: Cannot open %s.\n", run->output);
        return 1;
    }
    return 0;
}

// Completes the file, and puts it in place after its check; or reports why it can't be.
int finish(void *state, Conversion *run, int status)
{
    Tohalf *t = (Tohalf *)state;
    if (status != 0) {
        exr_writer_abandon(t->writer);
        t->writer = nullptr;
        staged_output_discard(&t->staged);
        if (t->read_failed)
            name_unreadable_input(run->input, t->read_error);
        if (!t->write_failed)
            return 1;  // the input's failure has been reported
        report_picture(t);
        fprintf(stderr, "pictor: Cannot write %s.\n", run->output);
        return 1;
    }
    report_picture(t);
    status = exr_writer_close(t->writer);
    t->writer = nullptr;
    if (status != 0) {
        staged_output_discard(&t->staged);
        fprintf(stderr, "pictor: Cannot write %s.\n", run->output);
        return 1;
    }
    if (staged_output_finish(&t->staged, nullptr, true) != 0)
        return 1;
    report_clamped(t->clamped, t->ceiling);
    return 0;
}

void release(void *state)
{
    Tohalf *t = (Tohalf *)state;
    if (t->input)
        fclose(t->input);
    free(t->decoded);
}

}  // namespace

int tohalf_run(int argc, const char *const *argv)
{
    command_line_set_program(PICTOR_TOHALF);
    parse_command_line(argc, argv);
    const CommandLineScan &words = command_line();
    set_quiet(words.quiet);
    ExrCompression compression;
    if (words.compression && !exr_compression_named(words.compression, &compression)) {
        fprintf(stderr, "pictor: --compression takes one of %s (zip and zips with a level from "
                        ":1 to :9, dwaa and dwab with a level above 0), not \"%s\".\n",
                EXR_COMPRESSION_NAMES, words.compression);
        return 1;
    }
    if (command_line_check_paths(words) != 0)
        return 1;
    if (words.no_clobber && words.output_path[0] != '\0') {
        // An output made already: one line, and nothing else is done.
        if (words.threads && command_line_threads(words.threads) == 0)
            return 1;
        if (keep_existing(words.output_path))
            return 0;
    }
    progress("The infilename is : %s\n", words.input_path);
    progress("The outfilename is : %s\n", words.output_path);
    fflush(stdout);
    if (words.output_path[0] == '\0') {
        fputs("pictor: No output file given (-o output.exr).\n", stderr);
        return 1;
    }
    if (refuse_same_file(words.input_path, words.output_path) != 0 ||
        refuse_standard_stream(words.output_path) != 0)
        return 1;
    int threads = words.threads ? command_line_threads(words.threads) : processors_available();
    if (threads == 0)
        return 1;
    std::unique_ptr<Tohalf> t(new (std::nothrow) Tohalf());
    if (!t) {
        fputs("pictor: Cannot allocate memory.\n", stderr);
        return 1;
    }
    Conversion run = {words.input_path, words.output_path, threads, nullptr, 0, 0, {}, nullptr, {}};
    t->run = &run;
    t->float_output = words.float_output;
    t->compression = compression;
    t->block_rows = exr_compression_block_rows(compression.compression);
    t->ceiling = clamp_ceiling(t->float_output, compression);
    ConversionSteps steps = {t.get(), open_input, begin_output,
                             {{decode_band, ON_WORKERS}, {write_band, ON_CALLER}}, 2,
                             finish, release};
    return run_conversion(&run, steps);
}
