#include "cli/converters.h"
#include "runtime/program_start.h"

int main(int argc, char **argv)
{
    start_program(false);
    return tohalf_run(argc, argv);
}
