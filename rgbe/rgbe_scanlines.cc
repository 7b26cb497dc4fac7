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

// Literal bytes are copied 16 at a time, and at least 32, so that the copy of most packets takes
// no branch on the data: a copy may write up to COPY_SLACK bytes past the last packet. Planes
// are read 64 bytes at a time: up to PLANE_SLACK bytes past the last plane are read, and are
// there, zeroed.
const size_t COPY_SLACK = 1 + 32;  // a count byte that was not kept, and 32 bytes
const size_t PLANE_SLACK = 64;

// The packets of rows go to the stream in writes of up to this many bytes.
const size_t PACKET_BUFFER_BYTES = 1 << 20;

// The most bytes the packets of a row of width pixels take: its marker, then in each plane at
// worst a count byte per 128 literal bytes; and the copies' slack.
size_t row_packet_bytes(int32_t width)
{
    return 4 + 4 * ((size_t)width + ((size_t)width + RGBE_MAX_LITERAL - 1) / RGBE_MAX_LITERAL) +
           COPY_SLACK;
}

inline void put_run(PacketBuffer *out, unsigned char length, unsigned char value)
{
    out->bytes[out->size++] = (unsigned char)(128 + length);
    out->bytes[out->size++] = value;
}

// Writes a packet's count byte, then length bytes from bytes after it: 32 whatever the length,
// which covers most packets without a branch, then 16 at a time.
inline void put_packet(unsigned char *to, unsigned char count, const unsigned char *bytes,
                       int32_t length)
{
    to[0] = count;
    memcpy(to + 1, bytes, 16);
    memcpy(to + 17, bytes + 16, 16);
    for (int32_t i = 32; i < length; i += 16)
        memcpy(to + 1 + i, bytes + i, 16);
}

// The packets for the count bytes (maybe none) before a run: a lone group of 2 or 3 equal bytes
// is a short run, the rest goes out as literals. A run's packet is its count and its byte, and
// a literal packet begins with its count and its first byte too: the last packet is written
// the same way for all three, and only its count and length differ.
inline void put_stretch(PacketBuffer *out, const unsigned char *bytes, int32_t count)
{
    int32_t last = count > 0 ? count - 1 : 0;
    bool short_run = (count == 2) | (count == 3);
    short_run &= (bytes[1] == bytes[0]) & (bytes[last] == bytes[0]);
    for (; count > RGBE_MAX_LITERAL; count -= RGBE_MAX_LITERAL, bytes += RGBE_MAX_LITERAL) {
        put_packet(out->bytes + out->size, RGBE_MAX_LITERAL, bytes, RGBE_MAX_LITERAL);
        out->size += 1 + RGBE_MAX_LITERAL;
    }
    put_packet(out->bytes + out->size, (unsigned char)(count + (short_run ? 128 : 0)), bytes, count);
    out->size += count == 0 ? 0 : short_run ? 2 : 1 + (size_t)count;
}

// Where the bytes of a plane of n bytes equal the next: bit i % 64 of word i / 64 for byte i,
// never for the last byte; then where RGBE_MIN_RUN (4) equal bytes begin, from the same bits.
// Each word takes 64 places at once, so that runs and the literals between them are found
// without looking at the bytes one by one.
struct PlaneMarks {
    uint64_t *equal_next;  // marks_words(n) words each
    uint64_t *run_start;
};

constexpr size_t marks_words(int32_t n)
{
    return (size_t)(n > 0 ? n : 0) / 64 + 2;
}

// The bits of where 64 bytes from data equal the next (reading 65 bytes).
inline uint64_t equal_next_word(const unsigned char *data)
{
#if defined(__SSE2__)
    auto sixteen = [data](int k) {
        __m128i here = _mm_loadu_si128((const __m128i *)(data + k));
        __m128i next = _mm_loadu_si128((const __m128i *)(data + k + 1));
        return (uint64_t)(uint16_t)_mm_movemask_epi8(_mm_cmpeq_epi8(here, next));
    };
    return sixteen(0) | sixteen(16) << 16 | sixteen(32) << 32 | sixteen(48) << 48;
#else
    uint64_t word = 0;
    for (int j = 0; j < 64; j++)
        word |= (uint64_t)(data[j] == data[j + 1]) << j;
    return word;
#endif
}

// Reads up to PLANE_SLACK bytes past the plane, and clears their bits.
void mark_plane(const unsigned char *data, int32_t n, const PlaneMarks *marks)
{
    int32_t words = (n + 63) / 64;
    for (int32_t w = 0; w < words; w++)
        marks->equal_next[w] = equal_next_word(data + 64 * w);
    if (words > 0) {  // the last byte, and any after it, have no next byte in the plane
        int last = (n - 1) % 64;
        marks->equal_next[words - 1] &= last == 0 ? 0 : ~0ULL >> (64 - last);
    }
    marks->equal_next[words] = 0;  // a word past the last, for the run starts
    for (int32_t w = 0; w < words; w++) {
        uint64_t e = marks->equal_next[w], after = marks->equal_next[w + 1];
        marks->run_start[w] = e & (e >> 1 | after << 63) & (e >> 2 | after << 62);
    }
}

