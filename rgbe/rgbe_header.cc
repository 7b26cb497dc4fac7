// Radiance header reading and writing, and the codec's error reporter.
#include "rgbe/rgbe.h"
#include "rgbe/rgbe_internal.h"

#include <cerrno>
#include <cctype>
#include <cstring>

int rgbe_fail(int code, const char *message)
{
    int error = errno;  // kept for the caller, who may name the system's reason again
    switch (code) {
    case RGBE_ERR_READ:
        perror("RGBE read error");
        break;
    case RGBE_ERR_WRITE:
        perror("RGBE write error");
        break;
    case RGBE_ERR_FORMAT:
        fprintf(stderr, "RGBE bad file format: %s\n", message);
        break;
    default:
        fprintf(stderr, "RGBE error: %s\n", message);
        break;
    }
    errno = error;
    return -1;
}

int rgbe_fail_read(FILE *stream)
{
    if (feof(stream) && !ferror(stream)) {
        fputs("RGBE read error: unexpected end of file\n", stderr);
        return -1;
    }
    return rgbe_fail(RGBE_ERR_READ, nullptr);
}

int rgbe_header_write(FILE *stream, int32_t width, int32_t height, const RgbeHeaderInfo *info)
{
    return rgbe_header_write_lines(stream, width, height, info, nullptr);
}

int rgbe_header_write_lines(FILE *stream, int32_t width, int32_t height, const RgbeHeaderInfo *info,
                            const char *lines)
{
    const char *program_type = "RGBE";
    if (info && (info->present & RGBE_HAS_PROGRAM_TYPE))
        program_type = info->program_type;
    if (fprintf(stream, "#?%s\n", program_type) < 0)
        return rgbe_fail(RGBE_ERR_WRITE, nullptr);
    if (info && (info->present & RGBE_HAS_GAMMA)) {
        if (fprintf(stream, "GAMMA=%g\n", (double)info->gamma) < 0)
            return rgbe_fail(RGBE_ERR_WRITE, nullptr);
    }
    if (info && (info->present & RGBE_HAS_EXPOSURE)) {
        if (fprintf(stream, "EXPOSURE=%g\n", (double)info->exposure) < 0)
            return rgbe_fail(RGBE_ERR_WRITE, nullptr);
    }
    if (lines && fputs(lines, stream) < 0)
        return rgbe_fail(RGBE_ERR_WRITE, nullptr);
    if (fprintf(stream, "FORMAT=32-bit_rle_rgbe\n\n") < 0)
        return rgbe_fail(RGBE_ERR_WRITE, nullptr);
    if (fprintf(stream, "-Y %d +X %d\n", height, width) < 0)
        return rgbe_fail(RGBE_ERR_WRITE, nullptr);
    return 0;
}

namespace {

// A header line holds at most its first 127 bytes; a longer line's remainder is consumed and
// dropped, so a long comment is one line like any other. A line that fits is kept whole with
// its newline, exactly as a 128-byte fgets would give it.
const int HEADER_LINE_KEEP = 127;

struct HeaderLine {
    char text[HEADER_LINE_KEEP + 1];
    int length;  // bytes kept in text
};

// What is left of the header's bound while it is read, and who hears of skipped factors.
struct HeaderInput {
    FILE *stream;
    long left;
    int32_t line;  // number of the line last read
    RgbeHeaderLineFn passed_over;
    void *context;
};

// Reads the next line. Returns 0, or -1 after the message: the read error when nothing could be
// read, or the header's bound when it is passed. The first line stops as soon as it can't
// begin with "#?", so that no byte more than needed is read of a file that is no picture.
int read_header_line(HeaderInput *in, HeaderLine *line, bool first = false)
{
    int c = getc(in->stream);
    if (c == EOF)
        return rgbe_fail_read(in->stream);
    line->length = 0;
    in->line++;
    while (c != EOF) {
        if (--in->left < 0)
            return rgbe_fail(RGBE_ERR_FORMAT, "header longer than 1 MiB");
        if (line->length < HEADER_LINE_KEEP)
            line->text[line->length++] = (char)c;
        if (c == '\n')
            break;
        if (first && line->length <= 2 && line->text[line->length - 1] != "#?"[line->length - 1])
            break;
        c = getc(in->stream);
    }
    line->text[line->length] = '\0';
    return 0;
}

bool line_is(const HeaderLine &line, const char *text)
{
    return line.length == (int)strlen(text) && memcmp(line.text, text, line.length) == 0;
}

// The size line is never a line to skip: a header whose empty line is missing must still fail
// on it instead of running into the pixel data.
bool looks_like_size_line(const HeaderLine &line)
{
    return line.length >= 2 && (line.text[0] == '-' || line.text[0] == '+') &&
           (line.text[1] == 'Y' || line.text[1] == 'X');
}

const char FORMAT_LINE[] = "FORMAT=32-bit_rle_rgbe\n";

// Tells the caller of a line passed over.
void note_passed_over(const HeaderInput &in, const HeaderLine &line)
{
    if (in.passed_over)
        in.passed_over(in.context, line.text, in.line);
}

// Reads a decimal int the way "%d" does (white space, optional sign, digits), but refuses a
// number that does not fit in an int instead of leaving its value undefined.
bool parse_int(const char **cursor, int32_t *value)
{
    const char *p = *cursor;
    while (isspace((unsigned char)*p))
        p++;
    bool negative = false;
    if (*p == '-' || *p == '+')
        negative = *p++ == '-';
    if (!isdigit((unsigned char)*p))
        return false;
    int64_t magnitude = 0;
    while (isdigit((unsigned char)*p)) {
        magnitude = magnitude * 10 + (*p++ - '0');
        if (magnitude > (int64_t)INT32_MAX + 1)
            return false;
    }
    if (negative)
        magnitude = -magnitude;
    if (magnitude > INT32_MAX)
        return false;
    *value = (int32_t)magnitude;
    *cursor = p;
    return true;
}

// Matches literal text; a blank in it matches any run of white space, including none.
bool parse_literal(const char **cursor, const char *literal)
{
    const char *p = *cursor;
    for (; *literal; literal++) {
        if (*literal == ' ') {
            while (isspace((unsigned char)*p))
                p++;
        } else if (*p++ != *literal) {
            return false;
        }
    }
    *cursor = p;
    return true;
}

// The size line "-Y <height> +X <width>"; returns how many numbers were stored.
int parse_size_line(const char *text, int32_t *height, int32_t *width)
{
    const char *p = text;
    if (!parse_literal(&p, "-Y") || !parse_int(&p, height))
        return 0;
    if (!parse_literal(&p, " +X") || !parse_int(&p, width))
        return 1;
    return 2;
}

}  // namespace

