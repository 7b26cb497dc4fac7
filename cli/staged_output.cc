#include "cli/staged_output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool is_other_than_regular(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && !S_ISREG(st.st_mode);
}

// Copies the temporary file into the output; every write and the close are checked.
int copy_file(const char *from, const char *to)
{
    int in = open(from, O_RDONLY);
    if (in < 0)
        return -1;
    int out = open(to, O_WRONLY | O_TRUNC);
    if (out < 0) {
        int saved = errno;
        close(in);
        errno = saved;
        return -1;
    }
    std::vector<char> buffer(1 << 16);
    int result = 0;
    for (;;) {
        ssize_t got = read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            result = got < 0 ? -1 : 0;
            break;
        }
        for (ssize_t done = 0; done < got && result == 0;) {
            ssize_t put = write(out, buffer.data() + done, (size_t)(got - done));
            if (put < 0 && errno != EINTR)
                result = -1;
            else if (put > 0)
                done += put;
        }
        if (result != 0)
            break;
    }
    int saved = errno;
    close(in);
    if (close(out) != 0 && result == 0) {
        saved = errno;
        result = -1;
    }
    errno = saved;
    return result;
}

}  // namespace

int staged_output_begin(StagedOutput *out, const char *path)
{
    out->path = path;
    out->temp_path.clear();
    out->copy_into = is_other_than_regular(path);
    struct stat st;
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    std::string pattern;
    if (out->copy_into) {
        pattern = "/tmp/pictor-XXXXXX";
    } else {
        std::string dir = ".", base = path;
        size_t slash = base.rfind('/');
        if (slash != std::string::npos) {
            dir = slash == 0 ? "/" : base.substr(0, slash);
            base = base.substr(slash + 1);
        }
        pattern = dir + "/." + base + ".pictor-XXXXXX";
    }
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0)
        return -1;
    // mkstemp makes the file private; give it the mode a newly created file would have.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    out->temp_path = name.data();
    return 0;
}

int staged_output_commit(StagedOutput *out)
{
    int result = out->copy_into ? copy_file(out->temp_path.c_str(), out->path.c_str())
                                : rename(out->temp_path.c_str(), out->path.c_str());
    if (result != 0)
        fprintf(stderr, "pictor: Cannot write %s: %s\n", out->path.c_str(), strerror(errno));
    if (result != 0 || out->copy_into)
        unlink(out->temp_path.c_str());
    out->temp_path.clear();
    return result;
}

void staged_output_discard(StagedOutput *out)
{
    if (!out->temp_path.empty())
        unlink(out->temp_path.c_str());
    out->temp_path.clear();
}

bool same_file(const char *a, const char *b)
{
    if (strcmp(a, b) == 0)
        return true;
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}
