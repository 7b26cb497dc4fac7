#include "cli/conversion.h"
#include "cli/conversion_threads.h"
#include "runtime/paths.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace {

bool quiet;

}  // namespace

void set_quiet(bool be_quiet)
{
    quiet = be_quiet;
}

void progress(const char *format, ...)
{
    if (quiet)
        return;
    va_list values;
    va_start(values, format);
    vprintf(format, values);
    va_end(values);
}

bool keep_existing(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return false;
    progress("pictor: %s exists; it is left as it is (--no-clobber).\n", path);
    fflush(stdout);
    return true;
}

int run_conversion(Conversion *run, const ConversionSteps &steps)
{
    run->workers = start_conversion_threads(run->threads);
    int status = steps.open_input(steps.state, run);
    if (status == 0)
        status = steps.begin_outputs(steps.state, run);
    if (status == 0) {
        int piped = run_band_pipeline(steps.stages, steps.stage_count, steps.state, run->bands,
                                      band_count(run->layout), run->workers);
        status = steps.finish(steps.state, run, piped);
    }
    if (status == 0 && !quiet)
        fputs("\npictor: Done.\n", stderr);
    // The workers end first: the library's last blocks were coded or decoded there, in its
    // buffers and the bands, and joining them orders all they did before those are released.
    stop_conversion_threads(run->workers);
    run->workers = nullptr;
    steps.release(steps.state);
    free(run->band_memory);
    run->band_memory = nullptr;
    return status;
}

int refuse_same_file(const char *input, const char *output)
{
    if (!same_file(input, output))
        return 0;
    fprintf(stderr, "pictor: The input and the output are the same file: %s\n", output);
    return -1;
}

int refuse_standard_stream(const char *output)
{
    const char *stream = standard_stream_name(output);
    if (!stream)
        return 0;
    fprintf(stderr, "pictor: Cannot write %s: it is this program's standard %s.\n", output, stream);
    return -1;
}

void print_bytes(double bytes)
{
    if (bytes >= 1024.0 * 1024 * 1024)
        fprintf(stderr, "%.1f GB", bytes / (1024.0 * 1024 * 1024));
    else
        fprintf(stderr, "%.0f MB", bytes / (1024.0 * 1024));
}
