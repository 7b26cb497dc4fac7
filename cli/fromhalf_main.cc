#include "runtime/cleanup_signals.h"
#include "cli/converters.h"
#include "runtime/memory_limits.h"
#include "runtime/staged_output.h"

int main(int argc, char **argv)
{
    keep_standard_streams_open();
    keep_freed_memory();
    remove_temporary_files_on_signals();
    limit_address_space();
    return fromhalf_run(argc, argv);
}
