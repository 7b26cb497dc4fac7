// The command line shared by both converters: -i <input>, -o <output>, -h or --help, --version,
// --threads N, -q or --quiet, -n or --no-clobber; for pictor_tohalf --float and --compression
// NAME[:LEVEL]; for pictor_fromhalf --layer NAME, --part N, --dump PATH and --no-dump. Other words
// that begin with "-" are named once on stderr and passed over; other words are passed over
// without a word.
#ifndef PICTOR_CLI_COMMAND_LINE_H
#define PICTOR_CLI_COMMAND_LINE_H

#include <vector>

enum PictorProgram { PICTOR_TOHALF, PICTOR_FROMHALF };

// What a walk over the words finds, without acting on it.
struct CommandLineScan {
    const char *input_path = "";   // last -i path, "" when none
    const char *output_path = "";  // last -o path, "" when none
    bool input_given = false;      // -i was given a path (maybe an empty one)
    bool output_given = false;
    bool help = false;             // -h, --help, or no words at all
    bool version = false;          // --version (before any help request)
    bool quiet = false;            // -q, --quiet
    bool no_clobber = false;       // -n, --no-clobber
    bool float_output = false;     // --float
    bool no_dump = false;          // --no-dump
    // The word after the last of these options, null when it was not given ("" when it was the
    // last word).
    const char *threads = nullptr;
    const char *compression = nullptr;
    const char *layer = nullptr;
    const char *part = nullptr;
    const char *dump_path = nullptr;
    std::vector<const char *> unknown;  // words that look like options and are none, each once
};

// Selects whose usage text print_usage writes, and whose options are known; PICTOR_TOHALF
// until called.
void command_line_set_program(PictorProgram program);

// Walks the words as parse_command_line does and stops at the first help or version request.
// Paths are the words themselves, kept whole; -i or -o as the last word is passed over.
CommandLineScan scan_command_line(int argc, const char *const *argv);

// Fills the path stores; a help request (or no words) ends the process through print_usage,
// a version request through print_version. Names each unknown option on stderr ("pictor:
// Ignoring unknown option --flaot.").
void parse_command_line(int argc, const char *const *argv);

// Refuses -i, -o, --dump, --layer or --part given an empty word, which names nothing, and
// --dump with --no-dump. Returns 0, or -1 after a message.
int command_line_check_paths(const CommandLineScan &scan);

// Writes the usage text to stderr and ends the process with exit status 0.
[[noreturn]] void print_usage(void);

// Writes the program's name and version ("pictor_tohalf 1.0.0") to stdout and ends the process
// with exit status 0.
[[noreturn]] void print_version(void);

// The stores filled by parse_command_line; empty until then.
const CommandLineScan &command_line(void);

// The threads a conversion may use, as the word after --threads says: a number from 1 up
// (larger than an int holds counts as the largest). Returns 0 after a "pictor: " message when
// the word is no such number.
int command_line_threads(const char *word);

#endif
