// pictor_fromhalf: converts an OpenEXR file (its first part's top-level channels, or the part and
// layer asked for) into a run-length coded Radiance RGBE picture, and writes every scanline as
// read into the raw dump, "inscanline_out.raw" in the current directory unless --dump names
// another path or --no-dump asks for none (per scanline, 4 x width 32-bit floats: red, green,
// blue, alpha per pixel). Both are staged outputs: whole, or not written at all. The picture
// moves through in bands of rows: the calling thread has the library read a band, which it
// decompresses block by block on the workers; on the workers too, one band after another, the
// band is widened to floats and appended to the dump, then coded into the RGBE file while the
// next band goes to the dump.
#include "cli/command_line.h"
#include "cli/conversion.h"
#include "cli/conversion_threads.h"
#include "cli/converters.h"
#include "cli/exr_input_limits.h"
#include "cli/picture_values.h"
#include "exr_io/exr_half.h"
#include "exr_io/exr_reader.h"
#include "rgbe/rgbe.h"
#include "runtime/memory_limits.h"
#include "runtime/paths.h"
#include "runtime/staged_output.h"

#include <ImfCRgbaFile.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

const char DEFAULT_DUMP_PATH[] = "inscanline_out.raw";

// A band of rows as read (RGBA halves, or four floats a pixel, as the reader gives them), and as
// the dump keeps them: four floats a pixel.
struct Band {
    void *rows;      // layout.rows x width pixels
    float *records;  // the same as floats: rows itself, or the halves widened
};

// One run's state, beside the Conversion. Changed on the main thread before the pipeline and
// after it, unless a field says otherwise.
struct Fromhalf {
    Conversion *run;
    int argc;                     // the command line, parsed once the input is open
    const char *const *argv;
    ExrReadChoice choice;         // --part and --layer
    const char *dump_path;        // null for no dump
    ExrScanlineReader *reader;    // used by the read stage alone while the pipeline runs
    ExrInputVerdict verdict;      // what the header alone says of the file
    Band bands[BAND_POOL_SIZE];
    StagedOutput staged;          // the RGBE file
    StagedOutput dump_stage;
    FILE *dump;                   // the dump stage's own while the pipeline runs
    FILE *output;                 // the code stage's own while the pipeline runs, with:
    RgbeScanlineState scanlines;  // carried from one band to the next
    bool output_failed;           // a write to the RGBE file failed; the dump goes on
};

// The bands, in one allocation: their records, then the rows as read where those are halves.
int allocate_bands(Fromhalf *f)
{
    Conversion *run = f->run;
    size_t count = (size_t)run->layout.rows * (size_t)run->width;
    bool floats = exr_reader_row_kind(f->reader) == EXR_ROWS_FLOAT;
    size_t records_bytes = count * 4 * sizeof(float);
    size_t rows_bytes = floats ? 0 : count * sizeof(ImfRgba);
    run->band_memory = (char *)allocate_large(BAND_POOL_SIZE * (records_bytes + rows_bytes));
    if (!run->band_memory) {
        fputs("pictor: Cannot allocate memory.\n", stderr);
        return -1;
    }
    for (int i = 0; i < BAND_POOL_SIZE; i++) {
        float *records = (float *)(run->band_memory + i * records_bytes);
        f->bands[i].records = records;
        f->bands[i].rows = floats ? (void *)records
                                  : run->band_memory + BAND_POOL_SIZE * records_bytes + i * rows_bytes;
        run->bands[i] = &f->bands[i];
    }
    return 0;
}

// Read stage, on the main thread: reads a band of scanlines.
int read_band(void *state, int64_t index, void *data)
{
    Fromhalf *f = (Fromhalf *)state;
    const BandLayout &layout = f->run->layout;
    return exr_reader_rows(f->reader, band_first_row(layout, index), band_rows(layout, index),
                           ((Band *)data)->rows) == 0 ? 0 : 1;
}

// Dump stage, on the workers: widens the band to floats and appends it to the dump, where there
// is one. A failed dump ends the run (status -1).
int dump_band(void *state, int64_t index, void *data)
{
    Fromhalf *f = (Fromhalf *)state;
    Band *band = (Band *)data;
    size_t count = (size_t)band_rows(f->run->layout, index) * (size_t)f->run->width;
    // Values as a double holds them, as the dump has always had them: NaNs quiet.
    if (band->records != band->rows)
        exr_widen_halves((const uint16_t *)band->rows, band->records, 4 * count);
    else
        exr_quiet_nans(band->records, 4 * count);
    if (f->dump && fwrite(band->records, 4 * sizeof(float), count, f->dump) < count)
        return rgbe_fail(RGBE_ERR_WRITE, nullptr);
    return 0;
}

// Code stage, on the workers: codes the band's pixels into the RGBE file. After a failed write
// the dump is still completed.
int code_band(void *state, int64_t index, void *data)
{
    Fromhalf *f = (Fromhalf *)state;
    if (!f->output_failed &&
        rgbe_put_scanline_band_rgba(f->output, ((const Band *)data)->records, f->run->width,
                                    band_rows(f->run->layout, index), &f->scanlines) != 0)
        f->output_failed = true;
    return 0;
}

