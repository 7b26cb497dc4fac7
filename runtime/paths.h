// What a path names: the file its links lead to, whether two paths name one file, and whether
// a path names one of this process's standard streams.
#ifndef PICTOR_RUNTIME_PATHS_H
#define PICTOR_RUNTIME_PATHS_H

#include <string>

// The path with every symbolic link on the way replaced by what it says, followed by hand as
// the kernel would follow it: the folders' links, and the last part's when follow_last is set
// (a dangling link there gives the path it would create). Returns false with *refusal set at a
// link that the kernel would not follow in a shared folder (see runtime/shared_folders.h), when
// refusal is not null; after too many links, the rest is left for the open to refuse.
bool resolve_links(const std::string &path, bool follow_last, std::string *resolved,
                   const char **refusal);

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

#endif
