#include "cli/picture_values.h"
#include "cli/conversion.h"

#include <ImfCRgbaFile.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The least value that narrows to a half infinity, and what such values are stored as.
const float HALF_OVERFLOW = 65520.0f;
const double HALF_LARGEST = 65504.0;

// The largest half at or below value (a positive number below 65504).
ImfHalf half_of_below(double value)
{
    ImfHalf half;
    ImfFloatToHalf((float)value, &half);
    if (ImfHalfToFloat(half) > value)
        half--;
    return half;
}

bool usable_factor(float value)
{
    return std::isfinite(value) && value > 0.0f;
}

void warn_ignored(const char *name, float value)
{
    if ((double)value != 1.0 && !usable_factor(value))
        fprintf(stderr, "pictor: Ignoring %s %f, which is not a positive number.\n", name,
                (double)value);
}

// The largest magnitude among count values (none of them NaN), two at a time where the
// processor has SSE2.
double largest_value(const double *values, size_t count)
{
    double largest = 0.0;
    size_t i = 0;
#if defined(__SSE2__)
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
    __m128d most = _mm_setzero_pd();
    for (; i + 2 <= count; i += 2)
        most = _mm_max_pd(most, _mm_and_pd(_mm_loadu_pd(values + i), magnitude));
    double pair[2];
    _mm_storeu_pd(pair, most);
    largest = std::max(pair[0], pair[1]);
#endif
    for (; i < count; i++)
        largest = std::max(largest, std::fabs(values[i]));
    return largest;
}

// Chromaticities x, y of red, green, blue and white that make a colour space: finite, the
// three primaries not on one line, and a white of some luminance.
bool usable_primaries(const float p[8])
{
    if (!std::all_of(p, p + 8, [](float v) { return std::isfinite(v); }) || p[7] == 0.0f)
        return false;
    double m[3][3];
    for (int i = 0; i < 3; i++) {
        m[i][0] = p[2 * i];
        m[i][1] = p[2 * i + 1];
        m[i][2] = 1.0 - p[2 * i] - p[2 * i + 1];
    }
    double determinant = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                         m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    return std::fabs(determinant) > 1e-9;
}

// value as the shortest decimal that reads back as the same float.
std::string float_text(float value)
{
    char text[32] = "";
    for (int digits = 6; digits <= 9; digits++) {
        snprintf(text, sizeof text, "%.*g", digits, (double)value);
        if (strtof(text, nullptr) == value)
            break;
    }
    return text;
}

}  // namespace

ExrPictureInfo picture_info_of(const HeaderFactors &factors)
{
    ExrPictureInfo info;
    info.has_primaries = factors.has_primaries;
    std::copy(factors.primaries, factors.primaries + 8, info.primaries);
    if (factors.pixel_aspect > 0)
        info.pixel_aspect = 1.0f / factors.pixel_aspect;
    return info;
}

std::string header_lines_of(const ExrPictureInfo &info)
{
    std::string lines;
    if (info.has_primaries) {
        lines = "PRIMARIES=";
        for (float value : info.primaries)
            lines += " " + float_text(value);
        lines += "\n";
    }
    if (info.pixel_aspect > 0)
        lines += "PIXASPECT=" + float_text(1.0f / info.pixel_aspect) + "\n";
    return lines;
}

void note_header_line(void *context, const char *line, int32_t number)
{
    HeaderFactors *factors = (HeaderFactors *)context;
    const int length = (int)strcspn(line, "\n");
    char text[300] = "";
    float value = 1.0f, p[8];
    if (sscanf(line, "GAMMA=%f", &value) == 1 || sscanf(line, "EXPOSURE=%f", &value) == 1) {
        if (value != 1.0f)  // else it would not have changed anything
            snprintf(text, sizeof text, "pictor: Ignoring %s=%g on header line %d; only GAMMA= and "
                     "EXPOSURE= right after FORMAT= are applied.\n", line[0] == 'G' ? "GAMMA" : "EXPOSURE",
                     (double)value, number);
    } else if (strcmp(line, "FORMAT=32-bit_rle_xyze\n") == 0) {
        factors->xyze = true;
    } else if (strncmp(line, "PRIMARIES=", 10) == 0) {
        int count = sscanf(line + 10, "%f %f %f %f %f %f %f %f", &p[0], &p[1], &p[2], &p[3],
                           &p[4], &p[5], &p[6], &p[7]);
        if (count == 8 && std::all_of(p, p + 8, [](float v) { return v == 0.0f; })) {
            // ImageMagick's line for primaries it does not know: nothing to keep
        } else if (count == 8 && usable_primaries(p)) {
            factors->has_primaries = true;
            std::copy(p, p + 8, factors->primaries);
        } else {
            snprintf(text, sizeof text, "pictor: Ignoring %.*s on header line %d; it does not hold "
                     "the primaries of a colour space.\n", length, line, number);
        }
    } else if (strncmp(line, "PIXASPECT=", 10) == 0) {
        // Several lines multiply. The file's ratio is the inverse, which OpenEXR takes only from
        // 1e-6 to 1e6: beyond, it would refuse the whole file.
        float before = factors->pixel_aspect > 0 ? factors->pixel_aspect : 1.0f;
        bool positive = sscanf(line + 10, "%f", &value) == 1 && usable_factor(value);
        float product = positive ? before * value : 0.0f;
        float ratio = product > 0 ? 1.0f / product : 0.0f;  // as the file will hold it
        if (positive && ratio >= 1e-6f && ratio <= 1e6f)
            factors->pixel_aspect = product;
        else
            snprintf(text, sizeof text, positive ? "pictor: Ignoring %.*s on header line %d; an "
                     "OpenEXR file can't hold that pixel aspect.\n" : "pictor: Ignoring %.*s on "
                     "header line %d; it is not a positive number.\n", length, line, number);
    }
    try {
        factors->skipped += text;
    } catch (...) {
        // a warning that can't be kept for lack of memory is lost
    }
}

