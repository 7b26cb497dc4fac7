#include "runtime/program_start.h"
#include "runtime/cleanup_signals.h"
#include "runtime/memory_limits.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

int closed_at_start;  // bit fd for each standard descriptor that was closed; set once, first

void keep_standard_streams_open(void)
{
    for (int fd = 0; fd < 3; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        closed_at_start |= 1 << fd;
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

}  // namespace

void start_program(bool bound_address_space)
{
    keep_standard_streams_open();
    keep_freed_memory();
    remove_temporary_files_on_signals();
    if (bound_address_space)
        limit_address_space();
}

bool standard_stream_closed_at_start(int fd)
{
    return fd >= 0 && fd < 3 && (closed_at_start & (1 << fd));
}
