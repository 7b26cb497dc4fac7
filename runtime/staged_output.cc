#include "runtime/staged_output.h"
#include "runtime/cleanup_signals.h"
#include "runtime/paths.h"
#include "runtime/shared_folders.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

// Makes a temporary file from pattern (ending in XXXXXX) and records it. Returns 0, or -1 with
// errno set.
int make_temporary(std::string *path, const std::string &pattern)
{
    if (pattern.size() >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    HeldSignals hold;
    int fd = mkstemp(name.data());
    if (fd < 0)
        return -1;
    close(fd);
    if (!record_temporary_file(name.data())) {
        unlink(name.data());
        errno = EMFILE;
        return -1;
    }
    *path = name.data();
    return 0;
}

void remove_temporary(std::string *path)
{
    if (path->empty())
        return;
    HeldSignals hold;
    unlink(path->c_str());
    forget_temporary_file(path->c_str());
    path->clear();
}

// ".<name>.pictor-XXXXXX" beside target, the name shortened where the whole would not fit.
std::string temporary_pattern(const std::string &target)
{
    const std::string suffix = ".pictor-XXXXXX";
    std::string dir = directory_of(target), base = base_of(target);
    long name_max = pathconf(dir.c_str(), _PC_NAME_MAX);
    if (name_max <= 0)
        name_max = NAME_MAX;
    size_t room = (size_t)name_max - 1 - suffix.size();
    if (base.size() > room)
        base.resize(room);
    return dir + "/." + base + suffix;
}

bool is_device_or_pipe(const struct stat &st)
{
    return S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode);
}

// Opens the file that an O_PATH descriptor holds, as it was checked, whatever now stands at its
// name.
int reopen(int place_fd, int flags)
{
    char name[64];
    snprintf(name, sizeof name, "/proc/self/fd/%d", place_fd);
    return open(name, flags | O_CLOEXEC | O_NOCTTY);
}

// What the dump's link leads to, when that is a device or a pipe: its O_PATH descriptor, read
// from the link that was checked and opened from there on; else -1, with *refusal set for
// another user's pipe in a shared folder.
int linked_device(int link, const std::string &path, const char **refusal)
{
    std::vector<char> text(PATH_MAX + 1);
    ssize_t length = readlinkat(link, "", text.data(), PATH_MAX);
    if (length <= 0)
        return -1;
    std::string target(text.data(), (size_t)length);
    if (target[0] != '/')
        target = directory_of(path) + "/" + target;
    int fd = open(target.c_str(), O_PATH | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && is_device_or_pipe(st)) {
        if (!S_ISFIFO(st.st_mode) || shared_folder_allows(target, st.st_uid))
            return fd;
        *refusal = ANOTHER_USERS_PIPE;
    }
    if (fd >= 0)
        close(fd);
    return -1;
}

// Chooses how the output is put in place, from what stands at its target: st, as held by the
// O_PATH descriptor at (null when nothing does). Returns 0, STAGED_REFUSED with the reason, or
// -1 with errno set.
int choose_way(StagedOutput *out, StagedUse use, int at, const struct stat *st)
{
    out->way = use == STAGED_DUMP ? STAGE_EXCHANGE : STAGE_RENAME;
    if (!st)
        return 0;  // a new file
    bool pipe_refused = S_ISFIFO(st->st_mode) && !shared_folder_allows(out->target, st->st_uid);
    if (use == STAGED_PICTURE && S_ISDIR(st->st_mode)) {
        out->refusal = strerror(EISDIR);
        return STAGED_REFUSED;
    }
    if (use == STAGED_PICTURE && S_ISLNK(st->st_mode)) {
        errno = ELOOP;  // links beyond those followed
        return -1;
    }
    if ((use == STAGED_PICTURE && !S_ISREG(st->st_mode)) ||
        (use == STAGED_DUMP && is_device_or_pipe(*st))) {
        if (pipe_refused) {
            out->refusal = ANOTHER_USERS_PIPE;
            return STAGED_REFUSED;
        }
        out->way = use == STAGED_DUMP ? STAGE_IN_PLACE : STAGE_DEVICE_COPY;
        out->place_fd = at;
        return 0;
    }
    if (S_ISLNK(st->st_mode) && (st->st_uid == geteuid() || st->st_uid == 0) &&
        shared_folder_allows(out->target, st->st_uid)) {
        out->place_fd = linked_device(at, out->target, &out->refusal);
        if (out->refusal)
            return STAGED_REFUSED;
        if (out->place_fd >= 0) {
            out->way = STAGE_IN_PLACE;
            return 0;
        }
    }
    if (use == STAGED_DUMP && !may_replace(out->target, st->st_uid)) {
        out->refusal = ANOTHER_USERS_ENTRY;
        return STAGED_REFUSED;
    }
    if (S_ISREG(st->st_mode)) {
        if (faccessat(AT_FDCWD, out->target.c_str(), W_OK, AT_EACCESS) != 0) {
            out->refusal = strerror(errno);
            return STAGED_REFUSED;
        }
        out->replaces = true;
        out->old = *st;
    }
    return 0;
}

