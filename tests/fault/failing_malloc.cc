// Preloaded into the programs by the fault-injection tests: makes one malloc fail, or every
// start of a thread, and records how files are moved into place.
//   PICTOR_FAIL_MALLOC_SIZE=N   fail a request of exactly N bytes ...
//   PICTOR_FAIL_MALLOC_NTH=K    ... the K-th such request (default 1); later ones succeed.
//   PICTOR_FAIL_THREADS=1       no thread can be started, as under a process limit
//   PICTOR_LOG_RENAMES=FILE     append a line to FILE for every rename: "rename NAME" or
//                               "exchange NAME", NAME being the last part of the new path
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <dlfcn.h>
#include <pthread.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

void log_rename(const char *kind, const char *to)
{
    const char *log = getenv("PICTOR_LOG_RENAMES");
    if (!log)
        return;
    const char *slash = strrchr(to, '/');
    char line[4096];
    int length = snprintf(line, sizeof line, "%s %s\n", kind, slash ? slash + 1 : to);
    int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0 && length > 0 && write(fd, line, (size_t)length) < 0) {
        // the test finds the line missing
    }
    if (fd >= 0)
        close(fd);
}

}  // namespace

extern "C" int rename(const char *from, const char *to)
{
    log_rename("rename", to);
    using Rename = int (*)(const char *, const char *);
    static Rename real = (Rename)dlsym(RTLD_NEXT, "rename");
    return real(from, to);
}

extern "C" int renameat2(int from_dir, const char *from, int to_dir, const char *to,
                         unsigned int flags)
{
    log_rename(flags & RENAME_EXCHANGE ? "exchange" : "rename", to);
    using Rename2 = int (*)(int, const char *, int, const char *, unsigned int);
    static Rename2 real = (Rename2)dlsym(RTLD_NEXT, "renameat2");
    return real(from_dir, from, to_dir, to, flags);
}

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attributes,
                              void *(*start)(void *), void *argument)
{
    if (getenv("PICTOR_FAIL_THREADS"))
        return EAGAIN;
    using Create = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static Create real = (Create)dlsym(RTLD_NEXT, "pthread_create");
    return real(thread, attributes, start, argument);
}

extern "C" void *__libc_malloc(size_t size);

extern "C" void *malloc(size_t size)
{
    static long fail_size = -2, nth = 1, seen = 0;
    if (fail_size == -2) {
        const char *size_text = getenv("PICTOR_FAIL_MALLOC_SIZE");
        const char *nth_text = getenv("PICTOR_FAIL_MALLOC_NTH");
        fail_size = size_text ? atol(size_text) : -1;
        nth = nth_text ? atol(nth_text) : 1;
    }
    if ((long)size == fail_size && ++seen == nth) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}