// The first place at or after from whose bit is set in bits (n when none before n).
int32_t next_set(const uint64_t *bits, int32_t from, int32_t n)
{
    int32_t w = from / 64;
    uint64_t word = bits[w] & (~0ULL << (from % 64));
    int32_t words = (n + 63) / 64;
    while (word == 0) {
        if (++w >= words)
            return n;
        word = bits[w];
    }
    return std::min(n, w * 64 + __builtin_ctzll(word));
}

// The first place at or after from whose bit is clear; the last byte's always is.
int32_t next_clear(const uint64_t *bits, int32_t from)
{
    int32_t w = from / 64;
    uint64_t word = ~bits[w] & (~0ULL << (from % 64));
    while (word == 0)
        word = ~bits[++w];
    return w * 64 + __builtin_ctzll(word);
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

// Codes n bytes, followed by PLANE_SLACK more that may be read, as byte-run packets into out,
// which has room for them; marks has room for marks_words(n) words each.
void code_byte_runs(PacketBuffer *out, const unsigned char *data, int32_t n, const PlaneMarks &marks)
{
    mark_plane(data, n, &marks);
    int32_t cur = 0;
    while (cur < n) {
        // The next run: the first group of at least RGBE_MIN_RUN equal bytes at or after cur,
        // groups being the stretches of equal bytes that follow each other from cur. The first
        // place where four equal bytes begin is such a group's start: had the byte before it
        // been equal too, four equal bytes would have begun there.
        int32_t beg = next_set(marks.run_start, cur, n);
        put_stretch(out, data + cur, beg - cur);
        cur = beg;
        if (beg < n) {
            // The run goes on to the first byte that differs from the next one, or the last.
            int32_t run = std::min(next_clear(marks.equal_next, beg) - beg + 1, RGBE_MAX_RUN);
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
    // The marks, then the bytes with their slack.
    uint64_t *words =
        (uint64_t *)malloc(2 * marks_words(n) * sizeof(uint64_t) + (size_t)n + PLANE_SLACK);
    if (!out.bytes || !words) {
        free(out.bytes);
        free(words);
        return rgbe_fail(RGBE_ERR_MEMORY, "unable to allocate buffer space");
    }
    unsigned char *bytes = (unsigned char *)(words + 2 * marks_words(n));
    memcpy(bytes, data, (size_t)n);
    memset(bytes + n, 0, PLANE_SLACK);
    code_byte_runs(&out, bytes, n, PlaneMarks{words, words + marks_words(n)});
    int result = fwrite_unlocked(out.bytes, 1, out.size, stream) < out.size
                     ? rgbe_fail(RGBE_ERR_WRITE, nullptr)
                     : 0;
    free(out.bytes);
    free(words);
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
    unsigned char *planes = (unsigned char *)malloc(4 * (size_t)width + PLANE_SLACK);
    if (planes)
        memset(planes + 4 * (size_t)width, 0, PLANE_SLACK);
    // Rows are coded one after another into the packet buffer, which goes to the stream when the
    // next row might not fit: large writes that the stream passes on without copying them.
    size_t row_bytes = row_packet_bytes(width);
    size_t capacity = std::max(row_bytes, PACKET_BUFFER_BYTES);
    PacketBuffer out = {planes ? (unsigned char *)malloc(capacity) : nullptr, 0};
    // The marks of a plane, for the widest coded row.
    const size_t words = marks_words(RGBE_RLE_MAX_WIDTH);
    uint64_t marks[2 * words];
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
        memcpy(out.bytes + out.size, marker, 4);
        out.size += 4;
        if (pixels.rgb)
            rgbe_pack_row(pixels.rgb + (size_t)y * (size_t)width * 3, width, planes);
        else
            rgbe_pack_row_rgba(pixels.rgba + (size_t)y * (size_t)width * 4, width, planes);
        for (int k = 0; k < 4; k++)
            code_byte_runs(&out, planes + (size_t)k * width, width, PlaneMarks{marks, marks + words});
        if ((y + 1 == rows || capacity - out.size < row_bytes) &&
            fwrite_unlocked(out.bytes, 1, out.size, stream) < out.size)
            result = rgbe_fail(RGBE_ERR_WRITE, nullptr);
        if (capacity - out.size < row_bytes)
            out.size = 0;
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
    if (!rle_width(width))
        return rgbe_get_flat_pixels(stream, pixels, pixel_count(width, rows));
    unsigned char *planes = nullptr;
    for (int32_t y = 0; y < rows; y++) {
        double *row = pixels + (size_t)y * (size_t)width * 3;
        unsigned char marker[4];
        if (fread(marker, 4, 1, stream) < 1) {
            free(planes);
            return rgbe_fail_read(stream);
        }
        bool marked = marker[0] == 2 && marker[1] == 2 && !(marker[2] & 0x80);
        bool right_width = marker[2] * 256 + marker[3] == width;
        // A row that begins unmarked is flat: these 4 bytes are its first pixel. Once a row has
        // been flat, a later row whose first pixel happens to look like a marker of another
        // width is flat too, as it always was read.
        if (!marked || (!right_width && state->flat)) {
            state->flat = true;
            rgbe_unpack_pixel(&row[0], &row[1], &row[2], marker);
            if (rgbe_get_flat_pixels(stream, row + 3, width - 1) != 0) {
                free(planes);
                return -1;
            }
            continue;
        }
        if (!right_width) {
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
