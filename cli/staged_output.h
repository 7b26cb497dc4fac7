// An output file that appears whole or not at all. The converter writes a temporary regular
// file; on success it is renamed over the output path, so an earlier file there is replaced
// only by a complete one. An output that exists and is not a regular file (a device, a pipe)
// is never renamed over: the finished temporary file is copied into it with checked writes.
#ifndef PICTOR_CLI_STAGED_OUTPUT_H
#define PICTOR_CLI_STAGED_OUTPUT_H

#include <string>

struct StagedOutput {
    std::string path;       // where the result belongs
    std::string temp_path;  // where it is written first; empty when none was made
    bool copy_into;         // the output is not a regular file: copy, don't rename
};

// Creates the temporary file: beside the output, or in /tmp when the output is not a regular
// file. Returns 0, or -1 with errno set and nothing created; an output that is a folder, which
// could never be written, fails here with EISDIR.
int staged_output_begin(StagedOutput *out, const char *path);

// Moves the finished temporary file to the output. Returns 0, or -1 after a "pictor: "
// message; the temporary file is gone either way.
int staged_output_commit(StagedOutput *out);

// Removes the temporary file after a failure.
void staged_output_discard(StagedOutput *out);

// True when both paths name one existing file (or are the same text).
bool same_file(const char *a, const char *b);

#endif
