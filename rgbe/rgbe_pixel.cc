// One pixel between three doubles and four RGBE bytes, and flat (unencoded) pixel data.
#include "rgbe/rgbe.h"
#include "rgbe/rgbe_internal.h"

#include <cstring>

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

void rgbe_pack_pixel(unsigned char rgbe_out[4], double red, double green, double blue)
{
    red = clean_component(red);
    green = clean_component(green);
    blue = clean_component(blue);

    // The largest component, brought to single precision before its exponent is taken.
    float v = (float)red;
    if (!(red >= green))
        v = (float)green;
    if (!((double)v >= blue))
        v = (float)blue;
    if (!((double)v >= 1e-32)) {
        rgbe_out[0] = rgbe_out[1] = rgbe_out[2] = rgbe_out[3] = 0;
        return;
    }
    // v is a normal float here, so frexp's exponent is its biased exponent less 126.
    uint32_t bits;
    memcpy(&bits, &v, sizeof bits);
    int e = (int)((bits >> 23) & 0xff) - 126;
    double scale = power_of_two(8 - e);  // m * 256 / v
    rgbe_out[0] = (unsigned char)(int64_t)(red * scale);
    rgbe_out[1] = (unsigned char)(int64_t)(green * scale);
    rgbe_out[2] = (unsigned char)(int64_t)(blue * scale);
    rgbe_out[3] = (unsigned char)(e + 128);
}

void rgbe_unpack_pixel(double *red_out, double *green_out, double *blue_out,
                       const unsigned char rgbe_in[4])
{
    if (rgbe_in[3] == 0) {
        *red_out = *green_out = *blue_out = 1e-6;
        return;
    }
    double f = power_of_two((int)rgbe_in[3] - 136);
    *red_out = rgbe_in[0] ? rgbe_in[0] * f : 1e-6;
    *green_out = rgbe_in[1] ? rgbe_in[1] * f : 1e-6;
    *blue_out = rgbe_in[2] ? rgbe_in[2] * f : 1e-6;
}

int rgbe_put_flat_pixels(FILE *stream, const double *pixels, int64_t count)
{
    for (int64_t i = 0; i < count; i++) {
        unsigned char rgbe[4];
        rgbe_pack_pixel(rgbe, pixels[3 * i], pixels[3 * i + 1], pixels[3 * i + 2]);
        if (fwrite_unlocked(rgbe, 4, 1, stream) < 1)
            return rgbe_fail(RGBE_ERR_WRITE, nullptr);
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
            rgbe_unpack_pixel(&pixels[0], &pixels[1], &pixels[2], &chunk[4 * i]);
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
