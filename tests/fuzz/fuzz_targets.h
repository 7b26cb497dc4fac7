// Fuzz targets: each takes arbitrary bytes and must never crash, hang or leak. The libFuzzer
// entry points and the regression test over kept inputs both call these.
#ifndef PICTOR_TESTS_FUZZ_FUZZ_TARGETS_H
#define PICTOR_TESTS_FUZZ_FUZZ_TARGETS_H

#include <cstddef>
#include <cstdint>

// rgbe_header_read then rgbe_get_scanlines on the bytes, with and without an info record.
void fuzz_rgbe_reader(const uint8_t *data, size_t size);

// The whole pictor_tohalf conversion of the bytes as a Radiance file, in a scratch directory.
void fuzz_tohalf(const uint8_t *data, size_t size);

// The whole pictor_fromhalf conversion of the bytes as an OpenEXR file, in a scratch directory.
void fuzz_fromhalf(const uint8_t *data, size_t size);

#endif