// Opens the input within its bounds, reports it, reads the rest of the command line, and
// prepares the bands.
int open_input(void *state, Conversion *run)
{
    Fromhalf *f = (Fromhalf *)state;
    f->reader = open_exr_input(run->input, f->choice, run->workers, &f->verdict);
    if (!f->reader) {
        fprintf(stderr, "pictor: Cannot open %s.\n", run->input);
        return 1;
    }
    run->width = exr_reader_width(f->reader);
    run->height = exr_reader_height(f->reader);
    progress("pictor: %s [%dx%d]\n", run->input, run->width, run->height);
    fflush(stdout);
    parse_command_line(f->argc, f->argv);
    run->output = command_line().output_path;
    progress("The infilename is : %s\n", run->input);
    progress("The outfilename is : %s\n", run->output);
    progress("The width is : %d\n", run->width);
    progress("The height is : %d\n", run->height);
    fflush(stdout);
    if (run->output[0] != '\0' && refuse_same_file(run->input, run->output) != 0)
        return 1;
    const char *dump = f->dump_path;
    if (dump && same_file(run->input, dump)) {
        fprintf(stderr, "pictor: The input is the dump file %s; it would be overwritten.\n", dump);
        return 1;
    }
    if (dump && run->output[0] != '\0' && same_place(run->output, dump) &&
        !(is_null_device(run->output) && is_null_device(dump))) {
        fprintf(stderr, "pictor: The output %s is the dump file %s; one would overwrite the other.\n",
                run->output, dump);
        return 1;
    }
    if (refuse_standard_stream(run->output) != 0)
        return 1;
    if (dump && refuse_standard_stream(dump) != 0)
        return -1;
    if (check_exr_input_size(run, f->reader, f->verdict) != 0 || allocate_bands(f) != 0)
        return 1;
    return 0;
}

// The driver's word after any failure of the dump, which names it.
int fail_dump(const Fromhalf *f)
{
    fprintf(stderr, "pictor: Cannot write %s.\n", f->dump_path);
    return -1;
}

// Opens the staged RGBE file and writes its header, with what the picture says of itself, then
// the dump (where there is one): a temporary file beside it, or a device or pipe that it names.
int begin_outputs(void *state, Conversion *run)
{
    Fromhalf *f = (Fromhalf *)state;
    int begun = run->output[0] == '\0' ? -1 : staged_output_begin(&f->staged, run->output, STAGED_PICTURE);
    if (begun == 0)
        f->output = staged_output_stream(&f->staged);
    if (!f->output) {
        staged_output_discard(&f->staged);
        progress("Writing RGBE file.\n");
        fflush(stdout);
        if (begun == STAGED_REFUSED)
            fprintf(stderr, "pictor: Cannot write %s: %s\n", run->output, f->staged.refusal);
        else
            fprintf(stderr, "Cannot open output file %s\n", run->output);
        return 1;
    }
    std::string lines = header_lines_of(exr_reader_picture_info(f->reader));
    f->output_failed = rgbe_header_write_lines(f->output, run->width, run->height, nullptr,
                                               lines.c_str()) != 0;
    if (!f->dump_path)
        return 0;
    begun = staged_output_begin(&f->dump_stage, f->dump_path, STAGED_DUMP);
    if (begun == 0)
        f->dump = staged_output_stream(&f->dump_stage);
    if (f->dump)
        return 0;
    if (begun == STAGED_REFUSED)
        fprintf(stderr, "pictor: Cannot write %s: %s\n", f->dump_path, f->dump_stage.refusal);
    else
        rgbe_fail(RGBE_ERR_WRITE, nullptr);
    staged_output_discard(&f->dump_stage);
    staged_output_finish(&f->staged, f->output, false);
    return begun == STAGED_REFUSED ? -1 : fail_dump(f);
}

// Completes the dump, then the RGBE file: the dump first, so that a failure of the RGBE file
// leaves a complete dump. status is the pipeline's: 1 after a failure to read, -1 after a
// failed write of the dump.
int finish(void *state, Conversion *, int status)
{
    Fromhalf *f = (Fromhalf *)state;
    int dumped = f->dump_path ? staged_output_finish(&f->dump_stage, f->dump, status == 0) : 0;
    if (dumped == STAGED_WRITE_FAILED)
        status = rgbe_fail(RGBE_ERR_WRITE, nullptr);
    if (status == -1)
        fail_dump(f);
    else if (status == 0 && dumped != 0)
        status = -1;  // the dump could not be put in place, as its message says
    if (status == 0) {
        progress("Writing RGBE file.\n");
        fflush(stdout);
    }
    int written = staged_output_finish(&f->staged, f->output, status == 0 && !f->output_failed);
    if (written == STAGED_WRITE_FAILED)
        rgbe_fail(RGBE_ERR_WRITE, nullptr);
    return status != 0 ? status : written != 0 ? 1 : 0;
}

void release(void *state)
{
    Fromhalf *f = (Fromhalf *)state;
    if (f->reader)
        exr_reader_close(f->reader);
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
    set_quiet(scan.quiet);
    if (command_line_check_paths(scan) != 0)
        return 1;
    int threads = scan.threads ? command_line_threads(scan.threads) : processors_available();
    if (threads == 0)
        return 1;
    Fromhalf f = {};
    f.dump_path = scan.no_dump ? nullptr : scan.dump_path ? scan.dump_path : DEFAULT_DUMP_PATH;
    if (scan.no_clobber) {
        // Nothing is done for an output made already; a dump asked for by name is kept too.
        if (scan.output_given && keep_existing(scan.output_path))
            return 0;
        if (scan.dump_path && keep_existing(scan.dump_path))
            f.dump_path = nullptr;
    }
    Conversion run = {scan.input_path, "", threads, nullptr, 0, 0, {}, nullptr, {}};
    f.run = &run;
    f.argc = argc;
    f.argv = argv;
    f.choice.layer = scan.layer;
    f.choice.part = scan.part;
    ConversionSteps steps = {&f, open_input, begin_outputs,
                             {{read_band, ON_CALLER}, {dump_band, ON_WORKERS}, {code_band, ON_WORKERS}},
                             3, finish, release};
    return run_conversion(&run, steps);
}
