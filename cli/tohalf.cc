// pictor_tohalf: converts a Radiance RGBE picture into an OpenEXR RGBA half-float file, with
// the gamma and exposure of the picture's header applied.
#include "cli/command_line.h"
#include "cli/converters.h"
#include "cli/memory_limits.h"
#include "cli/staged_output.h"
#include "exr_io/exr_writer.h"
#include "rgbe/rgbe.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One run's picture: the pixels as decoded, and the copy that gamma and exposure act on.
int32_t width;
int32_t height;
RgbeHeaderInfo header_info;
double *scene_IO;
double *scene;
double *row;  // one output scanline, RgbaRow of width pixels

// Releases what a run allocated; every run ends here, whatever its outcome.
int end_run(int status)
{
    free(row);
    free(scene);
    free(scene_IO);
    row = scene = scene_IO = nullptr;
    return status;
}

// Sizes come from the file: refuse what can't be a picture or can't be held, before any
// buffer is allocated. Returns 0 or -1 after a message.
int check_size(void)
{
    if (width < 1 || height < 1) {
        fprintf(stderr, "pictor: Invalid picture size %d x %d.\n", width, height);
        return -1;
    }
    // scene_IO and scene, three doubles a pixel each, and one row of four doubles a pixel.
    uint64_t pixels = (uint64_t)width * (uint64_t)height;
    if (!fits_in_memory(pixels, 2 * 3 * sizeof(double), (uint64_t)width * 4 * sizeof(double))) {
        fprintf(stderr, "pictor: A %d x %d picture does not fit in memory.\n", width, height);
        return -1;
    }
    return 0;
}

// Gamma and exposure act only when they are finite and positive: some writers put "GAMMA=0"
// or "EXPOSURE=0" in every file, which would make the picture all ones or all black.
bool usable_factor(const char *name, float value)
{
    if (std::isfinite(value) && value > 0.0f)
        return true;
    fprintf(stderr, "pictor: Ignoring %s %f, which is not a positive number.\n", name,
            (double)value);
    return false;
}

void apply_gamma_and_exposure(size_t components)
{
    double gamma = header_info.gamma;
    if (gamma != 1.0 && usable_factor("gamma", header_info.gamma)) {
        printf("Gamma in RGBE image = %f \n", gamma);
        for (size_t i = 0; i < components; i++)
            scene[i] = pow(scene[i], gamma);
    }
    double exposure = header_info.exposure;
    if (exposure != 1.0 && usable_factor("exposure", header_info.exposure)) {
        printf("Exposure in RGBE image = %f \n", exposure);
        double multiplier = pow(exposure, 2.0);
        printf("expmult %f \n", multiplier);
        for (size_t i = 0; i < components; i++)
            scene[i] *= multiplier;
    }
}

// Reads the input picture into scene_IO and scene and applies gamma and exposure to scene.
// Returns 0, or -1 after a message.
int load_scene(void)
{
    const char *input = command_line_input_path();
    FILE *stream = fopen(input, "rb");
    if (!stream) {
        fprintf(stderr, "Cannot open input file %s\n", input);
        return -1;
    }
    int result = rgbe_header_read(stream, &width, &height, &header_info);
    if (result == 0)
        result = check_size();
    size_t components = result == 0 ? (size_t)width * (size_t)height * 3 : 0;
    if (result == 0) {
        scene_IO = (double *)allocate_picture(components * sizeof(double));
        if (!scene_IO) {
            fputs("Could not allocate memory for scene_IO \n", stderr);
            result = -1;
        }
    }
    if (result == 0) {
        scene = (double *)allocate_picture(components * sizeof(double));
        if (!scene) {
            fputs("Could not allocate memory for scene \n", stderr);
            result = -1;
        }
    }
    if (result == 0)
        result = rgbe_get_scanlines(stream, scene_IO, width, height);
    fclose(stream);
    if (result != 0)
        return -1;
    memcpy(scene, scene_IO, components * sizeof(double));
    apply_gamma_and_exposure(components);
    return 0;
}

// Writes every scanline of scene, alpha 0, through the writer and completes the file.
// Returns 0 or -1 after a message.
int write_scene(ExrScanlineWriter *writer)
{
    for (int32_t y = 0; y < height; y++) {
        const double *pixel = scene + (size_t)y * (size_t)width * 3;
        for (int32_t x = 0; x < width; x++, pixel += 3) {
            row[4 * x] = pixel[0];
            row[4 * x + 1] = pixel[1];
            row[4 * x + 2] = pixel[2];
            row[4 * x + 3] = 0.0;
        }
        if (exr_writer_row(writer, row) != 0) {
            exr_writer_abandon(writer);
            return -1;
        }
    }
    return exr_writer_close(writer);
}

}  // namespace

int tohalf_run(int argc, const char *const *argv)
{
    command_line_set_program(PICTOR_TOHALF);
    parse_command_line(argc, argv);
    const char *input = command_line_input_path();
    const char *output = command_line_output_path();
    printf("The infilename is : %s\n", input);
    printf("The outfilename is : %s\n", output);
    fflush(stdout);
    if (output[0] == '\0') {
        fputs("pictor: No output file given (-o output.exr).\n", stderr);
        return 1;
    }
    if (same_file(input, output)) {
        fprintf(stderr, "pictor: The input and the output are the same file: %s\n", output);
        return 1;
    }
    if (load_scene() != 0)
        return end_run(1);
    printf("The width is : %d\n", width);
    printf("The height is : %d\n", height);
    fflush(stdout);
    row = (double *)malloc((size_t)width * 4 * sizeof(double));
    if (!row) {
        fputs("pictor: Cannot allocate memory.\n", stderr);
        return end_run(1);
    }
    StagedOutput staged;
    if (staged_output_begin(&staged, output) != 0) {
        fprintf(stderr, "pictor: Cannot open %s: %s\n", output, strerror(errno));
        return end_run(1);
    }
    ExrScanlineWriter *writer = exr_writer_open(staged.temp_path.c_str(), width, height);
    if (!writer) {
        staged_output_discard(&staged);
        fprintf(stderr, "pictor: Cannot open %s.\n", output);
        return end_run(1);
    }
    if (write_scene(writer) != 0) {
        staged_output_discard(&staged);
        fprintf(stderr, "pictor: Cannot write %s.\n", output);
        return end_run(1);
    }
    if (staged_output_commit(&staged) != 0)
        return end_run(1);
    fputs("\npictor: Done.\n", stderr);
    return end_run(0);
}
