// Pixel data: run-length coded scanlines, with flat data for other widths.
#include "rgbe/rgbe.h"
#include "rgbe/rgbe_internal.h"

#include <cstdlib>
#include <cstring>

namespace {

bool rle_width(int32_t width)
{
    return width >= RGBE_RLE_MIN_WIDTH && width <= RGBE_RLE_MAX_WIDTH;
}

// width * rows as a 64-bit count; sizes that are not positive hold no pixels.
int64_t pixel_count(int32_t width, int32_t rows)
{
    if (width <= 0 || rows <= 0)
        return 0;
    return (int64_t)width * rows;
}

int put_run(FILE *stream, unsigned char length, unsigned char value)
{
    unsigned char packet[2] = {(unsigned char)(128 + length), value};
    if (fwrite_unlocked(packet, 2, 1, stream) < 1)
        return rgbe_fail(RGBE_ERR_WRITE, nullptr);
    return 0;
}

int put_literals(FILE *stream, const unsigned char *bytes, int32_t count)
{
    while (count > 0) {
        unsigned char length = (unsigned char)(count < RGBE_MAX_LITERAL ? count : RGBE_MAX_LITERAL);
        if (fwrite_unlocked(&length, 1, 1, stream) < 1 ||
            fwrite_unlocked(bytes, length, 1, stream) < 1)
            return rgbe_fail(RGBE_ERR_WRITE, nullptr);
        bytes += length;
        count -= length;
    }
    return 0;
}

// The first position at or after from where RGBE_MIN_RUN (4) equal bytes begin, or n.
int32_t next_equal_four(const unsigned char *data, int32_t from, int32_t n)
{
    int32_t i = from;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Six starting places at a time: byte k of x is zero where data[i + k] equals its
    // neighbour, and three zero bytes in a row make four equal bytes.
    const uint64_t low7 = 0x7f7f7f7f7f7f7f7fULL;
    for (; i + 9 <= n; i += 6) {
        uint64_t a, b;
        memcpy(&a, data + i, 8);
        memcpy(&b, data + i + 1, 8);
        uint64_t x = a ^ b;
        uint64_t zero = ~(((x & low7) + low7) | x | low7);
        uint64_t four = zero & (zero >> 8) & (zero >> 16) & 0x0000808080808080ULL;
        if (four)
            return i + __builtin_ctzll(four) / 8;
    }
#endif
    for (; i + 3 < n; i++) {
        if (data[i] == data[i + 1] && data[i] == data[i + 2] && data[i] == data[i + 3])
            return i;
    }
    return n;
}

// Fills one plane of width bytes from its packets.
int get_plane(FILE *stream, unsigned char *plane, int32_t width)
{
    int32_t filled = 0;
    while (filled < width) {
        int count = getc_unlocked(stream);
        int value = count == EOF ? EOF : getc_unlocked(stream);
        if (value == EOF)
            return rgbe_fail_read(stream);
        int32_t room = width - filled;
        if (count > 128) {
            int32_t n = count - 128;
            if (n > room)
                return rgbe_fail(RGBE_ERR_FORMAT, "bad scanline data");
            for (int32_t i = 0; i < n; i++)
                plane[filled + i] = (unsigned char)value;
            filled += n;
        } else {
            int32_t n = count;
            if (n == 0 || n > room)
                return rgbe_fail(RGBE_ERR_FORMAT, "bad scanline data");
            plane[filled] = (unsigned char)value;
            if (n > 1 && fread_unlocked(plane + filled + 1, (size_t)n - 1, 1, stream) < 1)
                return rgbe_fail_read(stream);
            filled += n;
        }
    }
    return 0;
}

}  // namespace

int rgbe_put_byte_runs(FILE *stream, const unsigned char *data, int32_t n)
{
    int32_t cur = 0;
    while (cur < n) {
        // The next run: the first group of at least RGBE_MIN_RUN equal bytes at or after cur,
        // groups being the stretches of equal bytes that follow each other from cur. The first
        // place where four equal bytes begin is such a group's start: had the byte before it
        // been equal too, four equal bytes would have begun there.
        int32_t beg = next_equal_four(data, cur, n);
        // What lies before it: a lone group of 2 or 3 equal bytes is a short run, the rest
        // goes out as literals.
        int32_t stretch = beg - cur;
        if ((stretch == 2 || stretch == 3) && data[cur + 1] == data[cur] &&
            data[beg - 1] == data[cur]) {
            if (put_run(stream, (unsigned char)stretch, data[cur]) != 0)
                return -1;
        } else if (put_literals(stream, data + cur, stretch) != 0) {
            return -1;
        }
        cur = beg;
        if (beg < n) {
            int32_t run = 1;
            while (run < RGBE_MAX_RUN && beg + run < n && data[beg + run] == data[beg])
                run++;
            if (put_run(stream, (unsigned char)run, data[beg]) != 0)
                return -1;
            cur = beg + run;
        }
    }
    return 0;
}

