// pictor_tohalf: converts a Radiance RGBE picture into an OpenEXR RGBA half-float file (or, with
// --float, 32-bit float file), with the gamma and exposure of the picture's header applied. The
// picture moves through in bands of rows: a worker decodes a band, applies gamma and exposure
// and narrows it; the calling thread hands it to the library, which compresses its blocks on
// the workers. Only a few bands are ever held, whatever the picture's height. Values too bright
// for the output's type are stored as its largest value, never as an infinity, and counted for
// one warning at the end.
#include "cli/command_line.h"
#include "cli/conversion_threads.h"
#include "cli/converters.h"
#include "exr_io/exr_half.h"
#include "exr_io/exr_writer.h"
#include "rgbe/rgbe.h"
#include "runtime/band_pipeline.h"
#include "runtime/memory_limits.h"
#include "runtime/staged_output.h"
#include "runtime/worker_pool.h"

#include <ImfCRgbaFile.h>

#include <cerrno>
#include <emmintrin.h>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <sys/stat.h>

namespace {

// A band of rows in the output's form.
struct Band {
    ImfRgba *halves;   // layout.rows x width, for a half file
    float *floats;     // layout.rows x width x 4, for a float file
    uint64_t clamped;  // pixels of the band that were too bright for the output
    double brightest;  // the largest of their values
};

// Rows of a block of the output's PIZ compression: a band holds as many blocks as there are
// workers, so that the library compresses them side by side.
const int32_t BLOCK_ROWS = 32;

// Rows decoded at a time, into a buffer that stays in the processor's cache while gamma,
// exposure and narrowing pass over it.
const int32_t DECODE_ROWS = 4;

// The least value that narrows to an infinity, and what such values are stored as.
const float HALF_OVERFLOW = 65520.0f;
const double HALF_LARGEST = 65504.0;

// One run's state.
FILE *input;
int32_t width;
int32_t height;
BandLayout layout;
RgbeHeaderInfo header_info;
RgbeScanlineState scanlines;       // carried from one band to the next
bool apply_gamma, apply_exposure;  // the header's values that act on the pixels
double gamma_power, multiplier;
Band bands[BAND_POOL_SIZE];
char *band_memory;                 // the bands' pixels, one allocation
double *decoded;                   // the rows being decoded (RgbPixelBuffer of DECODE_ROWS rows)
WorkerPool *workers;               // null when the conversion runs on one thread
ExrScanlineWriter *writer;
bool write_failed;                 // the writer reported a failed row
bool read_failed;                  // the codec reported the pixel data
int read_error;                    // and the system's error, when a read failed (else 0)
bool float_output;                 // --float: 32-bit float channels instead of halves
uint64_t clamped_pixels;           // of the whole picture
double brightest;
char *skipped_notes;               // warnings for factor lines the header reader passed over
size_t skipped_notes_length;
// The RGBE decoder takes a few bytes at a time: a large buffer saves system calls.
char input_buffer[1 << 18];

// Releases what a run opened and allocated; every run ends here, whatever its outcome.
int end_run(int status)
{
    stop_conversion_threads(workers);  // first: they worked on the bands released below
    workers = nullptr;
    if (input)
        fclose(input);
    input = nullptr;
    free(decoded);
    decoded = nullptr;
    free(band_memory);
    band_memory = nullptr;
    for (Band &band : bands)
        band = Band{};
    free(skipped_notes);
    skipped_notes = nullptr;
    skipped_notes_length = 0;
    return status;
}

// The fewest bytes that pixel data of this size can take: a coded row is at least its marker
// and, in each of its four planes, one run packet per 127 bytes; flat data takes 4 bytes a pixel.
uint64_t least_pixel_data_bytes(void)
{
    uint64_t row_bytes = 4 * (uint64_t)width;
    if (width >= RGBE_RLE_MIN_WIDTH && width <= RGBE_RLE_MAX_WIDTH)
        row_bytes = 4 + 4 * 2 * (((uint64_t)width + RGBE_MAX_RUN - 1) / RGBE_MAX_RUN);
    return row_bytes * (uint64_t)height;
}

// The OpenEXR library keeps tables of 16 bytes per row of the file it writes, from its open on.
// A picture taller than this is begun only when its input is a regular file that can hold its
// pixels, so that no header of a few bytes makes the library fill gigabytes; a shorter one is
// decoded until its data ends.
const int32_t TALL_PICTURE_ROWS = 1 << 22;

// Sizes come from the file: refuse what can't be a picture or can't be held, before any buffer
// is allocated. Every decision rests on the file and fixed limits alone. Returns 0 or -1 after a
// message.
int check_size(void)
{
    if (width < 1 || height < 1) {
        fprintf(stderr, "pictor: Invalid picture size %d x %d.\n", width, height);
        return -1;
    }
    // The bands hold four halves (or floats) a pixel, the rows being decoded three doubles: as
    // many rows as a band, up to DECODE_ROWS.
    uint64_t band_bytes = BAND_POOL_SIZE * (float_output ? 4 * sizeof(float) : sizeof(ImfRgba));
    uint64_t decoded_bytes = 3 * sizeof(double);
    int32_t wanted = band_rows_wanted(width, BLOCK_ROWS * (workers ? 2 * worker_pool_size(workers) : 1));
    layout = band_layout(width, height, band_bytes + decoded_bytes, wanted, BLOCK_ROWS);
    uint64_t decoded_rows_bytes = DECODE_ROWS * decoded_bytes * (uint64_t)width;
    if (layout.rows > DECODE_ROWS && decoded_rows_bytes < BAND_POOL_BYTES) {
        BandLayout larger = band_layout(width, height, band_bytes, wanted, BLOCK_ROWS,
                                        BAND_POOL_BYTES - decoded_rows_bytes);
        if (larger.rows > layout.rows)
            layout = larger;
    }
    struct stat st;
    long header_end = ftell(input);
    bool holds_pixels = fstat(fileno(input), &st) == 0 && S_ISREG(st.st_mode) &&
                        header_end >= 0 &&
                        (uint64_t)(st.st_size - header_end) >= least_pixel_data_bytes();
    if (layout.rows == 0 || (height > TALL_PICTURE_ROWS && !holds_pixels)) {
        fprintf(stderr, "pictor: A %d x %d picture does not fit in memory.\n", width, height);
        return -1;
    }
    return 0;
}

// The rows being decoded stand for the picture as decoded, the bands for the copy that gamma
// and exposure act on: their failures keep the messages of those two buffers.
int allocate_bands(void)
{
    size_t pixels = (size_t)layout.rows * (size_t)width;
    decoded = (double *)malloc((size_t)std::min(layout.rows, DECODE_ROWS) * (size_t)width * 3 *
                               sizeof(double));
    if (!decoded) {
        fputs("Could not allocate memory for scene_IO \n", stderr);
        return -1;
    }
    size_t band_bytes = pixels * (float_output ? 4 * sizeof(float) : sizeof(ImfRgba));
    band_memory = (char *)allocate_large(BAND_POOL_SIZE * band_bytes);
    if (!band_memory) {
        fputs("Could not allocate memory for scene \n", stderr);
        return -1;
    }
    for (int i = 0; i < BAND_POOL_SIZE; i++) {
        if (float_output)
            bands[i].floats = (float *)(band_memory + i * band_bytes);
        else
            bands[i].halves = (ImfRgba *)(band_memory + i * band_bytes);
    }
    return 0;
}

// Gamma and exposure act only when they are finite and positive: some writers put "GAMMA=0"
// or "EXPOSURE=0" in every file, which would make the picture all ones or all black.
bool usable_factor(float value)
{
    return std::isfinite(value) && value > 0.0f;
}

void choose_factors(void)
{
    gamma_power = header_info.gamma;
    apply_gamma = gamma_power != 1.0 && usable_factor(header_info.gamma);
    double exposure = header_info.exposure;
    apply_exposure = exposure != 1.0 && usable_factor(header_info.exposure);
    multiplier = pow(exposure, 2.0);
}

void warn_ignored(const char *name, float value)
{
    if ((double)value != 1.0 && !usable_factor(value))
        fprintf(stderr, "pictor: Ignoring %s %f, which is not a positive number.\n", name,
                (double)value);
}

// Keeps the warning for a factor line that the header reader passed over, unless its value is
// 1, which it would not have changed anything. A warning that can't be kept for lack of memory
// is lost.
void note_skipped_factor(void *, const RgbeSkippedFactor *factor)
{
    if (factor->value == 1.0f)
        return;
    char text[200];
    int length = snprintf(text, sizeof text,
                          "pictor: Ignoring %s=%g on header line %d; only GAMMA= and EXPOSURE= "
                          "right after FORMAT= are applied.\n",
                          factor->name, (double)factor->value, factor->line);
    char *grown = (char *)realloc(skipped_notes, skipped_notes_length + (size_t)length + 1);
    if (length < 0 || !grown)
        return;
    memcpy(grown + skipped_notes_length, text, (size_t)length + 1);
    skipped_notes = grown;
    skipped_notes_length += (size_t)length;
}

// What the conversion reports once the picture is known to decode (or, when the output fails
// first, as if it did): factors ignored on stderr; factors applied, then the size, on stdout.
void report_picture(void)
{
    if (skipped_notes)
        fputs(skipped_notes, stderr);
    warn_ignored("gamma", header_info.gamma);
    warn_ignored("exposure", header_info.exposure);
    if (apply_gamma)
        printf("Gamma in RGBE image = %f \n", gamma_power);
    if (apply_exposure) {
        printf("Exposure in RGBE image = %f \n", (double)header_info.exposure);
        printf("expmult %f \n", multiplier);
    }
    printf("The width is : %d\n", width);
    printf("The height is : %d\n", height);
    fflush(stdout);
}

// The largest magnitude among count values (none of them NaN), two at a time.
double largest_value(const double *values, size_t count)
{
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
    __m128d most = _mm_setzero_pd();
    size_t i = 0;
    for (; i + 2 <= count; i += 2)
        most = _mm_max_pd(most, _mm_and_pd(_mm_loadu_pd(values + i), magnitude));
    double pair[2];
    _mm_storeu_pd(pair, most);
    double largest = std::max(pair[0], pair[1]);
    for (; i < count; i++)
        largest = std::max(largest, std::fabs(values[i]));
    return largest;
}

// Stores the components that would narrow to an infinity as the output's largest value with
// their sign, and counts their pixels in the band. Decoded values are positive, and so are
// they after gamma and exposure, or an infinity from them.
void clamp_rows(Band *band, double *pixel, size_t count)
{
    const float overflow = float_output ? INFINITY : HALF_OVERFLOW;
    const double largest = float_output ? FLT_MAX : HALF_LARGEST;
    if ((float)largest_value(pixel, 3 * count) < overflow)
        return;  // as nearly always
    for (size_t i = 0; i < count; i++, pixel += 3) {
        double most = std::max(std::fabs(pixel[0]), std::max(std::fabs(pixel[1]), std::fabs(pixel[2])));
        if ((float)most < overflow)
            continue;
        for (int c = 0; c < 3; c++) {
            if (std::fabs((float)pixel[c]) >= overflow)
                pixel[c] = std::copysign(largest, pixel[c]);
        }
        band->clamped++;
        band->brightest = std::max(band->brightest, most);
    }
}

// Fill stage: decodes a band a few rows at a time, applies gamma and exposure, and narrows the
// rows, alpha 0, to the halves or floats that the writer takes.
int decode_band(void *, int64_t index, void *data)
{
    Band *band = (Band *)data;
    band->clamped = 0;
    band->brightest = 0.0;
    int32_t rows = band_rows(layout, index);
    for (int32_t row = 0; row < rows; row += DECODE_ROWS) {
        int32_t count_rows = std::min(DECODE_ROWS, rows - row);
        double *pixel = decoded;
        if (rgbe_get_scanline_band(input, pixel, width, count_rows, &scanlines) != 0) {
            read_error = ferror(input) ? errno : 0;
            read_failed = true;
            return 1;
        }
        size_t count = (size_t)count_rows * (size_t)width;
        if (apply_gamma) {
            for (size_t i = 0; i < 3 * count; i++)
                pixel[i] = pow(pixel[i], gamma_power);
        }
        if (apply_exposure) {
            for (size_t i = 0; i < 3 * count; i++)
                pixel[i] *= multiplier;
        }
        clamp_rows(band, pixel, count);
        size_t first = (size_t)row * (size_t)width;
        if (!float_output) {
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

// Drain stage: writes the band's rows.
int write_band(void *, int64_t index, void *data)
{
    const Band *band = (const Band *)data;
    int32_t rows = band_rows(layout, index);
    int status = float_output ? exr_writer_float_rows(writer, band->floats, rows)
                              : exr_writer_half_rows(writer, band->halves, rows);
    if (status != 0) {
        write_failed = true;
        return 1;
    }
    clamped_pixels += band->clamped;
    brightest = std::max(brightest, band->brightest);
    return 0;
}

// The warning for values stored as the output's largest value, once the picture is written.
void report_clamped(void)
{
    if (clamped_pixels == 0)
        return;
    if (float_output)
        fprintf(stderr, "pictor: %llu pixels are brighter than a 32-bit float holds (brightest: "
                        "%g); they are stored as %g.\n",
                (unsigned long long)clamped_pixels, brightest, (double)FLT_MAX);
    else
        fprintf(stderr, "pictor: %llu pixels are brighter than a half float holds (brightest: %g); "
                        "they are stored as 65504. Use --float to keep them.\n",
                (unsigned long long)clamped_pixels, brightest);
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

// Reads the input's header and prepares everything the bands need. Returns 0 or -1 after a
// message.
int load_header(void)
{
    const char *path = command_line_input_path();
    input = fopen(path, "rb");
    if (!input) {
        int error = errno;
        fprintf(stderr, "Cannot open input file %s\n", path);
        if (path[0] == '\0')
            fputs("pictor: No input file given (-i input.hdr).\n", stderr);
        else
            fprintf(stderr, "pictor: Cannot open %s: %s\n", path, strerror(error));
        return -1;
    }
    setvbuf(input, input_buffer, _IOFBF, sizeof input_buffer);
    if (rgbe_header_read_noting(input, &width, &height, &header_info, note_skipped_factor,
                                nullptr) != 0) {
        name_unreadable_input(path, ferror(input) ? errno : 0);
        return -1;
    }
    if (check_size() != 0 || allocate_bands() != 0)
        return -1;
    scanlines.flat = false;
    choose_factors();
    return 0;
}

// Converts the picture into the staged output. Returns 0 or -1 after a message.
int convert(StagedOutput *staged, const char *output)
{
    const char *path = staged->write_path.c_str();
    fit_library_threads(workers, layout.rows / BLOCK_ROWS, true);  // PIZ
    writer = float_output ? exr_writer_open_float(path, width, height)
                          : exr_writer_open(path, width, height);
    if (!writer) {
        report_picture();
        fprintf(stderr, "pictor: Cannot open %s.\n", output);
        return -1;
    }
    write_failed = false;
    read_failed = false;
    clamped_pixels = 0;
    brightest = 0.0;
    BandStages stages = {decode_band, write_band, nullptr, false, nullptr};
    void *pool[BAND_POOL_SIZE];
    for (int i = 0; i < BAND_POOL_SIZE; i++)
        pool[i] = &bands[i];
    int status = run_band_pipeline(stages, pool, band_count(layout), workers);
    if (status != 0) {
        exr_writer_abandon(writer);
        writer = nullptr;
        if (read_failed)
            name_unreadable_input(command_line_input_path(), read_error);
        if (!write_failed)
            return -1;  // the input's failure has been reported
        report_picture();
        fprintf(stderr, "pictor: Cannot write %s.\n", output);
        return -1;
    }
    report_picture();
    status = exr_writer_close(writer);
    writer = nullptr;
    if (status != 0) {
        fprintf(stderr, "pictor: Cannot write %s.\n", output);
        return -1;
    }
    return 0;
}

}  // namespace

int tohalf_run(int argc, const char *const *argv)
{
    command_line_set_program(PICTOR_TOHALF);
    parse_command_line(argc, argv);
    const CommandLineScan &words = command_line();
    if (command_line_check_paths(words) != 0)
        return 1;
    const char *input_path = words.input_path;
    const char *output = words.output_path;
    float_output = words.float_output;
    printf("The infilename is : %s\n", input_path);
    printf("The outfilename is : %s\n", output);
    fflush(stdout);
    if (output[0] == '\0') {
        fputs("pictor: No output file given (-o output.exr).\n", stderr);
        return 1;
    }
    if (same_file(input_path, output)) {
        fprintf(stderr, "pictor: The input and the output are the same file: %s\n", output);
        return 1;
    }
    if (const char *stream = standard_stream_name(output)) {
        fprintf(stderr, "pictor: Cannot write %s: it is this program's standard %s.\n", output,
                stream);
        return 1;
    }
    int threads = words.threads ? command_line_threads(words.threads) : processors_available();
    if (threads == 0)
        return 1;
    workers = start_conversion_threads(threads);
    if (load_header() != 0)
        return end_run(1);
    StagedOutput staged;
    int begun = staged_output_begin(&staged, output, STAGED_PICTURE);
    if (begun != 0) {
        const char *reason = begun == STAGED_REFUSED ? staged.refusal : strerror(errno);
        report_picture();
        fprintf(stderr, begun == STAGED_REFUSED ? "pictor: Cannot write %s: %s\n"
                                                : "pictor: Cannot open %s: %s\n",
                output, reason);
        return end_run(1);
    }
    if (convert(&staged, output) != 0) {
        staged_output_discard(&staged);
        return end_run(1);
    }
    if (staged_output_commit(&staged) != 0)
        return end_run(1);
    report_clamped();
    fputs("\npictor: Done.\n", stderr);
    return end_run(0);
}
