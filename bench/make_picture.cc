// Writes a deterministic Radiance picture: pictor_make_picture WIDTH HEIGHT OUT.hdr [SOURCE.hdr]
// Without a source it draws a synthetic scene; with one it tiles that picture.
#include "bench/picture_source.h"

#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc != 4 && argc != 5) {
        fputs("usage: pictor_make_picture WIDTH HEIGHT OUT.hdr [SOURCE.hdr]\n", stderr);
        return 2;
    }
    int32_t width = atoi(argv[1]), height = atoi(argv[2]);
    if (width < 1 || height < 1) {
        fputs("pictor_make_picture: sizes must be at least 1\n", stderr);
        return 2;
    }
    std::vector<double> pixels;
    if (argc == 5) {
        if (!tiled_picture(argv[4], width, height, &pixels)) {
            fprintf(stderr, "pictor_make_picture: cannot read %s\n", argv[4]);
            return 1;
        }
    } else {
        pixels = synthetic_picture(width, height);
    }
    FILE *out = fopen(argv[3], "wb");
    if (!out) {
        perror(argv[3]);
        return 1;
    }
    bool ok = rgbe_header_write(out, width, height, nullptr) == 0 &&
              rgbe_put_scanlines(out, pixels.data(), width, height) == 0;
    if (fclose(out) != 0 || !ok) {
        fprintf(stderr, "pictor_make_picture: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
