// The threads of one conversion: the calling thread, which hands rows to the OpenEXR library and
// waits for it, and beside it workers that run both the library's work on blocks of scanlines
// and the pipeline's other stage. One thread runs everything in turn.
#ifndef PICTOR_CLI_CONVERSION_THREADS_H
#define PICTOR_CLI_CONVERSION_THREADS_H

struct WorkerPool;

// The processors this process may use, at least 1: those it may run on (its affinity mask, as
// taskset sets it), and no more than its cgroups' CPU quota allows, rounded up.
int processors_available(void);

// Starts the workers for at most threads threads (no more than the processors this process
// may use), and hands the library's work to them. Returns null for one thread, or when no
// worker could be started: then everything runs on the calling thread. Call before any file
// of the library is opened.
WorkerPool *start_conversion_threads(int threads);

// The library keeps two blocks of scanlines in flight for each thread it counts, whatever
// work it is given: it counts no more threads than a band holds blocks, none where a block is
// larger than a band (it then keeps one), so that its memory stays within a few bands' worth on
// any number of processors; and none where its blocks are not worth another thread
// (exr_blocks_worth_threads). Returns the threads it counts (0: it works on the calling
// thread). Call before the file is opened.
int fit_library_threads(WorkerPool *workers, int blocks_per_band, bool worth_threads);

// Gives the library's work back to the calling thread and ends the workers.
void stop_conversion_threads(WorkerPool *workers);

#endif
