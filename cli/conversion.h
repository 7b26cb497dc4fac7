// The skeleton both programs run through. A program parses its command line and checks its
// paths, then hands run_conversion its steps: open the input (header, sizes, band pool), begin
// the outputs, run the bands through its stages, complete or discard the outputs. The driver
// starts the threads before the input is opened (the OpenEXR library takes its thread setting
// when a file is opened), ends them before anything they worked on is released, and closes
// every run the same way, whatever its outcome.
#ifndef PICTOR_CLI_CONVERSION_H
#define PICTOR_CLI_CONVERSION_H

#include "runtime/band_pipeline.h"

#include <cstddef>
#include <cstdint>

struct WorkerPool;

// What every run holds. Changed only on the main thread: the first three before run_conversion,
// the rest before the pipeline runs; read-only while it runs.
struct Conversion {
    const char *input;           // the -i path
    const char *output;          // the -o path
    int threads;                 // the most threads the run may use
    WorkerPool *workers;         // null when the run works on one thread
    int32_t width, height;       // of the picture, once the input is open
    BandLayout layout;           // how the picture is cut into bands
    char *band_memory;           // the pool's bands in one allocation (released by the driver)
    void *bands[BAND_POOL_SIZE]; // the pool as the stages see it: the program's band records
};

// A program's part. Each step returns 0, or an exit status after its own message; state is the
// program's run state, given to every step and stage.
struct ConversionSteps {
    void *state;
    // Opens the input, reports it, checks its size, sets width, height and layout, and
    // allocates the bands.
    int (*open_input)(void *state, Conversion *run);
    // Begins the outputs; on a failure, nothing of them is left.
    int (*begin_outputs)(void *state, Conversion *run);
    BandStage stages[MAX_BAND_STAGES];
    int stage_count;
    // After the pipeline, whose result is status: completes the outputs and puts them in place,
    // or removes them.
    int (*finish)(void *state, Conversion *run, int status);
    // Releases what the program's steps opened and allocated, whatever the outcome.
    void (*release)(void *state);
};

// Runs the conversion; writes the closing "pictor: Done." after a finished one, unless quiet.
// Returns the exit status.
int run_conversion(Conversion *run, const ConversionSteps &steps);

// Whether the run is quiet (-q): no progress on stdout, and no closing line. Process-wide, set
// once by the program before anything is written.
void set_quiet(bool quiet);

// Writes progress on stdout (printf's format), unless the run is quiet.
void progress(const char *format, ...) __attribute__((format(printf, 1, 2)));

// With -n: when something stands at path already, says so (unless quiet) and returns true; the
// output is then left as it is.
bool keep_existing(const char *path);

// Refuses an output that is the input itself, or one of this process's standard streams.
// Return 0, or -1 after a message.
int refuse_same_file(const char *input, const char *output);
int refuse_standard_stream(const char *output);

// A size in bytes as people read it on stderr: "1.3 GB", "96 MB".
void print_bytes(double bytes);

#endif
