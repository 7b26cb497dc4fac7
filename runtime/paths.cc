#include "runtime/paths.h"
#include "runtime/program_start.h"
#include "runtime/shared_folders.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

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
        if (named == FDS[i] && standard_stream_closed_at_start(named))
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
