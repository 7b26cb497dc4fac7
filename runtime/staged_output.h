// An output file that appears whole or not at all. The converter writes a temporary regular
// file beside the output; on success it takes the output's place in one step, so an earlier
// file there is replaced only by a complete one, keeping its permission bits (and its owner and
// group where the process may set them). An output that exists and is not a regular file (a
// device, a pipe) is never renamed over: it is written through a descriptor opened when the
// output is begun and checked on the open file, so that nothing swapped in later is written.
// Links and pipes that another user planted in a shared folder are refused (see
// runtime/shared_folders.h), on the whole way to the output.
#ifndef PICTOR_RUNTIME_STAGED_OUTPUT_H
#define PICTOR_RUNTIME_STAGED_OUTPUT_H

#include <cstdio>
#include <string>
#include <sys/stat.h>

// What an output is.
enum StagedUse {
    // The picture named by -o: a symbolic link there is followed and its target replaced (the
    // link stays).
    STAGED_PICTURE,
    // The raw dump, whose name is fixed: a symbolic link there is replaced, never written
    // through, unless it is the user's own (or root's) and leads to a character device or a
    // pipe.
    STAGED_DUMP,
};

// How it is put in place, chosen once when it is begun.
enum StagingWay {
    STAGE_RENAME,       // a temporary file beside it, renamed over it (the picture)
    STAGE_EXCHANGE,     // a temporary file beside it, exchanged with it in one step, the old
                        // one then removed (the dump: there is never a moment without one, and
                        // ext4 does not write gigabytes of scratch data out before a rename)
    STAGE_DEVICE_COPY,  // a temporary file in /tmp, copied into the device or pipe (the
                        // picture: the OpenEXR library seeks in the file it writes)
    STAGE_IN_PLACE,     // the device or pipe itself, written from start to end (the dump)
};

struct StagedOutput {
    std::string path;        // the output as named
    std::string target;      // what is replaced or written: path with its links followed
    StagingWay way = STAGE_RENAME;
    std::string temp_path;   // the temporary file; empty when there is none (any more)
    int place_fd = -1;       // the device or pipe (O_PATH), for STAGE_DEVICE_COPY and IN_PLACE
    bool replaces = false;   // a regular file stands at target: its mode and owner carry over
    struct stat old;         // that file's status
    const char *refusal = nullptr;  // why the output was refused, for the caller's message
};

// Prepares the output before any work and creates the temporary file. Returns 0; or, with
// nothing created, STAGED_REFUSED for an output that could never be written, with its reason in
// refusal (a folder, an existing file that the user could not write in place, another user's
// link or pipe in a shared folder), or -1 with errno set when the temporary file can't be made
// or the device can't be opened. Temporary files are removed if the process is ended by a
// signal (see runtime/cleanup_signals.h).
const int STAGED_REFUSED = -2;
int staged_output_begin(StagedOutput *out, const char *path, StagedUse use);

// Where a library that opens files itself writes the output: the temporary file.
const char *staged_output_write_path(const StagedOutput *out);

// A stream for writing from the start: on the temporary file, or on the device or pipe written
// in place. Null with errno set when it can't be opened. The temporary file, empty already, is
// not truncated again: ext4 writes a file truncated to nothing out to the disk when it is
// closed, before the close returns, which for gigabytes takes a while.
FILE *staged_output_stream(StagedOutput *out);

// Completes the output: closes stream (when given) and, when ok and every write reached the
// file, puts it in place; otherwise removes the temporary file. Returns 0 when the output is in
// place; STAGED_WRITE_FAILED with errno set when the stream's last writes or its close failed
// (nothing printed: the caller reports the failed write); -1 when ok is false, or after a
// "pictor: Cannot write" message when the output could not be put in place.
const int STAGED_WRITE_FAILED = -3;
int staged_output_finish(StagedOutput *out, FILE *stream, bool ok);

// Removes the temporary file after a failure, and closes what was opened.
void staged_output_discard(StagedOutput *out);

#endif
