// Preloaded into the programs by the fault-injection tests: makes one malloc fail, or every
// start of a thread.
//   PICTOR_FAIL_MALLOC_SIZE=N   fail a request of exactly N bytes ...
//   PICTOR_FAIL_MALLOC_NTH=K    ... the K-th such request (default 1); later ones succeed.
//   PICTOR_FAIL_THREADS=1       no thread can be started, as under a process limit
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <dlfcn.h>
#include <pthread.h>

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
