#include "runtime/staged_output.h"
#include "runtime/cleanup_signals.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

const char ANOTHER_USERS_LINK[] =
    "it is another user's link in a shared folder (sticky and writable by all), not followed";
const char ANOTHER_USERS_PIPE[] =
    "it is another user's pipe in a shared folder (sticky and writable by all), not written into";
const char ANOTHER_USERS_ENTRY[] =
    "it belongs to another user in a shared folder (sticky and writable by all), not replaced";

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

std::string directory_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether the kernel would let this process follow a link, or open a pipe, that owner owns at
// path (protected_symlinks, protected_fifos): in a folder that is sticky and writable by all,
// only the user's own and the folder owner's.
bool shared_folder_allows(const std::string &path, uid_t owner)
{
    struct stat dir;
    if (stat(directory_of(path).c_str(), &dir) != 0)
        return true;
    bool shared = (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
    return !shared || owner == geteuid() || owner == dir.st_uid;
}

// Whether what owner owns at path may be replaced: the sticky bit keeps others' names to them.
bool may_replace(const std::string &path, uid_t owner)
{
    return geteuid() == 0 || shared_folder_allows(path, owner);
}

// The path with every symbolic link on the way replaced by what it says, followed by hand as
// the kernel would follow it: the folders' links, and the last part's when follow_last is set
// (a dangling link there gives the path it would create). Returns false with *refusal set at a
// link that the kernel would not follow in a shared folder (when refusal is not null); after too
// many links, the rest is left for the open to refuse.
bool resolve_links(const std::string &path, bool follow_last, std::string *resolved,
                   const char **refusal)
{
    std::vector<std::string> parts;  // what is left to walk, last part first
    auto push_parts = [&parts](const std::string &text) {
        size_t end = text.size();
        while (end > 0) {
            size_t slash = text.rfind('/', end - 1);
            size_t begin = slash == std::string::npos ? 0 : slash + 1;
            if (end > begin)
                parts.push_back(text.substr(begin, end - begin));
            if (slash == std::string::npos)
                break;
            end = slash;
        }
    };
    std::string at = path.size() > 0 && path[0] == '/' ? "/" : "";
    push_parts(path);
    for (int hops = 0; !parts.empty();) {
        std::string part = parts.back();
        parts.pop_back();
        std::string next = at.empty() ? part : at == "/" ? "/" + part : at + "/" + part;
        struct stat st;
        if ((parts.empty() && !follow_last) || hops >= 40 || lstat(next.c_str(), &st) != 0 ||
            !S_ISLNK(st.st_mode)) {
            at = next;
            continue;
        }
        if (refusal && !shared_folder_allows(next, st.st_uid)) {
            *refusal = ANOTHER_USERS_LINK;
            return false;
        }
        std::vector<char> text(PATH_MAX + 1);
        ssize_t length = readlink(next.c_str(), text.data(), PATH_MAX);
        if (length <= 0) {
            at = next;
            continue;
        }
        hops++;
        std::string target(text.data(), (size_t)length);
        if (target[0] == '/')
            at = "/";
        push_parts(target);
    }
    *resolved = at.empty() ? "." : at;
    return true;
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

// An O_PATH descriptor of the device or pipe at path (no link followed), checked on the open
// file: -1 when something else stands there now, or with *refusal set for another user's pipe
// in a shared folder.
int open_place(const std::string &path, const char **refusal)
{
    int fd = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && !S_ISLNK(st.st_mode) && !S_ISREG(st.st_mode) &&
        !S_ISDIR(st.st_mode)) {
        if (!S_ISFIFO(st.st_mode) || shared_folder_allows(path, st.st_uid))
            return fd;
        *refusal = ANOTHER_USERS_PIPE;
    }
    if (fd >= 0)
        close(fd);
    return -1;
}

// The dump's name, when it leads to a device or a pipe to be written in place: one standing
// there, or one that the user's own (or root's) link there leads to. Returns its O_PATH
// descriptor; -1 when the name is to be replaced, or with *refusal set when it must be refused.
int dump_place(const char *path, const char **refusal)
{
    int at = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (at < 0 || fstat(at, &st) != 0) {
        if (at >= 0)
            close(at);
        return -1;
    }
    uid_t owner = st.st_uid;
    if (!S_ISLNK(st.st_mode) && is_device_or_pipe(st)) {
        if (!S_ISFIFO(st.st_mode) || shared_folder_allows(path, owner))
            return at;
        *refusal = ANOTHER_USERS_PIPE;
    } else if (S_ISLNK(st.st_mode) && (owner == geteuid() || owner == 0) &&
               shared_folder_allows(path, owner)) {
        // What the link says is read from the link that was checked, and opened from there on.
        std::vector<char> text(PATH_MAX + 1);
        ssize_t length = readlinkat(at, "", text.data(), PATH_MAX);
        std::string target(text.data(), length > 0 ? (size_t)length : 0);
        if (length > 0 && target[0] != '/')
            target = directory_of(path) + "/" + target;
        int fd = length > 0 ? open(target.c_str(), O_PATH | O_CLOEXEC) : -1;
        if (fd >= 0 && fstat(fd, &st) == 0 && is_device_or_pipe(st)) {
            if (!S_ISFIFO(st.st_mode) || shared_folder_allows(target, st.st_uid)) {
                close(at);
                return fd;
            }
            *refusal = ANOTHER_USERS_PIPE;
        }
        if (fd >= 0)
            close(fd);
    }
    close(at);
    if (!*refusal && !may_replace(path, owner))
        *refusal = ANOTHER_USERS_ENTRY;
    return -1;
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

// Puts the finished file at target. The dump takes the place of what stands there in one
// exchange, so that there is no moment without a dump, and then the old one is removed: a plain
// rename over a file makes ext4 write the new file out before it returns, which for the dump's
// gigabytes of scratch data costs more than the whole conversion's writing. The picture keeps
// the plain rename and the protection that comes with it.
int move_into_place(StagedOutput *out)
{
    const char *temp = out->temp_path.c_str(), *target = out->target.c_str();
    if (out->exchange && renameat2(AT_FDCWD, temp, AT_FDCWD, target, RENAME_EXCHANGE) == 0) {
        unlink(temp);  // what was the dump until now
        return 0;
    }
    return rename(temp, target);
}

}  // namespace

int staged_output_begin(StagedOutput *out, const char *path, StagedUse use)
{
    out->path = path;
    out->target = path;
    out->write_path.clear();
    out->temp_path.clear();
    out->place_fd = -1;
    out->replaces = false;
    out->exchange = use == STAGED_DUMP;
    out->refusal = nullptr;
    struct stat st;
    if (use == STAGED_DUMP) {
        if (!resolve_links(path, false, &out->target, &out->refusal))
            return STAGED_REFUSED;
        out->place_fd = dump_place(out->target.c_str(), &out->refusal);
        if (out->refusal)
            return STAGED_REFUSED;
        if (out->place_fd >= 0)
            return 0;  // written in place, from start to end
    } else {
        if (!resolve_links(path, true, &out->target, &out->refusal))
            return STAGED_REFUSED;
        if (lstat(out->target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            out->refusal = strerror(EISDIR);
            return STAGED_REFUSED;
        }
        if (lstat(out->target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            out->place_fd = open_place(out->target, &out->refusal);
            if (out->refusal)
                return STAGED_REFUSED;
            if (out->place_fd < 0)
                return -1;
            if (make_temporary(&out->temp_path, "/tmp/pictor-XXXXXX") != 0) {
                staged_output_discard(out);
                return -1;
            }
            out->write_path = out->temp_path;
            return 0;
        }
    }
    // A regular file, one to be created, or (for the dump) anything else at its name, which the
    // new file replaces.
    if (lstat(out->target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (faccessat(AT_FDCWD, out->target.c_str(), W_OK, AT_EACCESS) != 0) {
            out->refusal = strerror(errno);
            return STAGED_REFUSED;
        }
        out->replaces = true;
        out->old = st;
    }
    if (make_temporary(&out->temp_path, temporary_pattern(out->target)) != 0)
        return -1;
    out->write_path = out->temp_path;
    return 0;
}

FILE *staged_output_stream(StagedOutput *out)
{
    int fd = out->temp_path.empty() ? reopen(out->place_fd, O_WRONLY | O_TRUNC)
                                    : open(out->temp_path.c_str(), O_WRONLY | O_CLOEXEC);
    FILE *stream = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (fd >= 0 && !stream) {
        int error = errno;
        close(fd);
        errno = error;
    }
    return stream;
}

int staged_output_commit(StagedOutput *out)
{
    if (out->temp_path.empty()) {
        staged_output_discard(out);
        return 0;  // written in place
    }
    bool copy = out->place_fd >= 0;
    int result;
    if (copy) {
        result = copy_file(out->temp_path.c_str(), out->place_fd);
    } else {
        set_attributes(out);
        result = move_into_place(out);
    }
    int error = errno;
    if (result == 0 && !copy) {
        HeldSignals hold;
        forget_temporary_file(out->temp_path.c_str());
        out->temp_path.clear();
    }
    staged_output_discard(out);
    if (result != 0)
        fprintf(stderr, "pictor: Cannot write %s: %s\n", out->path.c_str(), strerror(error));
    return result;
}

void staged_output_discard(StagedOutput *out)
{
    remove_temporary(&out->temp_path);
    if (out->place_fd >= 0)
        close(out->place_fd);
    out->place_fd = -1;
}

bool same_file(const char *a, const char *b)
{
    if (strcmp(a, b) == 0)
        return true;
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool same_place(const char *a, const char *b)
{
    if (same_file(a, b))
        return true;
    std::string ta, tb;
    resolve_links(a, true, &ta, nullptr);
    resolve_links(b, true, &tb, nullptr);
    if (base_of(ta) != base_of(tb))
        return false;
    char *da = realpath(directory_of(ta).c_str(), nullptr);
    char *db = realpath(directory_of(tb).c_str(), nullptr);
    bool same = da && db && strcmp(da, db) == 0;
    free(da);
    free(db);
    return same;
}

namespace {

// The standard descriptors that were closed when the program started (bit fd), which
// keep_standard_streams_open put on /dev/null.
int closed_at_start;

// The standard descriptor (0, 1 or 2) that path names through this process's own descriptors
// (/dev/stdout, /dev/fd/1, /proc/self/fd/1), whatever that descriptor is open on; else -1.
int descriptor_named(const char *path)
{
    std::string at = path;
    for (int hops = 0; hops < 40; hops++) {
        std::string base = base_of(at);
        if (base.size() == 1 && base[0] >= '0' && base[0] <= '2') {
            char *folder = realpath(directory_of(at).c_str(), nullptr);
            std::string own = "/proc/" + std::to_string(getpid());
            bool ours = folder && (std::string(folder) == own + "/fd" ||
                                   (strncmp(folder, (own + "/task/").c_str(), own.size() + 6) == 0 &&
                                    base_of(folder) == "fd"));
            free(folder);
            if (ours)
                return base[0] - '0';
        }
        struct stat st;
        std::vector<char> text(PATH_MAX + 1);
        ssize_t length;
        if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode) ||
            (length = readlink(at.c_str(), text.data(), PATH_MAX)) <= 0)
            return -1;
        std::string next(text.data(), (size_t)length);
        at = next[0] == '/' ? next : directory_of(at) + "/" + next;
    }
    return -1;
}

}  // namespace

const char *standard_stream_name(const char *path)
{
    static const int FDS[] = {1, 2, 0};
    static const char *const NAMES[] = {"output", "error", "input"};
    // A stream closed at the start is on /dev/null now; what would go to it is lost, not
    // written into a file that takes its name.
    int named = descriptor_named(path);
    for (int i = 0; i < 3; i++) {
        if (named == FDS[i] && (closed_at_start & (1 << named)))
            return NAMES[i];
    }
    struct stat st, stream;
    if (stat(path, &st) != 0)
        return nullptr;
    for (int i = 0; i < 3; i++) {
        // A stream on /dev/null or the like takes anything: only files, pipes and terminals
        // would mix what is written there.
        if (fstat(FDS[i], &stream) == 0 && stream.st_dev == st.st_dev &&
            stream.st_ino == st.st_ino && (!S_ISCHR(st.st_mode) || isatty(FDS[i])))
            return NAMES[i];
    }
    return nullptr;
}

bool is_null_device(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3);
}

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
