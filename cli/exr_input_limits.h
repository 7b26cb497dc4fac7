// pictor_fromhalf's input opened within fixed limits: every decision rests on the file and the
// limits alone, never on the machine's memory. A damaged or hostile header may ask the OpenEXR
// library for gigabytes at the file's open; the header is read first, and the open is bounded.
#ifndef PICTOR_CLI_EXR_INPUT_LIMITS_H
#define PICTOR_CLI_EXR_INPUT_LIMITS_H

#include "exr_io/exr_reader.h"

#include <cstdint>

struct Conversion;
struct WorkerPool;

// What the header alone says of the file. A file too large, or that can't hold what its header
// claims, is not opened: it is refused by check_exr_input_size once the command line has been
// looked at.
struct ExrInputVerdict {
    enum { TAKEN, TOO_LARGE, DAMAGED } kind;
    uint64_t input_bytes;  // the input's size when it is a regular file, else 0
};

// Reads path's headers and, unless the verdict refuses the file, opens the pixel data of the
// part and layer chosen within the bound of what the open may allocate, with the library's
// threads fitted to its bands. Returns the reader, or null after the reader's message.
ExrScanlineReader *open_exr_input(const char *path, const ExrReadChoice &choice,
                                  WorkerPool *workers, ExrInputVerdict *verdict);

// Sets run's layout for the file's bands, and refuses a picture whose bands or blocks can't be
// held or that its file can't plausibly hold. Returns 0, or -1 after a message that names the
// file.
int check_exr_input_size(Conversion *run, const ExrScanlineReader *reader,
                         const ExrInputVerdict &verdict);

#endif
