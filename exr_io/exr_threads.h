// Where the OpenEXR library runs its work on blocks of scanlines (compression, decompression).
// By default it runs them on the thread that calls it. Given a runner, it hands them to that
// runner's threads instead: several blocks of one call at a time, beside whatever else those
// threads do. Files take the setting in force when they are opened.
#ifndef PICTOR_EXR_IO_EXR_THREADS_H
#define PICTOR_EXR_IO_EXR_THREADS_H

// Queues run(task) on one of the runner's threads; runner is the context given below.
typedef void (*ExrTaskSubmit)(void *runner, void (*run)(void *), void *task);

// Hands the library's work to threads threads through submit, or (threads 0) back to the
// calling thread. Call from the main thread, with no file of the library open.
void exr_use_threads(ExrTaskSubmit submit, void *runner, int threads);

#endif
