#include "cli/converters.h"
#include "runtime/program_start.h"

int main(int argc, char **argv)
{
    start_program(true);  // a damaged file may ask the library for gigabytes
    return fromhalf_run(argc, argv);
}
