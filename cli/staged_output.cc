#include "cli/staged_output.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#include <vector>

namespace {

// The temporary files of the run, for the signal handler: plain bytes written before a slot
// is marked used, and read only there (unlink is safe in a signal handler; std::string isn't).
const int TEMPORARY_SLOTS = 4;
char temporary_paths[TEMPORARY_SLOTS][PATH_MAX];
volatile sig_atomic_t temporary_used[TEMPORARY_SLOTS];

const int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ};

void remove_temporaries_and_end(int sig)
{
    for (int i = 0; i < TEMPORARY_SLOTS; i++) {
        if (temporary_used[i])
            unlink(temporary_paths[i]);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

// Signals that would end the process, held back while a temporary file is made and recorded.
struct HoldSignals {
    sigset_t saved;
    HoldSignals()
    {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : CLEANUP_SIGNALS)
            sigaddset(&set, sig);
        pthread_sigmask(SIG_BLOCK, &set, &saved);
    }
    ~HoldSignals() { pthread_sigmask(SIG_SETMASK, &saved, nullptr); }
};

void forget_temporary(const std::string &path)
{
    for (int i = 0; i < TEMPORARY_SLOTS; i++) {
        if (temporary_used[i] && path == temporary_paths[i])
            temporary_used[i] = 0;
    }
}

// Makes a temporary file from pattern (ending in XXXXXX) and records it. Returns 0, or -1 with
// errno set.
int make_temporary(std::string *path, const std::string &pattern)
{
    if (pattern.size() >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    HoldSignals hold;
    int slot = 0;
    while (slot < TEMPORARY_SLOTS && temporary_used[slot])
        slot++;
    if (slot == TEMPORARY_SLOTS) {
        errno = EMFILE;
        return -1;
    }
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0)
        return -1;
    close(fd);
    memcpy(temporary_paths[slot], name.data(), name.size());
    temporary_used[slot] = 1;
    *path = name.data();
    return 0;
}

void remove_temporary(std::string *path)
{
    if (path->empty())
        return;
    HoldSignals hold;
    unlink(path->c_str());
    forget_temporary(*path);
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

// The file a chain of symbolic links leads to, followed by hand so that a dangling link gives
// the path it would create.
std::string follow_links(const std::string &path)
{
    std::string at = path;
    for (int hops = 0; hops < 40; hops++) {
        struct stat st;
        if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return at;
        std::vector<char> text(PATH_MAX + 1);
        ssize_t length = readlink(at.c_str(), text.data(), PATH_MAX);
        if (length <= 0)
            return at;
        std::string next(text.data(), (size_t)length);
        at = next[0] == '/' ? next : directory_of(at) + "/" + next;
    }
    return at;
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

}  // namespace

int staged_output_begin(StagedOutput *out, const char *path, StagedUse use)
{
    out->path = path;
    out->target = path;
    out->write_path.clear();
    out->temp_path.clear();
    out->copy_into = false;
    out->replaces = false;
    out->remove_first = use == STAGED_DUMP;
    struct stat st, link;
    bool exists = stat(path, &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return STAGED_REFUSED;
    }
    bool is_link = lstat(path, &link) == 0 && S_ISLNK(link.st_mode);
    if (use == STAGED_DUMP && exists && is_device_or_pipe(st) &&
        (!is_link || link.st_uid == geteuid() || link.st_uid == 0)) {
        out->write_path = path;  // written directly, from start to end
        return 0;
    }
    if (use == STAGED_PICTURE && exists && !S_ISREG(st.st_mode)) {
        out->copy_into = true;
        if (make_temporary(&out->temp_path, "/tmp/pictor-XXXXXX") != 0)
            return -1;
        out->write_path = out->temp_path;
        return 0;
    }
    // A regular file, one to be created, or (for the dump) anything else at its name, which the
    // new file replaces.
    if (use == STAGED_PICTURE)
        out->target = follow_links(path);
    else
        exists = lstat(path, &st) == 0;
    if (exists && S_ISREG(st.st_mode)) {
        if (faccessat(AT_FDCWD, out->target.c_str(), W_OK, AT_EACCESS) != 0)
            return STAGED_REFUSED;
        out->replaces = true;
        out->old = st;
    }
    if (make_temporary(&out->temp_path, temporary_pattern(out->target)) != 0)
        return -1;
    out->write_path = out->temp_path;
    return 0;
}

FILE *staged_output_stream(const StagedOutput *out)
{
    if (out->temp_path.empty())
        return fopen(out->write_path.c_str(), "wb");
    int fd = open(out->temp_path.c_str(), O_WRONLY);
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
    if (out->temp_path.empty())
        return 0;  // written in place
    int result;
    if (out->copy_into) {
        result = copy_file(out->temp_path.c_str(), out->target.c_str());
    } else {
        set_attributes(out);
        // ext4 writes out a file renamed over another before the rename returns: for the dump,
        // gigabytes of scratch data, that costs more than the whole conversion's writing. Its
        // old file goes first, leaving a moment without a dump instead; the picture keeps the
        // plain rename and the protection that comes with it.
        if (out->remove_first)
            unlink(out->target.c_str());
        result = rename(out->temp_path.c_str(), out->target.c_str());
    }
    int error = errno;
    if (result == 0 && !out->copy_into) {
        HoldSignals hold;
        forget_temporary(out->temp_path);
        out->temp_path.clear();
    }
    remove_temporary(&out->temp_path);
    if (result != 0)
        fprintf(stderr, "pictor: Cannot write %s: %s\n", out->path.c_str(), strerror(error));
    return result;
}

void staged_output_discard(StagedOutput *out)
{
    remove_temporary(&out->temp_path);
}

bool same_file(const char *a, const char *b)
{
    if (strcmp(a, b) == 0)
        return true;
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

const char *standard_stream_name(const char *path)
{
    static const int FDS[] = {1, 2, 0};
    static const char *const NAMES[] = {"output", "error", "input"};
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

void remove_temporary_files_on_signals(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = remove_temporaries_and_end;
    sigemptyset(&action.sa_mask);
    for (int sig : CLEANUP_SIGNALS)
        sigaddset(&action.sa_mask, sig);
    for (int sig : CLEANUP_SIGNALS) {
        struct sigaction old;
        // A signal the caller ignores (nohup, a shell's background job) stays ignored.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(sig, &action, nullptr);
    }
}
