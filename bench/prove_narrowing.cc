// Proves the narrowing of exr_io/exr_half.h equal to the library's ImfFloatToHalf for every one
// of the 2^32 floats, in both of its ways (F16C where the processor has it, and plain). NaNs
// agree in being NaNs of the same sign; their payloads are counted where they differ, as no
// conversion of pictor produces a NaN.
//   prove_narrowing          (about ten seconds on two cores)
#include "exr_io/exr_half.h"
#include "exr_io/exr_half_internal.h"

#include <ImfCRgbaFile.h>

#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

struct Tally {
    uint64_t differ = 0, nan_payloads = 0;
};

bool is_nan_half(uint16_t h)
{
    return (h & 0x7c00) == 0x7c00 && (h & 0x3ff) != 0;
}

// Checks the floats whose top 16 bits are in [first, last).
void check(uint32_t first, uint32_t last, bool f16c, Tally *tally)
{
    const size_t block = 65536;
    std::vector<double> values(block);
    std::vector<uint16_t> mine(block);
    for (uint32_t top = first; top < last; top++) {
        for (uint32_t low = 0; low < block; low++) {
            uint32_t bits = top << 16 | low;
            float f;
            memcpy(&f, &bits, sizeof f);
            values[low] = f;
        }
        if (f16c)
            exr_narrow_halves_f16c(values.data(), mine.data(), block);
        else
            exr_narrow_halves_plain(values.data(), mine.data(), block);
        for (uint32_t low = 0; low < block; low++) {
            ImfHalf theirs;
            ImfFloatToHalf((float)values[low], &theirs);
            if (mine[low] == theirs)
                continue;
            if (is_nan_half(mine[low]) && is_nan_half(theirs) && (mine[low] >> 15) == (theirs >> 15))
                tally->nan_payloads++;
            else
                tally->differ++;
        }
    }
}

// Runs check over every float on all processors; returns how many differ.
Tally check_all(bool f16c)
{
    unsigned workers = std::thread::hardware_concurrency();
    if (workers == 0)
        workers = 1;
    std::vector<Tally> tallies(workers);
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < workers; w++)
        threads.emplace_back(check, (uint32_t)(65536ull * w / workers),
                             (uint32_t)(65536ull * (w + 1) / workers), f16c, &tallies[w]);
    Tally all;
    for (unsigned w = 0; w < workers; w++) {
        threads[w].join();
        all.differ += tallies[w].differ;
        all.nan_payloads += tallies[w].nan_payloads;
    }
    return all;
}

}  // namespace

int main()
{
    int status = 0;
    for (bool f16c : {false, true}) {
        if (f16c && strcmp(exr_narrowing_way(), "F16C") != 0) {
            puts("F16C   not on this processor");
            break;
        }
        Tally all = check_all(f16c);
        printf("%-6s 4294967296 floats: %llu differ, %llu NaNs with another payload\n",
               f16c ? "F16C" : "plain", (unsigned long long)all.differ,
               (unsigned long long)all.nan_payloads);
        status |= all.differ != 0;
    }
    return status;
}
