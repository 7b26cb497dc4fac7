#include "exr_io/exr_half.h"
#include "exr_io/exr_half_internal.h"

#include <ImfCRgbaFile.h>
#include <half.h>

#include <cstring>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define PICTOR_F16C 1  // the processor may have F16C: chosen when first called
#endif

void exr_narrow_halves_plain(const double *values, uint16_t *halves, size_t count)
{
    for (size_t i = 0; i < count; i++)
        halves[i] = imath_float_to_half((float)values[i]);
}

void exr_narrow_rgb_plain(const double *rgb, uint16_t *rgba, size_t pixels)
{
    for (size_t i = 0; i < pixels; i++, rgb += 3, rgba += 4) {
        rgba[0] = imath_float_to_half((float)rgb[0]);
        rgba[1] = imath_float_to_half((float)rgb[1]);
        rgba[2] = imath_float_to_half((float)rgb[2]);
        rgba[3] = 0;
    }
}

#if defined(PICTOR_F16C)
// Eight values at a time: doubles to floats (rounded to nearest, as a cast does), floats to
// halves (rounded to nearest even, as Imath does).
__attribute__((target("avx,f16c"))) void exr_narrow_halves_f16c(const double *values,
                                                                 uint16_t *halves, size_t count)
{
    const int rounding = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        __m128 low = _mm256_cvtpd_ps(_mm256_loadu_pd(values + i));
        __m128 high = _mm256_cvtpd_ps(_mm256_loadu_pd(values + i + 4));
        __m256 floats = _mm256_insertf128_ps(_mm256_castps128_ps256(low), high, 1);
        _mm_storeu_si128((__m128i *)(halves + i), _mm256_cvtps_ph(floats, rounding));
    }
    for (; i < count; i++) {
        __m128i half = _mm_cvtps_ph(_mm_set_ss((float)values[i]), rounding);
        halves[i] = (uint16_t)_mm_extract_epi16(half, 0);
    }
}

