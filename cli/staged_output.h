// An output file that appears whole or not at all. The converter writes a temporary regular
// file beside the output; on success it is renamed over the output, so an earlier file there is
// replaced only by a complete one, keeping its permission bits (and its owner and group where
// the process may set them). An output that exists and is not a regular file (a device, a pipe)
// is never renamed over: it is written in place.
#ifndef PICTOR_CLI_STAGED_OUTPUT_H
#define PICTOR_CLI_STAGED_OUTPUT_H

#include <cstdio>
#include <string>
#include <sys/stat.h>

// How an output is placed.
enum StagedUse {
    // The picture named by -o: a symbolic link there is followed and its target replaced (the
    // link stays). A device or pipe gets the finished file copied into it from /tmp, as the
    // EXR library seeks in the file it writes.
    STAGED_PICTURE,
    // The raw dump, whose name is fixed: a symbolic link there is replaced, never written
    // through, unless it is the user's own and leads to a character device or a pipe. A
    // device or pipe is written directly.
    STAGED_DUMP,
};

struct StagedOutput {
    std::string path;        // the output as named
    std::string target;      // the file that is replaced, or written in place
    std::string write_path;  // where the caller writes: the temporary file, or target itself
    std::string temp_path;   // the temporary file; empty when there is none (any more)
    bool copy_into;          // target is a device or pipe that gets the temporary file's bytes
    bool replaces;           // a regular file stands at target: its mode and owner carry over
    bool remove_first;       // the dump: what stands at target is removed just before the rename
    struct stat old;         // that file's status
};

// Prepares the output before any work and creates the temporary file. Returns 0; or, with errno
// set and nothing created, STAGED_REFUSED for an output that could never be written (EISDIR for
// a folder, EACCES or EROFS for an existing file that the user could not write in place) or -1
// when the temporary file can't be made. Temporary files are removed if the process is ended by
// a signal (see remove_temporary_files_on_signals).
const int STAGED_REFUSED = -2;
int staged_output_begin(StagedOutput *out, const char *path, StagedUse use);

// A stream on write_path, for writing from its start, or null with errno set. The temporary
// file, empty already, is not truncated again: ext4 writes a file truncated to nothing out to
// the disk when it is closed, before the close returns, which for gigabytes takes a while.
FILE *staged_output_stream(const StagedOutput *out);

// Moves the finished temporary file to the output. Returns 0, or -1 after a "pictor: "
// message; the temporary file is gone either way.
int staged_output_commit(StagedOutput *out);

// Removes the temporary file after a failure.
void staged_output_discard(StagedOutput *out);

// True when both paths name one existing file (or are the same text).
bool same_file(const char *a, const char *b);

// "input", "output" or "error" when path names this process's standard input, output or
// error (/dev/stdout, or the file they are redirected to), else null. Writing there would mix
// the picture with the progress text, or replace a file the shell opened.
const char *standard_stream_name(const char *path);

// Makes SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE and SIGXFSZ remove every temporary file of
// the run before the process ends by that signal as it would have. For programs, not for
// conversions run inside another process.
void remove_temporary_files_on_signals(void);

#endif
