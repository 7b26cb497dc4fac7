// The command line shared by both converters: -i <input>, -o <output>, -h or --help, --version,
// --threads N, and for pictor_tohalf --float.
#ifndef PICTOR_CLI_COMMAND_LINE_H
#define PICTOR_CLI_COMMAND_LINE_H

enum PictorProgram { PICTOR_TOHALF, PICTOR_FROMHALF };

// What a walk over the words finds, without acting on it.
struct CommandLineScan {
    const char *input_path;   // last -i path, "" when none
    const char *output_path;  // last -o path, "" when none
    bool help;                // -h, --help, or no words at all
    bool version;             // --version (before any help request)
    bool float_output;        // --float
    const char *threads;      // the word after the last --threads, null when none
};

// Selects whose usage text print_usage writes; PICTOR_TOHALF until called.
void command_line_set_program(PictorProgram program);

// Walks the words as parse_command_line does and stops at the first help or version request.
// Paths are the words themselves, kept whole; -i or -o as the last word is passed over.
CommandLineScan scan_command_line(int argc, const char *const *argv);

// Fills the path stores; a help request (or no words) ends the process through print_usage,
// a version request through print_version.
void parse_command_line(int argc, const char *const *argv);

// Writes the usage text to stderr and ends the process with exit status 0.
[[noreturn]] void print_usage(void);

// Writes the program's name and version ("pictor_tohalf 1.0.0") to stdout and ends the process
// with exit status 0.
[[noreturn]] void print_version(void);

// The stores filled by parse_command_line; empty strings and false until then.
const char *command_line_input_path(void);
const char *command_line_output_path(void);
bool command_line_float_output(void);
const char *command_line_threads_word(void);  // null when --threads was not given

// The threads a conversion may use: the number word says (1 or more; word from --threads), or,
// for a null word, the processors this process may run on. Returns 0 after a "pictor: "
// message when the word is no such number.
int command_line_threads(const char *word);

#endif
