// The run's temporary files, removed when a signal ends the process. Every signal whose default
// action ends the process and that can be caught removes them, then ends the process by that
// same signal as it would have; a signal that the caller ignores stays ignored.
#ifndef PICTOR_RUNTIME_CLEANUP_SIGNALS_H
#define PICTOR_RUNTIME_CLEANUP_SIGNALS_H

#include <csignal>

// Installs the handler. For programs, not for conversions run inside another process.
void remove_temporary_files_on_signals(void);

// Records a temporary file for the handler; returns false when all places are taken. Call
// only while the signals are held.
bool record_temporary_file(const char *path);
// Forgets it (it was renamed into place or removed). Call only while the signals are held.
void forget_temporary_file(const char *path);

// Holds the cleanup signals back on the calling thread while it lives: around the making and
// recording of a temporary file, and around the start of a thread, which inherits the mask, so
// that the handler runs on the main thread only.
struct HeldSignals {
    HeldSignals();
    ~HeldSignals();
    HeldSignals(const HeldSignals &) = delete;
    HeldSignals &operator=(const HeldSignals &) = delete;
    sigset_t saved;
};

#endif
