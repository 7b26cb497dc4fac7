// Each way an output is put in place, chosen from what stands at its name.
#include "runtime/staged_output.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Begins path for use, writes text through the output's stream, and finishes it with ok.
// Returns the way it was put in place, and finish's result in *finished.
StagingWay stage(const std::string &path, StagedUse use, const std::string &text, bool ok, int *finished)
{
    StagedOutput out;
    EXPECT_EQ(0, staged_output_begin(&out, path.c_str(), use));
    FILE *stream = staged_output_stream(&out);
    EXPECT_NE(nullptr, stream);
    fputs(text.c_str(), stream);
    *finished = staged_output_finish(&out, stream, ok);
    return out.way;
}

TEST(StagedOutput, EachWayFromWhatStandsThere)
{
    ScratchDir dir;
    int finished;
    // A new picture, and an earlier one replaced whole, keeping its mode; nothing left beside.
    EXPECT_EQ(STAGE_RENAME, stage(dir / "out", STAGED_PICTURE, "new", true, &finished));
    EXPECT_EQ(0, finished);
    ASSERT_EQ(0, chmod((dir / "out").c_str(), 0640));
    EXPECT_EQ(STAGE_RENAME, stage(dir / "out", STAGED_PICTURE, "newer", true, &finished));
    EXPECT_EQ("newer", read_file(dir / "out"));
    struct stat st;
    ASSERT_EQ(0, stat((dir / "out").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    // A failed run leaves the earlier file.
    EXPECT_EQ(STAGE_RENAME, stage(dir / "out", STAGED_PICTURE, "lost", false, &finished));
    EXPECT_EQ(-1, finished);
    EXPECT_EQ("newer", read_file(dir / "out"));
    // The dump is exchanged with the earlier one, new or not.
    EXPECT_EQ(STAGE_EXCHANGE, stage(dir / "dump", STAGED_DUMP, "first", true, &finished));
    EXPECT_EQ(STAGE_EXCHANGE, stage(dir / "dump", STAGED_DUMP, "second", true, &finished));
    EXPECT_EQ("second", read_file(dir / "dump"));
    EXPECT_EQ(2u, list_dir(dir.path).size());
    // A pipe: the picture is copied into it once whole (the library seeks in what it writes);
    // the dump is written into it directly.
    ASSERT_EQ(0, mkfifo((dir / "pipe").c_str(), 0600));
    for (StagedUse use : {STAGED_PICTURE, STAGED_DUMP}) {
        std::string piped;
        std::thread reader([&] { piped = read_file(dir / "pipe"); });
        EXPECT_EQ(use == STAGED_DUMP ? STAGE_IN_PLACE : STAGE_DEVICE_COPY,
                  stage(dir / "pipe", use, "through", true, &finished));
        reader.join();
        EXPECT_EQ(0, finished);
        EXPECT_EQ("through", piped);
    }
    // Writes that fail at the end are told apart from a failed put in place.
    ASSERT_EQ(0, symlink("/dev/full", (dir / "full").c_str()));
    EXPECT_EQ(STAGE_IN_PLACE, stage(dir / "full", STAGED_DUMP, "lost", true, &finished));
    EXPECT_EQ(STAGED_WRITE_FAILED, finished);
    EXPECT_EQ(ENOSPC, errno);
    EXPECT_EQ(4u, list_dir(dir.path).size());  // out, dump, pipe, full: no temporary file
}

}  // namespace