int rgbe_header_read(FILE *stream, int32_t *width, int32_t *height, RgbeHeaderInfo *info)
{
    return rgbe_header_read_noting(stream, width, height, info, nullptr, nullptr);
}

int rgbe_header_read_noting(FILE *stream, int32_t *width, int32_t *height, RgbeHeaderInfo *info,
                            RgbeHeaderLineFn passed_over, void *context)
{
    HeaderLine line;
    HeaderInput in = {stream, RGBE_HEADER_MAX, 0, passed_over, context};
    if (info) {
        info->present = 0;
        info->program_type[0] = '\0';
        info->gamma = 1.0f;
        info->exposure = 1.0f;
    }
    if (read_header_line(&in, &line, true) != 0)
        return -1;
    if (line.text[0] != '#' || line.text[1] != '?')
        return rgbe_fail(RGBE_ERR_FORMAT, "bad initial token");
    if (info) {
        info->present |= RGBE_HAS_PROGRAM_TYPE;
        int i = 0;
        for (; i < (int)sizeof(info->program_type) - 1; i++) {
            char c = line.text[i + 2];
            if (c == '\0' || isspace((unsigned char)c))
                break;
            info->program_type[i] = c;
        }
        info->program_type[i] = '\0';
        if (read_header_line(&in, &line) != 0)
            return -1;
        if (line.text[0] == '\0')
            return rgbe_fail(RGBE_ERR_FORMAT, "no FORMAT specifier found");
    }
    for (;;) {
        if (line.text[0] == '\n')
            return rgbe_fail(RGBE_ERR_FORMAT, "no FORMAT specifier found");
        if (line_is(line, FORMAT_LINE))
            break;
        note_passed_over(in, line);
        if (read_header_line(&in, &line) != 0)
            return -1;
        if (line.text[0] == '\0')
            return rgbe_fail(RGBE_ERR_FORMAT, "no FORMAT specifier found");
    }
    if (read_header_line(&in, &line) != 0)
        return -1;
    if (info) {
        if (sscanf(line.text, "GAMMA=%f", &info->gamma) == 1) {
            info->present |= RGBE_HAS_GAMMA;
            if (read_header_line(&in, &line) != 0)
                return -1;
        }
        if (sscanf(line.text, "EXPOSURE=%f", &info->exposure) == 1) {
            info->present |= RGBE_HAS_EXPOSURE;
            if (read_header_line(&in, &line) != 0)
                return -1;
        }
    }
    // Writers put further lines (COLORCORR=, SOFTWARE=, command lines) between the FORMAT
    // line and the empty line; they are skipped, like the lines before FORMAT.
    while (!line_is(line, "\n")) {
        if (line.text[0] == '\0' || looks_like_size_line(line))
            return rgbe_fail(RGBE_ERR_FORMAT, "missing blank line after FORMAT specifier");
        note_passed_over(in, line);
        if (read_header_line(&in, &line) != 0)
            return -1;
    }
    if (read_header_line(&in, &line) != 0)
        return -1;
    if (parse_size_line(line.text, height, width) < 2)
        return rgbe_fail(RGBE_ERR_FORMAT, "missing image size specifier");
    return 0;
}