// Copies the temporary file into the output; every write and the close are checked.
int copy_file(const char *from, int to_place)
{
    int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return -1;
    int out = reopen(to_place, O_WRONLY | O_TRUNC);
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
            if (put > 0) {
                done += put;
            } else if (put == 0) {
                errno = EIO;  // a device that takes nothing would never take the rest
                result = -1;
            } else if (errno != EINTR) {
                result = -1;
            }
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

// Gives the finished temporary file the mode, owner and group of the file it replaces, or the
// mode a newly created file would have.
void set_attributes(const StagedOutput *out)
{
    const char *temp = out->temp_path.c_str();
    if (out->replaces) {
        // Only the owner, or root, may give a file away; a failure leaves the process's own.
        // The mode comes after, as a change of owner clears the set-id bits.
        if (chown(temp, out->old.st_uid, out->old.st_gid) != 0 &&
            chown(temp, (uid_t)-1, out->old.st_gid) != 0) {
            // neither owner nor group could be kept
        }
        chmod(temp, out->old.st_mode & 07777);
    } else {
        mode_t mask = umask(0);
        umask(mask);
        chmod(temp, 0666 & ~mask);
    }
}

// Puts the finished output in place. Returns 0, or -1 with errno set.
int commit(StagedOutput *out)
{
    const char *temp = out->temp_path.c_str(), *target = out->target.c_str();
    switch (out->way) {
    case STAGE_IN_PLACE:
        return 0;
    case STAGE_DEVICE_COPY:
        return copy_file(temp, out->place_fd);
    case STAGE_EXCHANGE:
        set_attributes(out);
        if (renameat2(AT_FDCWD, temp, AT_FDCWD, target, RENAME_EXCHANGE) == 0) {
            unlink(temp);  // what was the dump until now
            break;
        }
        if (rename(temp, target) != 0)  // nothing there to exchange with
            return -1;
        break;
    case STAGE_RENAME:
        set_attributes(out);
        if (rename(temp, target) != 0)
            return -1;
        break;
    }
    HeldSignals hold;
    forget_temporary_file(temp);
    out->temp_path.clear();
    return 0;
}

}  // namespace

int staged_output_begin(StagedOutput *out, const char *path, StagedUse use)
{
    *out = StagedOutput();
    out->path = path;
    if (!resolve_links(path, use == STAGED_PICTURE, &out->target, &out->refusal))
        return STAGED_REFUSED;
    int at = open(out->target.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    bool exists = at >= 0 && fstat(at, &st) == 0;
    int status = choose_way(out, use, at, exists ? &st : nullptr);
    if (at >= 0 && at != out->place_fd)
        close(at);
    if (status != 0 || out->way == STAGE_IN_PLACE)
        return status;
    std::string pattern = out->way == STAGE_DEVICE_COPY ? "/tmp/pictor-XXXXXX"
                                                         : temporary_pattern(out->target);
    if (make_temporary(&out->temp_path, pattern) != 0) {
        int error = errno;
        staged_output_discard(out);
        errno = error;
        return -1;
    }
    return 0;
}

const char *staged_output_write_path(const StagedOutput *out)
{
    return out->temp_path.c_str();
}

FILE *staged_output_stream(StagedOutput *out)
{
    int fd = out->way == STAGE_IN_PLACE ? reopen(out->place_fd, O_WRONLY | O_TRUNC)
                                        : open(out->temp_path.c_str(), O_WRONLY | O_CLOEXEC);
    FILE *stream = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (fd >= 0 && !stream) {
        int error = errno;
        close(fd);
        errno = error;
    }
    return stream;
}

int staged_output_finish(StagedOutput *out, FILE *stream, bool ok)
{
    int result = ok ? 0 : -1, error = 0;
    if (stream) {
        if (ok && (fflush(stream) != 0 || ferror(stream))) {
            result = STAGED_WRITE_FAILED;
            error = errno;
        }
        if (fclose(stream) != 0 && result == 0) {
            result = STAGED_WRITE_FAILED;
            error = errno;
        }
    }
    if (result == 0 && commit(out) != 0) {
        fprintf(stderr, "pictor: Cannot write %s: %s\n", out->path.c_str(), strerror(errno));
        result = -1;
    }
    staged_output_discard(out);
    errno = error;
    return result;
}

void staged_output_discard(StagedOutput *out)
{
    remove_temporary(&out->temp_path);
    if (out->place_fd >= 0)
        close(out->place_fd);
    out->place_fd = -1;
}
