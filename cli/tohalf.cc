// pictor_tohalf: converts a Radiance RGBE picture into an OpenEXR RGBA half-float file, with
// the gamma and exposure of the picture's header applied. The picture moves through in bands
// of rows: one thread decodes a band, applies gamma and exposure and narrows it to halves; the
// calling thread writes it. Only a few bands are ever held, whatever the picture's height.
#include "cli/band_pipeline.h"
#include "cli/command_line.h"
#include "cli/converters.h"
#include "cli/memory_limits.h"
#include "cli/staged_output.h"
#include "exr_io/exr_writer.h"
#include "rgbe/rgbe.h"

#include <ImfCRgbaFile.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace {

// A band of rows: the pixels as decoded (RgbPixelBuffer), and the same rows in half form.
struct Band {
    double *pixels;   // BAND_ROWS x width x 3
    ImfRgba *halves;  // BAND_ROWS x width
};

// One run's state.
FILE *input;
int32_t width;
int32_t height;
RgbeHeaderInfo header_info;
RgbeScanlineState scanlines;       // carried from one band to the next
bool apply_gamma, apply_exposure;  // the header's values that act on the pixels
double gamma_power, multiplier;
Band bands[BAND_POOL_SIZE];
double *row;                       // one output scanline, RgbaRow of width pixels
ExrScanlineWriter *writer;
bool write_failed;                 // the writer reported a failed row
// The RGBE decoder takes a few bytes at a time: a large buffer saves system calls.
char input_buffer[1 << 18];

