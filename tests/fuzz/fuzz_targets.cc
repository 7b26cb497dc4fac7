#include "tests/fuzz/fuzz_targets.h"

#include "cli/converters.h"
#include "rgbe/rgbe.h"
#include "runtime/sanitizer_build.h"

#include <cstdio>
#include <fcntl.h>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>
#if defined(PICTOR_SANITIZED)
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

// A scratch directory made once per process, which holds the input, outputs and the dump, and
// is removed with them when the process ends.
struct ScratchFolder {
    std::string path;
    ScratchFolder()
    {
        char name[] = "/tmp/pictor_fuzz_XXXXXX";
        if (!mkdtemp(name))
            abort();
        path = name;
    }
    ~ScratchFolder()
    {
        for (const char *file : {"in.hdr", "in.exr", "out.exr", "out.hdr", "inscanline_out.raw"})
            unlink((path + "/" + file).c_str());
        rmdir(path.c_str());
    }
};

const std::string &scratch_dir()
{
    static ScratchFolder folder;
    return folder.path;
}

void write_input(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *out = fopen(path.c_str(), "wb");
    if (!out || (size && fwrite(data, 1, size, out) != size) || fclose(out) != 0)
        abort();
}

// Sends standard output and error to /dev/null while it lives: the code under test reports
// every failure there, and a fuzzer feeds it failures all the time. The sanitizers' reports still
// go to the real standard error.
struct QuietStreams {
    QuietStreams()
    {
        fflush(stdout);
        fflush(stderr);
        saved_out = dup(1);
        saved_err = dup(2);
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        close(null_fd);
#if defined(PICTOR_SANITIZED)
        __sanitizer_set_report_fd((void *)(intptr_t)saved_err);
#endif
    }
    ~QuietStreams()
    {
        fflush(stdout);
        fflush(stderr);
#if defined(PICTOR_SANITIZED)
        __sanitizer_set_report_fd((void *)(intptr_t)2);
#endif
        dup2(saved_out, 1);
        dup2(saved_err, 2);
        close(saved_out);
        close(saved_err);
    }
    int saved_out, saved_err;
};

// Runs one conversion quietly, from the scratch directory.
int run_quietly(int (*run)(int, const char *const *), const std::string &in, const std::string &out)
{
    std::vector<char> cwd(4096);
    if (!getcwd(cwd.data(), cwd.size()) || chdir(scratch_dir().c_str()) != 0)
        abort();
    const char *argv[] = {"pictor", "-i", in.c_str(), "-o", out.c_str()};
    int status;
    {
        QuietStreams quiet;
        status = run(5, argv);
    }
    if (chdir(cwd.data()) != 0)
        abort();
    return status;
}

}  // namespace

void fuzz_rgbe_reader(const uint8_t *data, size_t size)
{
    for (bool with_info : {true, false}) {
        FILE *stream = fmemopen(const_cast<uint8_t *>(data), size, "rb");
        if (!stream)
            return;  // fmemopen refuses empty buffers
        int32_t width = 0, height = 0;
        RgbeHeaderInfo info;
        QuietStreams quiet;
        if (rgbe_header_read(stream, &width, &height, with_info ? &info : nullptr) == 0 &&
            width > 0 && height > 0 && (uint64_t)width * height <= (1u << 17)) {
            double *pixels = (double *)malloc((size_t)width * height * 3 * sizeof(double));
            rgbe_get_scanlines(stream, pixels, width, height);
            free(pixels);
        }
        fclose(stream);
    }
}

void fuzz_tohalf(const uint8_t *data, size_t size)
{
    std::string in = scratch_dir() + "/in.hdr", out = scratch_dir() + "/out.exr";
    write_input(in, data, size);
    int status = run_quietly(tohalf_run, in, out);
    if (status != 0 && status != 1)
        abort();
    if (status != 0 && access(out.c_str(), F_OK) == 0)
        abort();  // a failed run must leave no output
    unlink(out.c_str());
}

void fuzz_fromhalf(const uint8_t *data, size_t size)
{
    std::string in = scratch_dir() + "/in.exr", out = scratch_dir() + "/out.hdr";
    write_input(in, data, size);
    int status = run_quietly(fromhalf_run, in, out);
    if (status != 0 && status != 1 && status != -1)
        abort();
    if (status != 0 && access(out.c_str(), F_OK) == 0)
        abort();
    unlink(out.c_str());
    unlink((scratch_dir() + "/inscanline_out.raw").c_str());
}
