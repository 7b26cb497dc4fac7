// An output file that appears whole or not at all. The converter writes a temporary regular
// file beside the output; on success it takes the output's place in one rename, so an earlier
// file there is replaced only by a complete one, keeping its permission bits (and its owner and
// group where the process may set them). An output that exists and is not a regular file (a
// device, a pipe) is never renamed over: it is written in place, through a descriptor opened
// when the output is begun and checked on the open file, so that nothing swapped in later is
// written. Links and pipes that another user planted in a shared folder (sticky and writable by
// all, as /tmp) are refused as the kernel refuses them to a shell: a link or a pipe there is
// followed or written into only when it belongs to the user or to the folder's owner.
#ifndef PICTOR_RUNTIME_STAGED_OUTPUT_H
#define PICTOR_RUNTIME_STAGED_OUTPUT_H

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
    // through, unless it is the user's own (or root's) and leads to a character device or a
    // pipe. A device or pipe is written directly.
    STAGED_DUMP,
};

struct StagedOutput {
    std::string path;        // the output as named
    std::string target;      // the file that is replaced
    std::string write_path;  // where the caller writes: the temporary file; empty when direct
    std::string temp_path;   // the temporary file; empty when there is none (any more)
    int place_fd = -1;       // the device or pipe written in place (O_PATH), else -1
    bool replaces = false;   // a regular file stands at target: its mode and owner carry over
    bool exchange = false;   // the dump: takes the place of what stands at target in one step
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

// A stream for writing from the start: on the temporary file, or on the device or pipe of a
// dump written in place. Null with errno set when it can't be opened. The temporary file,
// empty already, is not truncated again: ext4 writes a file truncated to nothing out to the
// disk when it is closed, before the close returns, which for gigabytes takes a while.
FILE *staged_output_stream(StagedOutput *out);

// Moves the finished temporary file to the output. Returns 0, or -1 after a "pictor: "
// message; the temporary file is gone either way.
int staged_output_commit(StagedOutput *out);

// Removes the temporary file after a failure, and closes what was opened.
void staged_output_discard(StagedOutput *out);

// True when both paths name one existing file (or are the same text).
bool same_file(const char *a, const char *b);

// True when both paths name the same file, or would name the same new file: the same name in
// the same folder, after the links at their names are followed.
bool same_place(const char *a, const char *b);

// "input", "output" or "error" when path names this process's standard input, output or
// error (/dev/stdout, or the file they are redirected to; for a stream closed at the start,
// /dev/stdout and its like), else null. Writing there would mix the picture with the progress
// text, replace a file the shell opened, or lose the picture.
const char *standard_stream_name(const char *path);

// True when path leads to the null device, which takes anything and keeps nothing: two outputs
// there can't overwrite each other.
bool is_null_device(const char *path);

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is not open, so that no file of
// the run can take a standard stream's place: what is written to a closed stream is lost, as
// its closing asked. Call first thing in main.
void keep_standard_streams_open(void);

#endif
