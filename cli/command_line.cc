#include "cli/command_line.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <sched.h>
#include <cstdlib>
#include <cstring>

namespace {

PictorProgram usage_program = PICTOR_TOHALF;
const char *input_path = "";
const char *output_path = "";
bool float_output = false;
const char *threads_word = nullptr;

const char *const TOHALF_USAGE[] = {
    "\nUSAGE: \n",
    "pictor_tohalf  -i input.hdr -o output.exr \n",
    "OPTIONS: \n",
    "-i \t\tinput file in Radiance rgbe (.pic or .hdr)\n",
    "-o \t\toutput file in ILM exr (.exr)\n",
    "--float \twrite 32-bit float channels, every value kept, instead of half floats\n",
    "--threads N \tuse at most N threads (by default, every processor it may run on)\n",
};

const char *const FROMHALF_USAGE[] = {
    "\nUSAGE: \n",
    "pictor_fromhalf  -i input.exr -o output.hdr \n",
    "OPTIONS: \n",
    "-i \t\tinput file in ILM exr (.exr)\n",
    "-o \t\toutput file in Radiance rgbe (.pic or .hdr)\n",
    "--threads N \tuse at most N threads (by default, every processor it may run on)\n",
};

}  // namespace

void command_line_set_program(PictorProgram program)
{
    usage_program = program;
}

CommandLineScan scan_command_line(int argc, const char *const *argv)
{
    CommandLineScan scan = {"", "", argc < 2, false, false, nullptr};
    for (int i = 1; i < argc && !scan.help && !scan.version; i++) {
        const char *word = argv[i];
        if (strcmp(word, "--help") == 0 || strcmp(word, "-h") == 0) {
            scan.help = true;
        } else if (strcmp(word, "--version") == 0) {
            scan.version = true;
        } else if (strcmp(word, "--float") == 0) {
            scan.float_output = true;
        } else if (strcmp(word, "--threads") == 0) {
            scan.threads = i + 1 < argc ? argv[++i] : "";
        } else if (strcmp(word, "-i") == 0 && i + 1 < argc) {
            scan.input_path = argv[++i];
        } else if (strcmp(word, "-o") == 0 && i + 1 < argc) {
            scan.output_path = argv[++i];
        }
    }
    return scan;
}

void parse_command_line(int argc, const char *const *argv)
{
    CommandLineScan scan = scan_command_line(argc, argv);
    if (scan.help)
        print_usage();
    if (scan.version)
        print_version();
    input_path = scan.input_path;
    output_path = scan.output_path;
    float_output = scan.float_output;
    threads_word = scan.threads;
}

void print_usage(void)
{
    if (usage_program == PICTOR_FROMHALF) {
        for (const char *line : FROMHALF_USAGE)
            fputs(line, stderr);
    } else {
        for (const char *line : TOHALF_USAGE)
            fputs(line, stderr);
    }
    exit(0);
}

void print_version(void)
{
    printf("%s %s\n", usage_program == PICTOR_FROMHALF ? "pictor_fromhalf" : "pictor_tohalf",
           PICTOR_VERSION);
    fflush(stdout);
    exit(0);
}

const char *command_line_input_path(void)
{
    return input_path;
}

const char *command_line_output_path(void)
{
    return output_path;
}

bool command_line_float_output(void)
{
    return float_output;
}

const char *command_line_threads_word(void)
{
    return threads_word;
}

int command_line_threads(const char *word)
{
    if (!word) {
        cpu_set_t allowed;
        int count = sched_getaffinity(0, sizeof allowed, &allowed) == 0 ? CPU_COUNT(&allowed) : 1;
        return count > 0 ? count : 1;
    }
    char *end;
    errno = 0;
    long count = strtol(word, &end, 10);
    if (!isdigit((unsigned char)word[0]) || *end != '\0' || errno != 0 || count < 1 ||
        count > INT32_MAX) {
        fprintf(stderr, "pictor: --threads takes a number of threads from 1 up, not \"%s\".\n",
                word);
        return 0;
    }
    return (int)count;
}
