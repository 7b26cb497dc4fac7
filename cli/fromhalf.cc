// pictor_fromhalf: converts an OpenEXR file into a run-length coded Radiance RGBE picture, and
// writes every scanline as read into the raw dump "inscanline_out.raw" in the current
// directory (per scanline, 4 x width 32-bit floats: red, green, blue, alpha per pixel).
#include "cli/command_line.h"
#include "cli/converters.h"
#include "cli/memory_limits.h"
#include "cli/staged_output.h"
#include "exr_io/exr_reader.h"
#include "rgbe/rgbe.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char DUMP_PATH[] = "inscanline_out.raw";

// No real EXR file comes near this ratio of pixel bytes (RGBA halves) to file bytes: the best
// case, a constant picture in DWAB, measures about 17,000 to 1 (ZIP about 1,000, PIZ 400). A
// file that claims more is damaged, however readable the library finds its scanlines.
const uint64_t MAX_COMPRESSION_RATIO = 100000;
const uint64_t RGBA_HALF_BYTES = 8;

// One run's state.
ExrScanlineReader *reader;
int32_t width;
int32_t height;
double *pixels;  // RgbPixelBuffer of width x height
float *record;   // one dump record: 4 x width floats

// Releases what a run opened and allocated; every run ends here, whatever its outcome.
int end_run(int status)
{
    if (reader)
        exr_reader_close(reader);
    free(record);
    free(pixels);
    reader = nullptr;
    record = nullptr;
    pixels = nullptr;
    return status;
}

// Refuses, before anything is allocated, a picture that can't be held or that its file can't
// plausibly hold. Returns 0 or -1 after a message.
int check_size(const char *input)
{
    uint64_t count = (uint64_t)width * (uint64_t)height;
    // The pixel buffer, three doubles a pixel; the dump record and the reader's two rows.
    if (!fits_in_memory(count, 3 * sizeof(double), (uint64_t)width * (4 * sizeof(float) + 40))) {
        fputs("pictor: Cannot allocate memory.\n", stderr);
        return -1;
    }
    struct stat st;
    if (stat(input, &st) == 0 && S_ISREG(st.st_mode) &&
        count / (MAX_COMPRESSION_RATIO / RGBA_HALF_BYTES) > (uint64_t)st.st_size) {
        fprintf(stderr, "pictor: %s is damaged: %lld bytes can't hold %d x %d pixels.\n", input,
                (long long)st.st_size, width, height);
        return -1;
    }
    return 0;
}

// Reads every scanline once, into the dump and into the pixel buffer. The dump is complete
// and closed after a success; after a failure it is removed. Returns 0, 1 after a read
// failure, or -1 after a failed write of the dump.
int read_scanlines(void)
{
    FILE *dump = fopen(DUMP_PATH, "wb");
    if (!dump)
        return rgbe_fail(RGBE_ERR_WRITE, nullptr);
    int status = 0;
    for (int32_t y = 0; y < height && status == 0; y++) {
        const double *row = exr_reader_row(reader, y);
        if (!row) {
            status = 1;
            break;
        }
        double *pixel = pixels + (size_t)y * (size_t)width * 3;
        for (int32_t x = 0; x < width; x++, row += 4, pixel += 3) {
            record[4 * x] = (float)row[0];
            record[4 * x + 1] = (float)row[1];
            record[4 * x + 2] = (float)row[2];
            record[4 * x + 3] = (float)row[3];
            pixel[0] = row[0];
            pixel[1] = row[1];
            pixel[2] = row[2];
        }
        if (fwrite(record, sizeof(float), (size_t)width * 4, dump) < (size_t)width * 4)
            status = rgbe_fail(RGBE_ERR_WRITE, nullptr);
    }
    if (status == 0 && (fflush(dump) != 0 || ferror(dump)))
        status = rgbe_fail(RGBE_ERR_WRITE, nullptr);
    if (fclose(dump) != 0 && status == 0)
        status = rgbe_fail(RGBE_ERR_WRITE, nullptr);
    // An incomplete dump is removed; a device or link the user put there is left alone.
    struct stat st;
    if (status != 0 && lstat(DUMP_PATH, &st) == 0 && S_ISREG(st.st_mode))
        unlink(DUMP_PATH);
    return status;
}

// Writes the RGBE file, whole or not at all. Returns 0, or -1 after a message.
int write_rgbe_result(void)
{
    const char *output = command_line_output_path();
    StagedOutput staged;
    FILE *stream = nullptr;
    if (output[0] != '\0' && staged_output_begin(&staged, output) == 0)
        stream = fopen(staged.temp_path.c_str(), "wb");
    if (!stream) {
        if (output[0] != '\0')
            staged_output_discard(&staged);
        fprintf(stderr, "Cannot open output file %s\n", output);
        return -1;
    }
    bool ok = rgbe_header_write(stream, width, height, nullptr) == 0 &&
              rgbe_put_scanlines(stream, pixels, width, height) == 0;
    if (ok && (fflush(stream) != 0 || ferror(stream))) {
        rgbe_fail(RGBE_ERR_WRITE, nullptr);
        ok = false;
    }
    if (fclose(stream) != 0 && ok) {
        rgbe_fail(RGBE_ERR_WRITE, nullptr);
        ok = false;
    }
    if (!ok) {
        staged_output_discard(&staged);
        return -1;
    }
    return staged_output_commit(&staged);
}

}  // namespace

int fromhalf_run(int argc, const char *const *argv)
{
    command_line_set_program(PICTOR_FROMHALF);
    // The input is opened and its size reported before a later -h is honoured.
    CommandLineScan scan = scan_command_line(argc, argv);
    if (scan.help && scan.input_path[0] == '\0')
        print_usage();
    const char *input = scan.input_path;
    reader = exr_reader_open(input);
    if (!reader) {
        fprintf(stderr, "pictor: Cannot open %s.\n", input);
        return 1;
    }
    width = exr_reader_width(reader);
    height = exr_reader_height(reader);
    printf("pictor: %s [%dx%d]\n", input, width, height);
    fflush(stdout);
    parse_command_line(argc, argv);
    const char *output = command_line_output_path();
    printf("The infilename is : %s\n", input);
    printf("The outfilename is : %s\n", output);
    printf("The width is : %d\n", width);
    printf("The height is : %d\n", height);
    fflush(stdout);
    if (output[0] != '\0' && same_file(input, output)) {
        fprintf(stderr, "pictor: The input and the output are the same file: %s\n", output);
        return end_run(1);
    }
    if (same_file(input, DUMP_PATH)) {
        fprintf(stderr, "pictor: The input is the dump file %s; it would be overwritten.\n",
                DUMP_PATH);
        return end_run(1);
    }
    if (check_size(input) != 0)
        return end_run(1);
    pixels = (double *)allocate_picture((size_t)width * (size_t)height * 3 * sizeof(double));
    record = (float *)malloc((size_t)width * 4 * sizeof(float));
    if (!pixels || !record) {
        fputs("pictor: Cannot allocate memory.\n", stderr);
        return end_run(1);
    }
    int status = read_scanlines();
    if (status != 0)
        return end_run(status);
    printf("Writing RGBE file.\n");
    fflush(stdout);
    if (write_rgbe_result() != 0)
        return end_run(1);
    fputs("\npictor: Done.\n", stderr);
    return end_run(0);
}
