// One pixel between three doubles and four RGBE bytes, and flat (unencoded) pixel data.
#include "rgbe/rgbe.h"
#include "rgbe/rgbe_internal.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

namespace {

// The largest value an RGBE component can hold: mantissa 255 with exponent byte 255.
const double RGBE_LARGEST = 255.0 * 0x1p119;

// NaN, negative values and -0 count as 0; anything above the largest RGBE value saturates to
// it, so the exponent byte never wraps and no NaN or infinity is converted to an integer.
inline double clean_component(double c)
{
    if (!(c > 0.0))
        return 0.0;
    return c > RGBE_LARGEST ? RGBE_LARGEST : c;
}

// 2^k as a double, for k within the normal range.
inline double power_of_two(int k)
{
    uint64_t bits = (uint64_t)(k + 1023) << 52;
    double value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

const int FLAT_CHUNK_PIXELS = 1024;

}  // namespace

namespace {

// One pixel, its four bytes stored at out[0], out[step], out[2 * step] and out[3 * step].
// Cleaned, no component is NaN, and the largest of the three taken to single precision is what
// the format's comparisons (red against green, the winner against blue) would give.
inline void pack(double red, double green, double blue, unsigned char *out, size_t step)
{
    red = clean_component(red);
    green = clean_component(green);
    blue = clean_component(blue);
    double most = red > green ? red : green;
    float v = (float)(most > blue ? most : blue);
    if (!((double)v >= 1e-32)) {
        out[0] = out[step] = out[2 * step] = out[3 * step] = 0;
        return;
    }
    // v is a normal float here, so frexp's exponent is its biased exponent less 126.
    uint32_t bits;
    memcpy(&bits, &v, sizeof bits);
    int e = (int)(bits >> 23) - 126;
    double scale = power_of_two(8 - e);  // m * 256 / v
    out[0] = (unsigned char)(int64_t)(red * scale);
    out[step] = (unsigned char)(int64_t)(green * scale);
    out[2 * step] = (unsigned char)(int64_t)(blue * scale);
    out[3 * step] = (unsigned char)(e + 128);
}

// 2^(byte - 136) for every exponent byte, and 0 for the byte 0.
struct ExponentScales {
    double scale[256];
    ExponentScales()
    {
        for (int e = 0; e < 256; e++)
            scale[e] = e == 0 ? 0.0 : power_of_two(e - 136);
    }
};
const ExponentScales EXPONENT_SCALES;

// A mantissa times its scale, where 0 (a mantissa or the exponent byte 0) is 1e-6 instead.
inline double component(unsigned char mantissa, double f)
{
    double v = (double)mantissa * f;
    return v > 0.0 ? v : 1e-6;
}

// One pixel from its four bytes.
inline void unpack(unsigned char red, unsigned char green, unsigned char blue, unsigned char e,
                   double *out)
{
    double f = EXPONENT_SCALES.scale[e];
    out[0] = component(red, f);
    out[1] = component(green, f);
    out[2] = component(blue, f);
}

}  // namespace

void rgbe_pack_pixel(unsigned char rgbe_out[4], double red, double green, double blue)
{
    pack(red, green, blue, rgbe_out, 1);
}

void rgbe_unpack_pixel(double *red_out, double *green_out, double *blue_out,
                       const unsigned char rgbe_in[4])
{
    double rgb[3];
    unpack(rgbe_in[0], rgbe_in[1], rgbe_in[2], rgbe_in[3], rgb);
    *red_out = rgb[0];
    *green_out = rgb[1];
    *blue_out = rgb[2];
}

void rgbe_pack_row(const double *pixels, int32_t count, unsigned char *planes)
{
    for (int32_t i = 0; i < count; i++, pixels += 3)
        pack(pixels[0], pixels[1], pixels[2], planes + i, (size_t)count);
}

#if defined(__SSE2__)
namespace {

// Four pixels of four floats each, packed: four bytes of red mantissas, then of green, of blue
// and of exponents. Floats widened to doubles pack to the same bytes as the floats themselves:
// the largest of three floats is a float, and the scaling by a power of two and the truncation
// are exact in either.
inline __m128i pack_four(const float *pixels)
{
    const __m128 zero = _mm_setzero_ps(), largest = _mm_set1_ps((float)RGBE_LARGEST);
    const __m128 least = _mm_set1_ps((float)1e-32);  // the least float that is 1e-32 or more
    __m128 red = _mm_loadu_ps(pixels), green = _mm_loadu_ps(pixels + 4);
    __m128 blue = _mm_loadu_ps(pixels + 8), fourth = _mm_loadu_ps(pixels + 12);
    _MM_TRANSPOSE4_PS(red, green, blue, fourth);
    // NaN and negative components count as 0 (the maximum gives its second operand for a NaN),
    // and none is beyond the largest RGBE value.
    red = _mm_min_ps(_mm_max_ps(red, zero), largest);
    green = _mm_min_ps(_mm_max_ps(green, zero), largest);
    blue = _mm_min_ps(_mm_max_ps(blue, zero), largest);
    __m128 most = _mm_max_ps(red, _mm_max_ps(green, blue));
    __m128i bright = _mm_castps_si128(_mm_cmpge_ps(most, least));
    __m128i biased = _mm_srli_epi32(_mm_castps_si128(most), 23);  // e + 126
    // 2^(8 - e), as a float: biased exponent 8 - e + 127.
    __m128 scale = _mm_castsi128_ps(_mm_slli_epi32(_mm_sub_epi32(_mm_set1_epi32(261), biased), 23));
    __m128i r = _mm_cvttps_epi32(_mm_mul_ps(red, scale));
    __m128i g = _mm_cvttps_epi32(_mm_mul_ps(green, scale));
    __m128i b = _mm_cvttps_epi32(_mm_mul_ps(blue, scale));
    __m128i e = _mm_add_epi32(biased, _mm_set1_epi32(2));  // e + 128
    // Mantissas within 0 .. 255, and the bytes of pixels too dark to encode all 0.
    __m128i dark = _mm_packs_epi16(_mm_packs_epi32(bright, bright), _mm_packs_epi32(bright, bright));
    return _mm_and_si128(_mm_packus_epi16(_mm_packs_epi32(r, g), _mm_packs_epi32(b, e)), dark);
}

}  // namespace
#endif

void rgbe_pack_row_rgba(const float *pixels, int32_t count, unsigned char *planes)
{
    int32_t i = 0;
    size_t step = (size_t)count;
#if defined(__SSE2__)
    // Sixteen pixels at a time: four of pack_four's results, turned so that each plane gets its
    // sixteen bytes at once.
    for (; i + 16 <= count; i += 16, pixels += 64) {
        __m128 a = _mm_castsi128_ps(pack_four(pixels)), b = _mm_castsi128_ps(pack_four(pixels + 16));
        __m128 c = _mm_castsi128_ps(pack_four(pixels + 32)), d = _mm_castsi128_ps(pack_four(pixels + 48));
        _MM_TRANSPOSE4_PS(a, b, c, d);
        _mm_storeu_ps((float *)(planes + i), a);
        _mm_storeu_ps((float *)(planes + step + i), b);
        _mm_storeu_ps((float *)(planes + 2 * step + i), c);
        _mm_storeu_ps((float *)(planes + 3 * step + i), d);
    }
    for (; i + 4 <= count; i += 4, pixels += 16) {
        uint32_t four[4];
        _mm_storeu_si128((__m128i *)four, pack_four(pixels));
        for (int k = 0; k < 4; k++)
            memcpy(planes + (size_t)k * step + i, &four[k], 4);
    }
#endif
    for (; i < count; i++, pixels += 4)
        pack(pixels[0], pixels[1], pixels[2], planes + i, step);
}

void rgbe_unpack_row(const unsigned char *planes, int32_t count, double *pixels)
{
    const unsigned char *red = planes, *green = red + count, *blue = green + count,
                        *e = blue + count;
#if defined(__SSE2__)
    // Red and green of a pixel side by side in one register, blue beside the next pixel's red.
    const __m128d zero = _mm_setzero_pd(), floor = _mm_set1_pd(1e-6);
    auto components = [&](__m128d mantissas, __m128d scales, double *out) {
        __m128d v = _mm_mul_pd(mantissas, scales);
        __m128d positive = _mm_cmpgt_pd(v, zero);
        _mm_storeu_pd(out, _mm_or_pd(_mm_and_pd(positive, v), _mm_andnot_pd(positive, floor)));
    };
    int32_t i = 0;
    for (; i + 2 <= count; i += 2, pixels += 6) {
        double f0 = EXPONENT_SCALES.scale[e[i]], f1 = EXPONENT_SCALES.scale[e[i + 1]];
        components(_mm_set_pd(green[i], red[i]), _mm_set1_pd(f0), pixels);
        components(_mm_set_pd(red[i + 1], blue[i]), _mm_set_pd(f1, f0), pixels + 2);
        components(_mm_set_pd(blue[i + 1], green[i + 1]), _mm_set1_pd(f1), pixels + 4);
    }
    if (i < count)
        unpack(red[i], green[i], blue[i], e[i], pixels);
#else
    for (int32_t i = 0; i < count; i++, pixels += 3)
        unpack(red[i], green[i], blue[i], e[i], pixels);
#endif
}

int rgbe_put_flat_pixels(FILE *stream, const double *pixels, int64_t count)
{
    unsigned char chunk[4 * FLAT_CHUNK_PIXELS];
    while (count > 0) {
        size_t n = count < FLAT_CHUNK_PIXELS ? (size_t)count : FLAT_CHUNK_PIXELS;
        for (size_t i = 0; i < n; i++, pixels += 3)
            pack(pixels[0], pixels[1], pixels[2], chunk + 4 * i, 1);
        if (fwrite_unlocked(chunk, 4, n, stream) < n)
            return rgbe_fail(RGBE_ERR_WRITE, nullptr);
        count -= (int64_t)n;
    }
    return 0;
}

int rgbe_get_flat_pixels(FILE *stream, double *pixels, int64_t count)
{
    unsigned char chunk[4 * FLAT_CHUNK_PIXELS];
    while (count > 0) {
        size_t want = count < FLAT_CHUNK_PIXELS ? (size_t)count : FLAT_CHUNK_PIXELS;
        size_t got = fread(chunk, 4, want, stream);
        for (size_t i = 0; i < got; i++, pixels += 3)
            unpack(chunk[4 * i], chunk[4 * i + 1], chunk[4 * i + 2], chunk[4 * i + 3], pixels);
        if (got < want)
            return rgbe_fail_read(stream);
        count -= (int64_t)want;
    }
    return 0;
}

int rgbe_put_flat(FILE *stream, const double *pixels, int32_t count)
{
    return rgbe_put_flat_pixels(stream, pixels, count);
}

int rgbe_get_flat(FILE *stream, double *pixels, int32_t count)
{
    return rgbe_get_flat_pixels(stream, pixels, count);
}
