// Replays every input kept in tests/fuzz/regressions/<target>/ through its fuzz target, in
// every build: inputs that once crashed, leaked or hung must now pass quietly.
#include "tests/fuzz/fuzz_targets.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

namespace {

void replay(const std::string &target, void (*run)(const uint8_t *, size_t))
{
    std::string dir = std::string(PICTOR_SOURCE_DIR) + "/tests/fuzz/regressions/" + target;
    std::vector<std::string> names = list_dir(dir);
    ASSERT_FALSE(names.empty()) << dir;
    run((const uint8_t *)"", 0);  // the scratch folder and the library's own first opens
    // Streams left open can't be seen as leaks (the C library lists them): count the files.
    size_t open_files = list_dir("/proc/self/fd").size();
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        std::string bytes = read_file(dir + "/" + name);
        run((const uint8_t *)bytes.data(), bytes.size());
        EXPECT_EQ(open_files, list_dir("/proc/self/fd").size());
    }
}

TEST(FuzzRegressions, RgbeReader)
{
    replay("rgbe_reader", fuzz_rgbe_reader);
}

TEST(FuzzRegressions, Tohalf)
{
    replay("tohalf", fuzz_tohalf);
}

TEST(FuzzRegressions, Fromhalf)
{
    replay("fromhalf", fuzz_fromhalf);
}

}  // namespace
