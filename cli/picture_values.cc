#include "cli/picture_values.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The least value that narrows to a half infinity, and what such values are stored as.
const float HALF_OVERFLOW = 65520.0f;
const double HALF_LARGEST = 65504.0;

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

}  // namespace

void note_skipped_factor(void *context, const RgbeSkippedFactor *factor)
{
    if (factor->value == 1.0f)
        return;  // it would not have changed anything
    char text[200];
    snprintf(text, sizeof text,
             "pictor: Ignoring %s=%g on header line %d; only GAMMA= and EXPOSURE= right after "
             "FORMAT= are applied.\n", factor->name, (double)factor->value, factor->line);
    try {
        ((HeaderFactors *)context)->skipped += text;
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
        printf("Gamma in RGBE image = %f \n", factors.gamma_power);
    if (factors.apply_exposure) {
        printf("Exposure in RGBE image = %f \n", (double)info.exposure);
        printf("expmult %f \n", factors.multiplier);
    }
}

void clamp_too_bright(double *pixel, size_t count, bool float_output, Clamped *clamped)
{
    // Decoded values are positive, and so are they after gamma and exposure, or an infinity
    // from them.
    const float overflow = float_output ? INFINITY : HALF_OVERFLOW;
    const double largest = float_output ? FLT_MAX : HALF_LARGEST;
    if ((float)largest_value(pixel, 3 * count) < overflow)
        return;  // as nearly always
    for (size_t i = 0; i < count; i++, pixel += 3) {
        double most = std::max(std::fabs(pixel[0]), std::max(std::fabs(pixel[1]), std::fabs(pixel[2])));
        if ((float)most < overflow)
            continue;
        for (int c = 0; c < 3; c++) {
            if (std::fabs((float)pixel[c]) >= overflow)
                pixel[c] = std::copysign(largest, pixel[c]);
        }
        clamped->pixels++;
        clamped->brightest = std::max(clamped->brightest, most);
    }
}

void report_clamped(const Clamped &clamped, bool float_output)
{
    if (clamped.pixels == 0)
        return;
    if (float_output)
        fprintf(stderr, "pictor: %llu pixels are brighter than a 32-bit float holds (brightest: "
                        "%g); they are stored as %g.\n",
                (unsigned long long)clamped.pixels, clamped.brightest, (double)FLT_MAX);
    else
        fprintf(stderr, "pictor: %llu pixels are brighter than a half float holds (brightest: %g); "
                        "they are stored as 65504. Use --float to keep them.\n",
                (unsigned long long)clamped.pixels, clamped.brightest);
}
