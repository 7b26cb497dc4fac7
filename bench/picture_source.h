// Deterministic test pictures for the benchmarks and the README's demonstration.
#ifndef PICTOR_BENCH_PICTURE_SOURCE_H
#define PICTOR_BENCH_PICTURE_SOURCE_H

#include "rgbe/rgbe.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

// A synthetic high-dynamic-range scene: a sky gradient, a ground with fine texture, and a few
// light sources far brighter than the rest. The same sizes always give the same pixels.
inline std::vector<double> synthetic_picture(int32_t width, int32_t height)
{
    std::vector<double> pixels((size_t)width * height * 3);
    uint32_t noise = 12345;
    for (int32_t y = 0; y < height; y++) {
        for (int32_t x = 0; x < width; x++) {
            double u = (double)x / width, v = (double)y / height;
            noise = noise * 1664525u + 1013904223u;
            double grain = 0.9 + 0.2 * (double)(noise >> 8) / 16777216.0;
            double r, g, b;
            if (v < 0.55) {
                r = 0.4 + 0.6 * v;
                g = 0.6 + 0.5 * v;
                b = 1.2 - 0.4 * v;
            } else {
                double stripe = 0.5 + 0.5 * std::sin(40.0 * u + 8.0 * v);
                r = (0.15 + 0.1 * stripe) * grain;
                g = (0.12 + 0.15 * stripe) * grain;
                b = 0.05 * grain;
            }
            for (int k = 0; k < 3; k++) {
                double cx = 0.2 + 0.3 * k, cy = 0.2 + 0.05 * k;
                double d2 = (u - cx) * (u - cx) + (v - cy) * (v - cy);
                double glow = 50.0 * (k + 1) * std::exp(-d2 * 4000.0);
                r += glow;
                g += glow * 0.9;
                b += glow * 0.7;
            }
            double *p = &pixels[((size_t)y * width + x) * 3];
            p[0] = r;
            p[1] = g;
            p[2] = b;
        }
    }
    return pixels;
}

// Tiles a Radiance picture to width x height; returns false when it can't be read.
inline bool tiled_picture(const char *path, int32_t width, int32_t height,
                          std::vector<double> *pixels)
{
    FILE *in = fopen(path, "rb");
    if (!in)
        return false;
    int32_t w = 0, h = 0;
    bool ok = rgbe_header_read(in, &w, &h, nullptr) == 0 && w > 0 && h > 0;
    std::vector<double> source;
    if (ok) {
        source.resize((size_t)w * h * 3);
        ok = rgbe_get_scanlines(in, source.data(), w, h) == 0;
    }
    fclose(in);
    if (!ok)
        return false;
    pixels->resize((size_t)width * height * 3);
    for (int32_t y = 0; y < height; y++) {
        // Mirror alternate tiles so that the seams don't make long runs.
        int32_t sy = (y / h) % 2 ? h - 1 - y % h : y % h;
        for (int32_t x = 0; x < width; x++) {
            int32_t sx = (x / w) % 2 ? w - 1 - x % w : x % w;
            for (int k = 0; k < 3; k++)
                (*pixels)[((size_t)y * width + x) * 3 + k] = source[((size_t)sy * w + sx) * 3 + k];
        }
    }
    return true;
}

#endif
