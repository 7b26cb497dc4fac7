#pragma once
// Whether this build runs under AddressSanitizer or ThreadSanitizer, as GCC says it
// (__SANITIZE_ADDRESS__) and as clang does (__has_feature). Such builds reserve far more address
// space than they use, so no limit on it holds there, and report faults through signal handlers
// of their own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PICTOR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PICTOR_SANITIZED 1
#endif
#endif

#if defined(__SANITIZE_THREAD__)
#define PICTOR_THREAD_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PICTOR_THREAD_SANITIZED 1
#endif
#endif
