#include "cli/converters.h"
#include "cli/memory_limits.h"

int main(int argc, char **argv)
{
    keep_freed_memory();
    limit_address_space();
    return fromhalf_run(argc, argv);
}
