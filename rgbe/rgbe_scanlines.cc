// Pixel data: run-length coded scanlines, with flat data for other widths.
#include "rgbe/rgbe.h"
#include "rgbe/rgbe_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Where packets are coded: a row's worth of memory, written to the stream at once.
struct PacketBuffer {
    unsigned char *bytes;
    size_t size;
};

// The most bytes the packets of a row of width pixels take: its marker, then in each plane at
// worst a count byte per 128 literal bytes.
size_t row_packet_bytes(int32_t width)
{
    return 4 + 4 * ((size_t)width + ((size_t)width + RGBE_MAX_LITERAL - 1) / RGBE_MAX_LITERAL);
}

inline void put_run(PacketBuffer *out, unsigned char length, unsigned char value)
{
    out->bytes[out->size++] = (unsigned char)(128 + length);
    out->bytes[out->size++] = value;
}

inline void put_literals(PacketBuffer *out, const unsigned char *bytes, int32_t count)
{
    while (count > 0) {
        unsigned char length = (unsigned char)(count < RGBE_MAX_LITERAL ? count : RGBE_MAX_LITERAL);
        out->bytes[out->size++] = length;
        memcpy(out->bytes + out->size, bytes, length);
        out->size += length;
        bytes += length;
        count -= length;
    }
}

// The first position at or after from where RGBE_MIN_RUN (4) equal bytes begin, or n.
int32_t next_equal_four(const unsigned char *data, int32_t from, int32_t n)
{
    int32_t i = from;
#if defined(__SSE2__)
    // Sixteen starting places at a time: where a byte equals the next three.
    for (; i + 19 <= n; i += 16) {
        __m128i a = _mm_loadu_si128((const __m128i *)(data + i));
        __m128i equal = _mm_and_si128(
            _mm_cmpeq_epi8(a, _mm_loadu_si128((const __m128i *)(data + i + 1))),
            _mm_and_si128(_mm_cmpeq_epi8(a, _mm_loadu_si128((const __m128i *)(data + i + 2))),
                          _mm_cmpeq_epi8(a, _mm_loadu_si128((const __m128i *)(data + i + 3)))));
        if (int places = _mm_movemask_epi8(equal))
            return i + __builtin_ctz((unsigned)places);
    }
#endif
    for (; i + 3 < n; i++) {
        if (data[i] == data[i + 1] && data[i] == data[i + 2] && data[i] == data[i + 3])
            return i;
    }
    return n;
}

// How many of the first most bytes (at least 1) equal the first, eight at a time.
int32_t run_length(const unsigned char *data, int32_t most)
{
    int32_t run = 1;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const uint64_t same = 0x0101010101010101ULL * data[0];
    for (; run + 8 <= most; run += 8) {
        uint64_t next;
        memcpy(&next, data + run, 8);
        if (uint64_t differ = next ^ same)
            return run + __builtin_ctzll(differ) / 8;
    }
#endif
    while (run < most && data[run] == data[0])
        run++;
    return run;
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

namespace {

// Codes n bytes as byte-run packets into out, which has room for them.
void code_byte_runs(PacketBuffer *out, const unsigned char *data, int32_t n)
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
            data[beg - 1] == data[cur])
            put_run(out, (unsigned char)stretch, data[cur]);
        else
            put_literals(out, data + cur, stretch);
        cur = beg;
        if (beg < n) {
            int32_t run = run_length(data + beg, std::min(n - beg, RGBE_MAX_RUN));
            put_run(out, (unsigned char)run, data[beg]);
            cur = beg + run;
        }
    }
}

}  // namespace

int rgbe_put_byte_runs(FILE *stream, const unsigned char *data, int32_t n)
{
    if (n <= 0)
        return 0;
    PacketBuffer out = {(unsigned char *)malloc(row_packet_bytes(n)), 0};
    if (!out.bytes)
        return rgbe_fail(RGBE_ERR_MEMORY, "unable to allocate buffer space");
    code_byte_runs(&out, data, n);
    int result = fwrite_unlocked(out.bytes, 1, out.size, stream) < out.size
                     ? rgbe_fail(RGBE_ERR_WRITE, nullptr)
                     : 0;
    free(out.bytes);
    return result;
}

