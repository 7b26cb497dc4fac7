// Speed of the RGBE codec through real FILE streams on a 4096 x 2048 picture.
//   bench_rgbe_codec [SOURCE.hdr] [RUNS]
// With a source picture (a photograph) it is tiled to size; otherwise a synthetic scene is used.
#include "bench/picture_source.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <unistd.h>

namespace {

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char **argv)
{
    const int32_t width = 4096, height = 2048;
    int runs = argc > 2 ? atoi(argv[2]) : 5;
    std::vector<double> pixels;
    if (argc > 1 && argv[1][0]) {
        if (!tiled_picture(argv[1], width, height, &pixels)) {
            fprintf(stderr, "cannot read %s\n", argv[1]);
            return 1;
        }
    } else {
        pixels = synthetic_picture(width, height);
    }
    char path[] = "/tmp/bench_rgbe_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return 1;
    close(fd);
    std::vector<double> decoded(pixels.size());
    std::vector<double> encode_times, decode_times;
    long file_bytes = 0;
    for (int run = 0; run < runs; run++) {
        FILE *out = fopen(path, "wb");
        auto start = std::chrono::steady_clock::now();
        if (rgbe_header_write(out, width, height, nullptr) != 0 ||
            rgbe_put_scanlines(out, pixels.data(), width, height) != 0)
            return 1;
        fflush(out);
        encode_times.push_back(seconds_since(start));
        file_bytes = ftell(out);
        fclose(out);

        FILE *in = fopen(path, "rb");
        int32_t w, h;
        start = std::chrono::steady_clock::now();
        if (rgbe_header_read(in, &w, &h, nullptr) != 0 ||
            rgbe_get_scanlines(in, decoded.data(), w, h) != 0)
            return 1;
        decode_times.push_back(seconds_since(start));
        fclose(in);
    }
    unlink(path);
    std::sort(encode_times.begin(), encode_times.end());
    std::sort(decode_times.begin(), decode_times.end());
    double mpixels = (double)width * height / 1e6;
    double encode = encode_times[encode_times.size() / 2];
    double decode = decode_times[decode_times.size() / 2];
    printf("picture: %d x %d, %.1f Mpixel, %ld bytes coded\n", width, height, mpixels, file_bytes);
    printf("encode: median %.3f s, %.1f Mpixel/s\n", encode, mpixels / encode);
    printf("decode: median %.3f s, %.1f Mpixel/s\n", decode, mpixels / decode);
    return 0;
}
