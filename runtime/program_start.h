// What both programs do first, before anything else: the process as a conversion needs it.
#ifndef PICTOR_RUNTIME_PROGRAM_START_H
#define PICTOR_RUNTIME_PROGRAM_START_H

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is not open, so that no file of
// the run can take a standard stream's place (what is written to a closed stream is lost, as
// its closing asked); keeps freed memory for the next request (see runtime/memory_limits.h);
// removes the run's temporary files on the signals that end it (see cleanup_signals.h); and,
// with bound_address_space, bounds the address space near physical memory.
void start_program(bool bound_address_space);

// Whether descriptor fd (0, 1 or 2) was closed when the program started.
bool standard_stream_closed_at_start(int fd);

#endif
