#include "cli/command_line.h"
#include "runtime/cpu_quota.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <sys/stat.h>
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

// The default thread count's CPU quota, from a folder standing in for /sys/fs/cgroup: the least
// quota of the process's cgroup and those above it, rounded up, in cgroup v2 and v1.
TEST(Processors, CgroupQuotaRoundedUp)
{
    ScratchDir root;
    for (const char *folder : {"/a", "/a/b", "/cpu,cpuacct", "/cpu,cpuacct/job"})
        ASSERT_EQ(0, mkdir((root / folder).c_str(), 0755));
    write_file(root / "cpu.max", "max 100000\n");
    write_file(root / "a/cpu.max", "250000 100000\n");
    write_file(root / "a/b/cpu.max", "max 100000\n");
    EXPECT_EQ(3, cpu_quota_processors_at(root.path.c_str(), "0::/a/b\n"));
    EXPECT_EQ(0, cpu_quota_processors_at(root.path.c_str(), "0::/\n"));
    write_file(root / "a/b/cpu.max", "50000 100000\n");
    EXPECT_EQ(1, cpu_quota_processors_at(root.path.c_str(), "0::/a/b\n"));
    // v1: the cpu controller's own tree; a container's path from the host is not there.
    write_file(root / "cpu,cpuacct/cpu.cfs_quota_us", "-1\n");
    write_file(root / "cpu,cpuacct/cpu.cfs_period_us", "100000\n");
    write_file(root / "cpu,cpuacct/job/cpu.cfs_quota_us", "200000\n");
    write_file(root / "cpu,cpuacct/job/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(2, cpu_quota_processors_at(root.path.c_str(), "4:memory:/a/b\n3:cpu,cpuacct:/job\n0::/\n"));
    EXPECT_EQ(0, cpu_quota_processors_at(root.path.c_str(), "3:cpu,cpuacct:/docker/1234\n"));
    write_file(root / "cpu,cpuacct/cpu.cfs_quota_us", "150000\n");
    EXPECT_EQ(2, cpu_quota_processors_at(root.path.c_str(), "3:cpu,cpuacct:/docker/1234\n"));
    EXPECT_EQ(0, cpu_quota_processors_at("/nonexistent", "0::/\n"));
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

// -q, -n, --dump and --no-dump through both programs; options that can't be taken are refused
// before anything is written.
TEST(CommandLine, QuietNoClobberAndTheDump)
{
    ScratchDir dir;
    write_rgbe_picture(dir / "in.hdr", 9, 2, exact_pixels(9, 2));
    ASSERT_EQ(0, mkdir((dir / "d").c_str(), 0755));
    RunOptions options;
    options.cwd = dir.path;
    auto run = [&](const std::string &program, const std::vector<std::string> &args, int status,
                   const std::string &out, const std::string &err) {
        RunResult r = run_program(program, args, options);
        EXPECT_EQ(status, r.status) << args.back();
        EXPECT_EQ(out, r.out) << args.back();
        EXPECT_EQ(err, r.err) << args.back();
    };
    run(tohalf_path(), {"-i", "in.hdr", "-o", "in.exr", "-q"}, 0, "", "");
    run(fromhalf_path(), {"-i", "in.exr", "-o", "out.hdr", "--quiet", "--dump", "d/x.raw"}, 0, "", "");
    EXPECT_EQ(9 * 2 * 16, read_file(dir / "d/x.raw").size());
    EXPECT_FALSE(file_exists(dir / "inscanline_out.raw"));
    run(fromhalf_path(), {"-i", "in.exr", "-o", "nodump.hdr", "--no-dump", "-q"}, 0, "", "");
    EXPECT_EQ(read_file(dir / "out.hdr"), read_file(dir / "nodump.hdr"));
    std::vector<std::string> names = list_dir(dir.path);
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"d", "in.exr", "in.hdr", "nodump.hdr", "out.hdr"}), names);

    // Outputs made already are left as they are; a dump named too, while the picture is made.
    write_file(dir / "d/x.raw", "mine");
    const std::string kept = " exists; it is left as it is (--no-clobber).\n";
    run(tohalf_path(), {"-i", "in.hdr", "-o", "d/x.raw", "-n"}, 0, "pictor: d/x.raw" + kept, "");
    run(fromhalf_path(), {"-i", "in.exr", "-o", "d/x.raw", "-n", "-q"}, 0, "", "");
    run(fromhalf_path(), {"-i", "in.exr", "-o", "new.hdr", "--dump", "d/x.raw", "--no-clobber", "-q"}, 0, "", "");
    EXPECT_EQ("mine", read_file(dir / "d/x.raw"));
    EXPECT_EQ(read_file(dir / "out.hdr"), read_file(dir / "new.hdr"));

    run(fromhalf_path(), {"-i", "in.exr", "-o", "x.hdr", "--dump", "x.raw", "--no-dump"}, 1, "",
        "pictor: --dump and --no-dump can't both be given.\n");
    run(fromhalf_path(), {"-i", "in.exr", "-o", "x.hdr", "--part", ""}, 1, "",
        "pictor: --part was given an empty number or name.\n");
    for (const char *word : {"zip:10", "piz:3", "dwaa:0", "dwab:x", "zlib", ""})
        run(tohalf_path(), {"-i", "in.hdr", "-o", "x.exr", "--compression", word}, 1, "",
            "pictor: --compression takes one of none, rle, zips, zip, piz, pxr24, b44, b44a, dwaa, dwab "
            "(zip and zips with a level from :1 to :9, dwaa and dwab with a level above 0), not \"" +
                std::string(word) + "\".\n");
    EXPECT_FALSE(file_exists(dir / "x.exr") || file_exists(dir / "x.hdr"));
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
