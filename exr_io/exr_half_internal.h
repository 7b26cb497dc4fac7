// Both ways of narrowing, for the tests that prove them equal to the library on every float;
// not part of the module's interface.
#ifndef PICTOR_EXR_IO_EXR_HALF_INTERNAL_H
#define PICTOR_EXR_IO_EXR_HALF_INTERNAL_H

#include <cstddef>
#include <cstdint>

void exr_narrow_halves_plain(const double *values, uint16_t *halves, size_t count);
void exr_narrow_rgb_plain(const double *rgb, uint16_t *rgba, size_t pixels);

#if defined(__x86_64__) || defined(__i386__)
// Only where the processor has F16C and AVX (exr_narrowing_way() says "F16C").
void exr_narrow_halves_f16c(const double *values, uint16_t *halves, size_t count);
void exr_narrow_rgb_f16c(const double *rgb, uint16_t *rgba, size_t pixels);
#endif

#endif