namespace {

// The pixels of a band, as doubles (RgbPixelBuffer) or as four floats each.
struct BandPixels {
    const double *rgb;
    const float *rgba;
};

// Row y of the band as doubles: the band's own, or the floats widened into row.
const double *row_doubles(const BandPixels &pixels, int32_t y, int32_t width, double *row)
{
    if (pixels.rgb)
        return pixels.rgb + (size_t)y * (size_t)width * 3;
    const float *in = pixels.rgba + (size_t)y * (size_t)width * 4;
    for (int32_t x = 0; x < width; x++, in += 4) {
        row[3 * x] = in[0];
        row[3 * x + 1] = in[1];
        row[3 * x + 2] = in[2];
    }
    return row;
}

// Flat pixel data of a band, row by row.
int put_flat_band(FILE *stream, const BandPixels &pixels, int32_t width, int32_t rows)
{
    if (pixels.rgb)
        return rgbe_put_flat_pixels(stream, pixels.rgb, pixel_count(width, rows));
    double *row = (double *)malloc((size_t)(width > 0 ? width : 0) * 3 * sizeof(double) + 1);
    if (!row)
        return rgbe_fail(RGBE_ERR_MEMORY, "unable to allocate buffer space");
    int result = 0;
    for (int32_t y = 0; y < rows && width > 0 && result == 0; y++)
        result = rgbe_put_flat_pixels(stream, row_doubles(pixels, y, width, row), width);
    free(row);
    return result;
}

int put_band(FILE *stream, const BandPixels &pixels, int32_t width, int32_t rows,
             RgbeScanlineState *state)
{
    if (state->flat || !rle_width(width))
        return put_flat_band(stream, pixels, width, rows);
    unsigned char *planes = (unsigned char *)malloc(4 * (size_t)width);
    PacketBuffer out = {planes ? (unsigned char *)malloc(row_packet_bytes(width)) : nullptr, 0};
    if (!out.bytes) {
        // Without the work buffer the rest of the picture goes out flat, this band and every
        // later one: a reader can't go back to coded rows once the data has turned flat.
        free(planes);
        state->flat = true;
        return put_flat_band(stream, pixels, width, rows);
    }
    int result = 0;
    for (int32_t y = 0; y < rows && result == 0; y++) {
        unsigned char marker[4] = {2, 2, (unsigned char)(width >> 8), (unsigned char)(width & 0xff)};
        memcpy(out.bytes, marker, 4);
        out.size = 4;
        if (pixels.rgb)
            rgbe_pack_row(pixels.rgb + (size_t)y * (size_t)width * 3, width, planes);
        else
            rgbe_pack_row_rgba(pixels.rgba + (size_t)y * (size_t)width * 4, width, planes);
        for (int k = 0; k < 4; k++)
            code_byte_runs(&out, planes + (size_t)k * width, width);
        if (fwrite_unlocked(out.bytes, 1, out.size, stream) < out.size)
            result = rgbe_fail(RGBE_ERR_WRITE, nullptr);
    }
    free(out.bytes);
    free(planes);
    return result;
}

}  // namespace

int rgbe_put_scanline_band(FILE *stream, const double *pixels, int32_t width, int32_t rows,
                           RgbeScanlineState *state)
{
    return put_band(stream, BandPixels{pixels, nullptr}, width, rows, state);
}

int rgbe_put_scanline_band_rgba(FILE *stream, const float *pixels, int32_t width, int32_t rows,
                                RgbeScanlineState *state)
{
    return put_band(stream, BandPixels{nullptr, pixels}, width, rows, state);
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
        rgbe_unpack_row(planes, width, row);
    }
    free(planes);
    return 0;
}

int rgbe_get_scanlines(FILE *stream, double *pixels, int32_t width, int32_t rows)
{
    RgbeScanlineState state = {false};
    return rgbe_get_scanline_band(stream, pixels, width, rows, &state);
}
