// Helpers for the tests: scratch directories, whole files, and running the real programs.
#ifndef PICTOR_TESTS_TEST_SUPPORT_H
#define PICTOR_TESTS_TEST_SUPPORT_H

#include <string>
#include <vector>

// A fresh directory under /tmp, removed with everything in it when the object goes.
struct ScratchDir {
    ScratchDir();
    ~ScratchDir();
    std::string path;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);
bool file_exists(const std::string &path);
std::vector<std::string> list_dir(const std::string &path);

struct RunResult {
    std::string out;  // standard output
    std::string err;  // standard error
    int status;       // exit status, or 128 + signal, or -1 when it timed out
    int signal;       // the signal that ended it, 0 when it exited
    long peak_kb;     // peak resident memory
    // The signals each thread held (SigBlk of /proc/PID/task/TID/status) in every sample taken
    // from the moment a hidden file appeared to the end of the run, the main thread's first,
    // with RunOptions::threads_on_temporary.
    std::vector<unsigned long long> blocked;
};

struct RunOptions {
    std::string cwd;           // working directory; the caller's when empty
    long file_size_limit = 0;  // RLIMIT_FSIZE in bytes when above 0 (SIGXFSZ ignored)
    int timeout_seconds = 120;
    std::vector<std::string> environment;  // extra NAME=VALUE settings
    unsigned user = 0;                      // run as this user and group when above 0
    int signal_on_temporary = 0;            // sent once a hidden file appears in cwd
    bool kill_at_first_rename = false;      // SIGKILL as the program enters its first rename
                                            // (x86-64 only)
    bool close_stdout = false;              // started with descriptor 1 closed
    bool threads_on_temporary = false;      // RunResult::blocked sampled once a hidden file
                                            // appears
    long data_limit = 0;                    // the soft RLIMIT_DATA in bytes, when above 0
    int umask_bits = -1;                    // the umask, when 0 or more
};

// Runs program with args (argv[0] is the program path) and collects everything it prints.
RunResult run_program(const std::string &program, const std::vector<std::string> &args,
                      const RunOptions &options = RunOptions());

// Where the shared corpus lives; empty when it is absent.
std::string corpus_dir(const std::string &sub);

// The built programs, and the preloadable library that makes one malloc fail (see
// tests/fault/failing_malloc.cc); empty in sanitizer builds, where it can't work.
std::string tohalf_path();
std::string fromhalf_path();
std::string failing_malloc_path();

// Writes a Radiance picture with the codec; pixels hold width * height * 3 doubles.
void write_rgbe_picture(const std::string &path, int width, int height,
                        const std::vector<double> &pixels, const std::string &extra_header = "");

// Pixel values that RGBE holds exactly, varied enough to exercise every plane.
std::vector<double> exact_pixels(int width, int height, unsigned seed = 1);

// The usage texts of both programs, byte for byte.
extern const char TOHALF_USAGE[];
extern const char FROMHALF_USAGE[];

// True when a peer tool can be run from PATH.
bool have_tool(const std::string &name);

#endif
