// The writer one row at a time, as the tests drive it; not part of the module's interface.
#ifndef PICTOR_EXR_IO_EXR_WRITER_INTERNAL_H
#define PICTOR_EXR_IO_EXR_WRITER_INTERNAL_H

#include "exr_io/exr_writer.h"

// Narrows a row of width RGBA doubles (to float, then to half) and writes it as the next
// scanline. Returns 0, or -1 after a message.
int exr_writer_row(ExrScanlineWriter *writer, const double *row);

#endif
