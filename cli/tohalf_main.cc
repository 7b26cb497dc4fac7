#include "cli/converters.h"
#include "cli/memory_limits.h"

int main(int argc, char **argv)
{
    keep_freed_memory();
    return tohalf_run(argc, argv);
}
