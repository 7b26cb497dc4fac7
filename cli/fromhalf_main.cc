#include "cli/converters.h"
#include "cli/memory_limits.h"

int main(int argc, char **argv)
{
    limit_address_space();
    return fromhalf_run(argc, argv);
}
