#include "runtime/cleanup_signals.h"
#include "runtime/sanitizer_build.h"

#include <climits>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

namespace {

// Plain bytes written before a place is marked used, and read only by the handler (unlink is
// safe in a signal handler; std::string isn't).
const int TEMPORARY_PLACES = 4;
char temporary_paths[TEMPORARY_PLACES][PATH_MAX];
volatile sig_atomic_t temporary_used[TEMPORARY_PLACES];

// Signals whose default action ends the process, besides the real-time ones. Those of a fault
// are left to the sanitizers in their builds, which report through them.
const int ENDING_SIGNALS[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGABRT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT,
    SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO, SIGPWR,
#if !defined(PICTOR_SANITIZED)
    SIGILL, SIGTRAP, SIGBUS, SIGFPE, SIGSEGV, SIGSYS,
#endif
};

void ending_signals(sigset_t *set)
{
    sigemptyset(set);
    for (int sig : ENDING_SIGNALS)
        sigaddset(set, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
        sigaddset(set, sig);
}

void remove_temporaries_and_end(int sig)
{
    for (int i = 0; i < TEMPORARY_PLACES; i++) {
        if (temporary_used[i])
            unlink(temporary_paths[i]);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

HeldSignals::HeldSignals()
{
    sigset_t set;
    ending_signals(&set);
    pthread_sigmask(SIG_BLOCK, &set, &saved);
}

HeldSignals::~HeldSignals()
{
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

bool record_temporary_file(const char *path)
{
    size_t length = strlen(path);
    for (int i = 0; i < TEMPORARY_PLACES; i++) {
        if (!temporary_used[i] && length < PATH_MAX) {
            memcpy(temporary_paths[i], path, length + 1);
            temporary_used[i] = 1;
            return true;
        }
    }
    return false;
}

void forget_temporary_file(const char *path)
{
    for (int i = 0; i < TEMPORARY_PLACES; i++) {
        if (temporary_used[i] && strcmp(path, temporary_paths[i]) == 0)
            temporary_used[i] = 0;
    }
}

void remove_temporary_files_on_signals(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = remove_temporaries_and_end;
    ending_signals(&action.sa_mask);
    sigset_t all;
    ending_signals(&all);
    for (int sig = 1; sig <= SIGRTMAX; sig++) {
        struct sigaction old;
        if (!sigismember(&all, sig) || sigaction(sig, nullptr, &old) != 0)
            continue;
        // A signal the caller ignores (nohup, a shell's background job) stays ignored.
        if (old.sa_handler != SIG_IGN)
            sigaction(sig, &action, nullptr);
    }
}