void choose_factors(HeaderFactors *factors, const RgbeHeaderInfo &info)
{
    factors->gamma_power = info.gamma;
    factors->apply_gamma = factors->gamma_power != 1.0 && usable_factor(info.gamma);
    double exposure = info.exposure;
    factors->apply_exposure = exposure != 1.0 && usable_factor(info.exposure);
    factors->multiplier = pow(exposure, 2.0);
}

void report_factors(const HeaderFactors &factors, const RgbeHeaderInfo &info)
{
    fputs(factors.skipped.c_str(), stderr);
    warn_ignored("gamma", info.gamma);
    warn_ignored("exposure", info.exposure);
    if (factors.apply_gamma)
        progress("Gamma in RGBE image = %f \n", factors.gamma_power);
    if (factors.apply_exposure) {
        progress("Exposure in RGBE image = %f \n", (double)info.exposure);
        progress("expmult %f \n", factors.multiplier);
    }
}

ClampCeiling clamp_ceiling(bool float_output, const ExrCompression &compression)
{
    ClampCeiling ceiling = {float_output ? INFINITY : HALF_OVERFLOW,
                            float_output ? FLT_MAX : HALF_LARGEST, float_output, false};
    double lower = exr_compression_ceiling(compression);
    if (lower > 0) {
        // The largest half at or below it, and every value above it clamped.
        float stored = ImfHalfToFloat(half_of_below(lower));
        ceiling = ClampCeiling{std::nextafter(stored, INFINITY), stored, float_output, true};
    }
    return ceiling;
}

void clamp_too_bright(double *pixel, size_t count, const ClampCeiling &ceiling, Clamped *clamped)
{
    // Decoded values are positive, and so are they after gamma and exposure, or an infinity
    // from them.
    const float overflow = ceiling.overflow;
    if ((float)largest_value(pixel, 3 * count) < overflow)
        return;  // as nearly always
    for (size_t i = 0; i < count; i++, pixel += 3) {
        double most = std::max(std::fabs(pixel[0]), std::max(std::fabs(pixel[1]), std::fabs(pixel[2])));
        if ((float)most < overflow)
            continue;
        for (int c = 0; c < 3; c++) {
            if (std::fabs((float)pixel[c]) >= overflow)
                pixel[c] = std::copysign(ceiling.largest, pixel[c]);
        }
        clamped->pixels++;
        clamped->brightest = std::max(clamped->brightest, most);
    }
}

void report_clamped(const Clamped &clamped, const ClampCeiling &ceiling)
{
    if (clamped.pixels == 0)
        return;
    unsigned long long pixels = clamped.pixels;
    if (ceiling.lowered)
        fprintf(stderr, "pictor: %llu pixels are brighter than DWA coding keeps finite (brightest: "
                        "%g); they are stored as %g. --float with another compression keeps "
                        "them.\n", pixels, clamped.brightest, ceiling.largest);
    else if (ceiling.floats)
        fprintf(stderr, "pictor: %llu pixels are brighter than a 32-bit float holds (brightest: "
                        "%g); they are stored as %g.\n", pixels, clamped.brightest, ceiling.largest);
    else
        fprintf(stderr, "pictor: %llu pixels are brighter than a half float holds (brightest: %g); "
                        "they are stored as 65504. Use --float to keep them.\n",
                pixels, clamped.brightest);
}