int rgbe_put_scanline_band(FILE *stream, const double *pixels, int32_t width, int32_t rows,
                           RgbeScanlineState *state)
{
    if (state->flat || !rle_width(width))
        return rgbe_put_flat_pixels(stream, pixels, pixel_count(width, rows));
    unsigned char *planes = (unsigned char *)malloc(4 * (size_t)width);
    if (!planes) {
        // Without the work buffer the rest of the picture goes out flat, this band and every
        // later one: a reader can't go back to coded rows once the data has turned flat.
        state->flat = true;
        return rgbe_put_flat_pixels(stream, pixels, pixel_count(width, rows));
    }
    for (int32_t y = 0; y < rows; y++) {
        unsigned char marker[4] = {2, 2, (unsigned char)(width >> 8), (unsigned char)(width & 0xff)};
        if (fwrite(marker, 4, 1, stream) < 1) {
            free(planes);
            return rgbe_fail(RGBE_ERR_WRITE, nullptr);
        }
        const double *row = pixels + (size_t)y * (size_t)width * 3;
        for (int32_t i = 0; i < width; i++) {
            unsigned char rgbe[4];
            rgbe_pack_pixel(rgbe, row[3 * i], row[3 * i + 1], row[3 * i + 2]);
            planes[i] = rgbe[0];
            planes[width + i] = rgbe[1];
            planes[2 * width + i] = rgbe[2];
            planes[3 * width + i] = rgbe[3];
        }
        for (int k = 0; k < 4; k++) {
            int result = rgbe_put_byte_runs(stream, planes + (size_t)k * width, width);
            if (result != 0) {
                free(planes);
                return result;
            }
        }
    }
    free(planes);
    return 0;
}

int rgbe_put_scanlines(FILE *stream, const double *pixels, int32_t width, int32_t rows)
{
    RgbeScanlineState state = {false};
    return rgbe_put_scanline_band(stream, pixels, width, rows, &state);
}

int rgbe_get_scanline_band(FILE *stream, double *pixels, int32_t width, int32_t rows,
                           RgbeScanlineState *state)
{
    if (state->flat || !rle_width(width))
        return rgbe_get_flat_pixels(stream, pixels, pixel_count(width, rows));
    unsigned char *planes = nullptr;
    for (int32_t y = 0; y < rows; y++) {
        double *row = pixels + (size_t)y * (size_t)width * 3;
        unsigned char marker[4];
        if (fread(marker, 4, 1, stream) < 1) {
            free(planes);
            return rgbe_fail_read(stream);
        }
        if (marker[0] != 2 || marker[1] != 2 || (marker[2] & 0x80)) {
            // Unmarked data: flat from this pixel to the end of the picture.
            free(planes);
            state->flat = true;
            rgbe_unpack_pixel(&row[0], &row[1], &row[2], marker);
            return rgbe_get_flat_pixels(stream, row + 3, pixel_count(width, rows - y) - 1);
        }
        if (marker[2] * 256 + marker[3] != width) {
            free(planes);
            return rgbe_fail(RGBE_ERR_FORMAT, "wrong scanline width");
        }
        if (!planes) {
            planes = (unsigned char *)malloc(4 * (size_t)width);
            if (!planes)
                return rgbe_fail(RGBE_ERR_MEMORY, "unable to allocate buffer space");
        }
        for (int k = 0; k < 4; k++) {
            if (get_plane(stream, planes + (size_t)k * width, width) != 0) {
                free(planes);
                return -1;
            }
        }
        for (int32_t i = 0; i < width; i++) {
            unsigned char rgbe[4] = {planes[i], planes[width + i], planes[2 * width + i],
                                     planes[3 * width + i]};
            rgbe_unpack_pixel(&row[3 * i], &row[3 * i + 1], &row[3 * i + 2], rgbe);
        }
    }
    free(planes);
    return 0;
}

int rgbe_get_scanlines(FILE *stream, double *pixels, int32_t width, int32_t rows)
{
    RgbeScanlineState state = {false};
    return rgbe_get_scanline_band(stream, pixels, width, rows, &state);
}
