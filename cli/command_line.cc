#include "cli/command_line.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

PictorProgram usage_program = PICTOR_TOHALF;
CommandLineScan stores;

const char *const TOHALF_USAGE[] = {
    "\nUSAGE: \n",
    "pictor_tohalf  -i input.hdr -o output.exr \n",
    "OPTIONS: \n",
    "-i \t\tinput file in Radiance rgbe (.pic or .hdr)\n",
    "-o \t\toutput file in ILM exr (.exr)\n",
    "--float \twrite 32-bit float channels, every value kept, instead of half floats\n",
    ("--compression NAME[:LEVEL] \tnone, rle, zips, zip, piz (the default), pxr24, b44, b44a, "
     "dwaa or dwab; a level for zip and zips (1 to 9) and for dwaa and dwab\n"),
    "--threads N \tuse at most N threads (by default, one for each processor it may use)\n",
    "-q, --quiet \twrite nothing on standard output, and no closing line\n",
    "-n, --no-clobber \tleave an output that exists as it is\n",
    "--version \tprint the program's name and version\n",
};

const char *const FROMHALF_USAGE[] = {
    "\nUSAGE: \n",
    "pictor_fromhalf  -i input.exr -o output.hdr \n",
    "OPTIONS: \n",
    "-i \t\tinput file in ILM exr (.exr)\n",
    "-o \t\toutput file in Radiance rgbe (.pic or .hdr)\n",
    "--layer NAME \tread the layer NAME: its channels NAME.R, NAME.G, NAME.B (or NAME.Y), NAME.A\n",
    "--part N \tread part N of a multi-part file: its number from 0, or its name\n",
    "--dump PATH \twrite the raw dump to PATH instead of inscanline_out.raw\n",
    "--no-dump \twrite no raw dump\n",
    "--threads N \tuse at most N threads (by default, one for each processor it may use)\n",
    "-q, --quiet \twrite nothing on standard output, and no closing line\n",
    "-n, --no-clobber \tleave an output that exists as it is\n",
    "--version \tprint the program's name and version\n",
};

// The options beyond -i, -o, -h and --version: a switch, or a word that takes the next one.
const unsigned TOHALF = 1, FROMHALF = 2;
const struct Option {
    const char *name, *alias;
    unsigned programs;
    bool CommandLineScan::*flag;
    const char *CommandLineScan::*word;
} OPTIONS[] = {
    {"--threads", nullptr, TOHALF | FROMHALF, nullptr, &CommandLineScan::threads},
    {"-q", "--quiet", TOHALF | FROMHALF, &CommandLineScan::quiet, nullptr},
    {"-n", "--no-clobber", TOHALF | FROMHALF, &CommandLineScan::no_clobber, nullptr},
    {"--float", nullptr, TOHALF, &CommandLineScan::float_output, nullptr},
    {"--compression", nullptr, TOHALF, nullptr, &CommandLineScan::compression},
    {"--layer", nullptr, FROMHALF, nullptr, &CommandLineScan::layer},
    {"--part", nullptr, FROMHALF, nullptr, &CommandLineScan::part},
    {"--dump", nullptr, FROMHALF, nullptr, &CommandLineScan::dump_path},
    {"--no-dump", nullptr, FROMHALF, &CommandLineScan::no_dump, nullptr},
};

bool is(const char *word, const char *option)
{
    return strcmp(word, option) == 0;
}

void note_unknown(CommandLineScan *scan, const char *word)
{
    for (const char *seen : scan->unknown) {
        if (is(seen, word))
            return;
    }
    scan->unknown.push_back(word);
}

}  // namespace

void command_line_set_program(PictorProgram program)
{
    usage_program = program;
}

CommandLineScan scan_command_line(int argc, const char *const *argv)
{
    CommandLineScan scan;
    scan.help = argc < 2;
    unsigned program = usage_program == PICTOR_TOHALF ? TOHALF : FROMHALF;
    for (int i = 1; i < argc && !scan.help && !scan.version; i++) {
        const char *word = argv[i];
        const Option *option = nullptr;
        for (const Option &o : OPTIONS) {
            if ((o.programs & program) && (is(word, o.name) || (o.alias && is(word, o.alias))))
                option = &o;
        }
        if (is(word, "--help") || is(word, "-h")) {
            scan.help = true;
        } else if (is(word, "--version")) {
            scan.version = true;
        } else if (option && option->flag) {
            scan.*option->flag = true;
        } else if (option) {
            scan.*option->word = i + 1 < argc ? argv[++i] : "";
        } else if (is(word, "-i") && i + 1 < argc) {
            scan.input_path = argv[++i];
            scan.input_given = true;
        } else if (is(word, "-o") && i + 1 < argc) {
            scan.output_path = argv[++i];
            scan.output_given = true;
        } else if (word[0] == '-') {
            note_unknown(&scan, word);
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
    for (const char *word : scan.unknown)
        fprintf(stderr, "pictor: Ignoring unknown option %s.\n", word);
    stores = scan;
}

int command_line_check_paths(const CommandLineScan &scan)
{
    const struct {
        const char *option, *what;
        bool empty;
    } words[] = {
        {"-i", "file name", scan.input_given && !scan.input_path[0]},
        {"-o", "file name", scan.output_given && !scan.output_path[0]},
        {"--dump", "file name", scan.dump_path && !scan.dump_path[0]},
        {"--layer", "name", scan.layer && !scan.layer[0]},
        {"--part", "number or name", scan.part && !scan.part[0]},
    };
    for (const auto &word : words) {
        if (word.empty) {
            fprintf(stderr, "pictor: %s was given an empty %s.\n", word.option, word.what);
            return -1;
        }
    }
    if (scan.dump_path && scan.no_dump) {
        fputs("pictor: --dump and --no-dump can't both be given.\n", stderr);
        return -1;
    }
    return 0;
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

const CommandLineScan &command_line(void)
{
    return stores;
}

int command_line_threads(const char *word)
{
    // Digits only; a count beyond what an int holds is capped like any other large one.
    long long count = 0;
    const char *c = word;
    for (; *c >= '0' && *c <= '9'; c++)
        count = count * 10 + (*c - '0') > INT_MAX ? INT_MAX : count * 10 + (*c - '0');
    if (c == word || *c != '\0' || count < 1) {
        fprintf(stderr, "pictor: --threads takes a number of threads from 1 up, not \"%s\".\n",
                word);
        return 0;
    }
    return (int)count;
}