// Releases what a run opened and allocated; every run ends here, whatever its outcome.
int end_run(int status)
{
    if (input)
        fclose(input);
    input = nullptr;
    free(row);
    row = nullptr;
    for (Band &band : bands) {
        free(band.pixels);
        free(band.halves);
        band = Band{nullptr, nullptr};
    }
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

// True when the input is a regular file too short for the pixel data its header announces.
bool input_too_short(void)
{
    struct stat st;
    long header_end = ftell(input);
    return fstat(fileno(input), &st) == 0 && S_ISREG(st.st_mode) && header_end >= 0 &&
           (uint64_t)(st.st_size - header_end) < least_pixel_data_bytes();
}

// Sizes come from the file: refuse what can't be a picture or can't be held, before any
// buffer is allocated. Returns 0 or -1 after a message.
int check_size(void)
{
    if (width < 1 || height < 1) {
        fprintf(stderr, "pictor: Invalid picture size %d x %d.\n", width, height);
        return -1;
    }
    // The bands, three doubles and four halves a pixel; one row of four doubles a pixel, the
    // writer's row of four halves and the codec's four planes.
    uint64_t band_pixels = (uint64_t)BAND_POOL_SIZE * band_rows(0, height) * (uint64_t)width;
    bool bands_fit = fits_in_memory(band_pixels, 3 * sizeof(double) + sizeof(ImfRgba),
                                    (uint64_t)width * 44);
    // A picture too large to be held whole in memory is taken only from a file that can hold
    // its pixels: a short file that claims one fails at once, before an output of that size
    // is begun.
    bool whole_fits = fits_in_memory((uint64_t)width * (uint64_t)height, 2 * 3 * sizeof(double),
                                     (uint64_t)width * 4 * sizeof(double));
    if (!bands_fit || (!whole_fits && input_too_short())) {
        fprintf(stderr, "pictor: A %d x %d picture does not fit in memory.\n", width, height);
        return -1;
    }
    return 0;
}

// The first band stands for the picture as decoded, the others for the copy that gamma and
// exposure act on: their failures keep the messages of those two buffers.
int allocate_bands(void)
{
    size_t pixels = (size_t)band_rows(0, height) * (size_t)width;
    for (int i = 0; i < BAND_POOL_SIZE; i++) {
        bands[i].pixels = (double *)malloc(pixels * 3 * sizeof(double));
        bands[i].halves = (ImfRgba *)malloc(pixels * sizeof(ImfRgba));
        if (!bands[i].pixels || !bands[i].halves) {
            fputs(i == 0 ? "Could not allocate memory for scene_IO \n"
                         : "Could not allocate memory for scene \n",
                  stderr);
            return -1;
        }
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

// What the conversion reports once the picture is known to decode (or, when the output fails
// first, as if it did): factors ignored on stderr; factors applied, then the size, on stdout.
void report_picture(void)
{
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

// Fill stage: decodes a band, applies gamma and exposure, and narrows its rows, alpha 0, to
// the halves that the writer takes.
int decode_band(void *, int64_t index, void *data)
{
    Band *band = (Band *)data;
    double *pixels = band->pixels;
    int32_t rows = band_rows(index, height);
    if (rgbe_get_scanline_band(input, pixels, width, rows, &scanlines) != 0)
        return 1;
    size_t components = (size_t)rows * (size_t)width * 3;
    if (apply_gamma) {
        for (size_t i = 0; i < components; i++)
            pixels[i] = pow(pixels[i], gamma_power);
    }
    if (apply_exposure) {
        for (size_t i = 0; i < components; i++)
            pixels[i] *= multiplier;
    }
    const double *pixel = pixels;
    for (int32_t y = 0; y < rows; y++) {
        for (int32_t x = 0; x < width; x++, pixel += 3) {
            row[4 * x] = pixel[0];
            row[4 * x + 1] = pixel[1];
            row[4 * x + 2] = pixel[2];
            row[4 * x + 3] = 0.0;
        }
        exr_writer_narrow(row, width, band->halves + (size_t)y * (size_t)width);
    }
    return 0;
}

// Drain stage: writes the band's rows.
int write_band(void *, int64_t index, void *data)
{
    const Band *band = (const Band *)data;
    if (exr_writer_half_rows(writer, band->halves, band_rows(index, height)) != 0) {
        write_failed = true;
        return 1;
    }
    return 0;
}

// Reads the input's header and prepares everything the bands need. Returns 0 or -1 after a
// message.
int load_header(void)
{
    const char *path = command_line_input_path();
    input = fopen(path, "rb");
    if (!input) {
        fprintf(stderr, "Cannot open input file %s\n", path);
        return -1;
    }
    setvbuf(input, input_buffer, _IOFBF, sizeof input_buffer);
    if (rgbe_header_read(input, &width, &height, &header_info) != 0 || check_size() != 0 ||
        allocate_bands() != 0)
        return -1;
    scanlines.flat = false;
    choose_factors();
    return 0;
}

// Converts the picture into the staged output. Returns 0 or -1 after a message.
int convert(StagedOutput *staged, const char *output)
{
    writer = exr_writer_open(staged->write_path.c_str(), width, height);
    if (!writer) {
        report_picture();
        fprintf(stderr, "pictor: Cannot open %s.\n", output);
        return -1;
    }
    write_failed = false;
    BandStages stages = {decode_band, write_band, nullptr};
    void *pool[BAND_POOL_SIZE];
    for (int i = 0; i < BAND_POOL_SIZE; i++)
        pool[i] = &bands[i];
    int status = run_band_pipeline(stages, pool, band_count(height));
    if (status != 0) {
        exr_writer_abandon(writer);
        writer = nullptr;
        if (!write_failed)
            return -1;  // the codec has reported the pixel data
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
    const char *input_path = command_line_input_path();
    const char *output = command_line_output_path();
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
    if (load_header() != 0)
        return end_run(1);
    row = (double *)malloc((size_t)width * 4 * sizeof(double));
    if (!row) {
        report_picture();
        fputs("pictor: Cannot allocate memory.\n", stderr);
        return end_run(1);
    }
    StagedOutput staged;
    int begun = staged_output_begin(&staged, output, STAGED_PICTURE);
    if (begun != 0) {
        int error = errno;
        report_picture();
        fprintf(stderr, begun == STAGED_REFUSED ? "pictor: Cannot write %s: %s\n"
                                                : "pictor: Cannot open %s: %s\n",
                output, strerror(error));
        return end_run(1);
    }
    if (convert(&staged, output) != 0) {
        staged_output_discard(&staged);
        return end_run(1);
    }
    if (staged_output_commit(&staged) != 0)
        return end_run(1);
    fputs("\npictor: Done.\n", stderr);
    return end_run(0);
}