namespace {

// Eight values narrowed as exr_narrow_halves_f16c narrows them.
__attribute__((target("avx,f16c"))) inline __m128i narrow8(const double *values)
{
    __m128 low = _mm256_cvtpd_ps(_mm256_loadu_pd(values));
    __m128 high = _mm256_cvtpd_ps(_mm256_loadu_pd(values + 4));
    return _mm256_cvtps_ph(_mm256_insertf128_ps(_mm256_castps128_ps256(low), high, 1),
                           _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
}

}  // namespace

// Eight pixels at a time: 24 values narrowed as above, then spread to four a pixel, alpha 0.
__attribute__((target("avx,f16c,ssse3"))) void exr_narrow_rgb_f16c(const double *rgb,
                                                                   uint16_t *rgba, size_t pixels)
{
    // Halves 0, 1, 2 and 3, 4, 5 of a register, each three followed by a zero.
    const __m128i spread = _mm_setr_epi8(0, 1, 2, 3, 4, 5, -1, -1, 6, 7, 8, 9, 10, 11, -1, -1);
    size_t i = 0;
    for (; i + 8 <= pixels; i += 8, rgb += 24, rgba += 32) {
        __m128i a = narrow8(rgb), b = narrow8(rgb + 8), c = narrow8(rgb + 16);
        _mm_storeu_si128((__m128i *)rgba, _mm_shuffle_epi8(a, spread));
        _mm_storeu_si128((__m128i *)(rgba + 8), _mm_shuffle_epi8(_mm_alignr_epi8(b, a, 12), spread));
        _mm_storeu_si128((__m128i *)(rgba + 16), _mm_shuffle_epi8(_mm_alignr_epi8(c, b, 8), spread));
        _mm_storeu_si128((__m128i *)(rgba + 24), _mm_shuffle_epi8(_mm_alignr_epi8(c, c, 4), spread));
    }
    for (; i < pixels; i++, rgb += 3, rgba += 4) {
        exr_narrow_halves_f16c(rgb, rgba, 3);
        rgba[3] = 0;
    }
}

#endif

namespace {

using Narrowing = void (*)(const double *, uint16_t *, size_t);

#if defined(PICTOR_F16C)
// Whether the processor has AVX and F16C, and the system saves the AVX registers.
bool has_f16c(void)
{
    unsigned a, b, c, d;
    const unsigned wanted = bit_AVX | bit_F16C | bit_OSXSAVE;
    if (!__get_cpuid(1, &a, &b, &c, &d) || (c & wanted) != wanted)
        return false;
    unsigned low, high;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (low & 6) == 6;  // the SSE and AVX registers' state
}
#endif

Narrowing chosen_narrowing(void)
{
#if defined(PICTOR_F16C)
    static const Narrowing chosen = has_f16c() ? exr_narrow_halves_f16c : exr_narrow_halves_plain;
#else
    static const Narrowing chosen = exr_narrow_halves_plain;
#endif
    return chosen;
}

}  // namespace

void exr_narrow_halves(const double *values, uint16_t *halves, size_t count)
{
    chosen_narrowing()(values, halves, count);
}

namespace {

// A NaN's quiet bit, set: what a conversion to double and back does to a signalling NaN.
const uint32_t QUIET_BIT = 0x400000;

// Every half widened once by the library, NaNs quieted.
struct WideningTable {
    float value[65536];
    WideningTable()
    {
        for (unsigned h = 0; h < 65536; h++) {
            float f = ImfHalfToFloat((ImfHalf)h);
            uint32_t bits;
            memcpy(&bits, &f, sizeof bits);
            if (f != f)
                bits |= QUIET_BIT;
            memcpy(&value[h], &bits, sizeof bits);
        }
    }
};

const WideningTable &widening_table(void)
{
    static const WideningTable table;
    return table;
}

#if defined(PICTOR_F16C)
// Sixteen halves at a time; the instruction quiets NaNs as the table does.
__attribute__((target("avx,f16c"))) void widen_f16c(const uint16_t *halves, float *floats,
                                                    size_t count, const WideningTable &table)
{
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        __m128i a = _mm_loadu_si128((const __m128i *)(halves + i));
        __m128i b = _mm_loadu_si128((const __m128i *)(halves + i + 8));
        _mm256_storeu_ps(floats + i, _mm256_cvtph_ps(a));
        _mm256_storeu_ps(floats + i + 8, _mm256_cvtph_ps(b));
    }
    for (; i < count; i++)
        floats[i] = table.value[halves[i]];
}
#endif

}  // namespace

void exr_widen_halves(const uint16_t *halves, float *floats, size_t count)
{
    const WideningTable &table = widening_table();
#if defined(PICTOR_F16C)
    if (chosen_narrowing() == exr_narrow_halves_f16c) {
        widen_f16c(halves, floats, count, table);
        return;
    }
#endif
    for (size_t i = 0; i < count; i++)
        floats[i] = table.value[halves[i]];
}

void exr_quiet_nans(float *values, size_t count)
{
    size_t i = 0;
#if defined(__SSE2__)
    const __m128 quiet = _mm_castsi128_ps(_mm_set1_epi32((int)QUIET_BIT));
    for (; i + 4 <= count; i += 4) {
        __m128 v = _mm_loadu_ps(values + i);
        _mm_storeu_ps(values + i, _mm_or_ps(v, _mm_and_ps(_mm_cmpunord_ps(v, v), quiet)));
    }
#endif
    for (; i < count; i++) {
        uint32_t bits;
        memcpy(&bits, &values[i], sizeof bits);
        if (values[i] != values[i])
            bits |= QUIET_BIT;
        memcpy(&values[i], &bits, sizeof bits);
    }
}

void exr_narrow_rgb_to_rgba(const double *rgb, uint16_t *rgba, size_t pixels)
{
#if defined(PICTOR_F16C)
    if (chosen_narrowing() == exr_narrow_halves_f16c) {
        exr_narrow_rgb_f16c(rgb, rgba, pixels);
        return;
    }
#endif
    exr_narrow_rgb_plain(rgb, rgba, pixels);
}

const char *exr_narrowing_way(void)
{
    return chosen_narrowing() == exr_narrow_halves_plain ? "plain" : "F16C";
}
