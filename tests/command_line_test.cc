#include "cli/command_line.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

CommandLineScan scan(std::vector<const char *> words)
{
    words.insert(words.begin(), "prog");
    return scan_command_line((int)words.size(), words.data());
}

void expect_paths(const char *input, const char *output, std::vector<const char *> words)
{
    CommandLineScan s = scan(words);
    EXPECT_FALSE(s.help);
    EXPECT_STREQ(input, s.input_path);
    EXPECT_STREQ(output, s.output_path);
}

TEST(CommandLine, Paths)
{
    expect_paths("a", "b", {"-i", "a", "-o", "b"});
    expect_paths("a", "b", {"-o", "b", "-i", "a"});
    expect_paths("-h", "", {"-i", "-h"});
    expect_paths("b", "", {"-i", "a", "-i", "b"});
    expect_paths("a", "b", {"-x", "y", "-i", "a", "-o", "b"});
    expect_paths("-o", "", {"-i", "-o", "x"});
    expect_paths("", "", {"file.hdr"});
    expect_paths("", "", {"-I", "a", "-in", "b", "-help", "--h"});
    // An option with nothing after it is passed over; nothing past the words is read.
    expect_paths("", "", {"-i"});
    expect_paths("a", "", {"-i", "a", "-o"});
    // A path of any length is kept whole.
    std::string long_path(5000, 'p');
    expect_paths(long_path.c_str(), "", {"-i", long_path.c_str()});
}

TEST(CommandLine, HelpRequests)
{
    EXPECT_TRUE(scan({}).help);
    EXPECT_TRUE(scan({"-h"}).help);
    EXPECT_TRUE(scan({"-i", "a", "-o", "b", "--help"}).help);
    EXPECT_TRUE(scan({"x", "-h", "-i", "a"}).help);
    EXPECT_STREQ("", scan({"-h", "-i", "a"}).input_path);  // the walk stops at the request
    EXPECT_TRUE(scan({"-i", "a", "--version"}).version);
    EXPECT_TRUE(scan({"-o", "b", "--float", "-i", "a"}).float_output);
    EXPECT_FALSE(scan({"-o", "--float"}).float_output);  // a path, not an option
    EXPECT_FALSE(scan({"-h", "--version"}).version);
    EXPECT_FALSE(scan({"-o", "--version"}).version);  // a path, not a request
}

TEST(CommandLine, Threads)
{
    EXPECT_STREQ("3", scan({"-i", "a", "--threads", "3"}).threads);
    EXPECT_EQ(nullptr, scan({"-i", "a"}).threads);
    EXPECT_EQ(1, command_line_threads("1"));
    EXPECT_EQ(64, command_line_threads("064"));
    // Any number from 1 up, however large, is taken; the processors cap it.
    EXPECT_EQ(2147483647, command_line_threads("99999999999"));
    EXPECT_EQ(2147483647, command_line_threads("2147483648"));
    for (const char *word : {"0", "00", "-2", "+2", " 2", "two", "", "3x"}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(0, command_line_threads(word)) << word;
        EXPECT_EQ("pictor: --threads takes a number of threads from 1 up, not \"" + std::string(word) + "\".\n",
                  testing::internal::GetCapturedStderr());
    }
    // Refused before any work: no output, and the input is not even opened.
    RunResult r = run_program(tohalf_path(), {"-i", "missing.hdr", "-o", "/nonexistent/out.exr", "--threads", "0"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("pictor: --threads takes a number of threads from 1 up, not \"0\".\n", r.err);
    r = run_program(fromhalf_path(), {"-i", "missing.exr", "--threads", "many", "-o", "out.hdr"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("pictor: --threads takes a number of threads from 1 up, not \"many\".\n", r.err);
}

// Words that look like options and are none are named once each, and passed over as before;
// an empty path is refused before any work, naming its option.
TEST(CommandLine, UnknownOptionsAndEmptyPaths)
{
    EXPECT_EQ((std::vector<std::string>{"--flaot", "-float", "--threads=1", "--output"}), [] {
        std::vector<std::string> words;
        for (const char *word : scan({"--flaot", "-float", "x", "--threads=1", "--flaot", "--output", "y"}).unknown)
            words.push_back(word);
        return words;
    }());
    ScratchDir dir;
    write_rgbe_picture(dir / "in.hdr", 9, 2, exact_pixels(9, 2));
    RunOptions options;
    options.cwd = dir.path;
    RunResult r = run_program(tohalf_path(), {"-i", "in.hdr", "--flaot", "-o", "out.exr", "--flaot", "-float"},
                              options);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("pictor: Ignoring unknown option --flaot.\npictor: Ignoring unknown option -float.\n"
              "\npictor: Done.\n", r.err);
    ASSERT_EQ(0, run_program(tohalf_path(), {"-i", "in.hdr", "-o", "in.exr"}, options).status);
    r = run_program(fromhalf_path(), {"-i", "in.exr", "-o", "out.hdr", "--float"}, options);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("pictor: Ignoring unknown option --float.\n\npictor: Done.\n", r.err);
    for (const std::string &program : {tohalf_path(), fromhalf_path()}) {
        r = run_program(program, {"-i", "", "-o", "out"}, options);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ("pictor: -i was given an empty file name.\n", r.err);
        r = run_program(program, {"-i", "in.exr", "-o", ""}, options);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("pictor: -o was given an empty file name.\n", r.err);
    }
}

TEST(CommandLine, ParseFillsTheStores)
{
    const char *words[] = {"prog", "-i", "in.hdr", "-o", "out.exr"};
    parse_command_line(5, words);
    EXPECT_STREQ("in.hdr", command_line().input_path);
    EXPECT_STREQ("out.exr", command_line().output_path);
}

TEST(CommandLineDeathTest, UsageEndsTheProcess)
{
    const char *words[] = {"prog", "-i", "a", "-h"};
    command_line_set_program(PICTOR_FROMHALF);
    EXPECT_EXIT(parse_command_line(4, words), testing::ExitedWithCode(0), "");
    command_line_set_program(PICTOR_TOHALF);
}

// The usage text through the real programs, byte for byte, with nothing on stdout.
TEST(CommandLine, UsageOfBothPrograms)
{
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{}, {"-h"}, {"--help"}, {"-i", "x", "-o", "y", "-h"}}) {
        RunResult r = run_program(tohalf_path(), args);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(TOHALF_USAGE, r.err);
    }
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{}, {"-h"}, {"--help"}, {"-h", "-i", "x"}}) {
        RunResult r = run_program(fromhalf_path(), args);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(FROMHALF_USAGE, r.err);
    }
}

}  // namespace
