// libFuzzer entry point for fuzz_rgbe_reader (see fuzz_targets.h).
#include "tests/fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_rgbe_reader(data, size);
    return 0;
}
