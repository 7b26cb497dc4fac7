// Linked into the test builds' copies of the programs under AddressSanitizer: every form of
// operator new and delete, routed through malloc and free.
//
// Under AddressSanitizer a failed operator new ends the process, whatever its options say. The
// OpenEXR library asks for absurd amounts on some damaged files and expects std::bad_alloc when
// that fails, as it does in normal builds (where the process's limits make such requests fail).
// Routed through malloc, which the sanitizer still checks and which returns null when
// allocator_may_return_null is set, a failure becomes std::bad_alloc again.
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

void *allocate_or_null(size_t size, size_t alignment)
{
    if (size == 0)
        size = 1;
    if (alignment <= alignof(std::max_align_t))
        return malloc(size);
    void *p = nullptr;
    return posix_memalign(&p, alignment, size) == 0 ? p : nullptr;
}

void *allocate_or_throw(size_t size, size_t alignment)
{
    void *p = allocate_or_null(size, alignment);
    if (!p)
        throw std::bad_alloc();
    return p;
}

}  // namespace

void *operator new(size_t size) { return allocate_or_throw(size, 0); }
void *operator new[](size_t size) { return allocate_or_throw(size, 0); }
void *operator new(size_t size, const std::nothrow_t &) noexcept { return allocate_or_null(size, 0); }
void *operator new[](size_t size, const std::nothrow_t &) noexcept { return allocate_or_null(size, 0); }
void *operator new(size_t size, std::align_val_t a) { return allocate_or_throw(size, (size_t)a); }
void *operator new[](size_t size, std::align_val_t a) { return allocate_or_throw(size, (size_t)a); }
void *operator new(size_t size, std::align_val_t a, const std::nothrow_t &) noexcept
{
    return allocate_or_null(size, (size_t)a);
}
void *operator new[](size_t size, std::align_val_t a, const std::nothrow_t &) noexcept
{
    return allocate_or_null(size, (size_t)a);
}
void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
void operator delete[](void *p, size_t) noexcept { free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { free(p); }
void operator delete(void *p, std::align_val_t) noexcept { free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { free(p); }
void operator delete(void *p, size_t, std::align_val_t) noexcept { free(p); }
void operator delete[](void *p, size_t, std::align_val_t) noexcept { free(p); }
void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept { free(p); }
void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept { free(p); }
