#include "runtime/shared_folders.h"

#include <sys/stat.h>
#include <unistd.h>

const char ANOTHER_USERS_LINK[] =
    "it is another user's link in a shared folder (sticky and writable by all), not followed";
const char ANOTHER_USERS_PIPE[] =
    "it is another user's pipe in a shared folder (sticky and writable by all), not written into";
const char ANOTHER_USERS_ENTRY[] =
    "it belongs to another user in a shared folder (sticky and writable by all), not replaced";

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

bool shared_folder_allows(const std::string &path, uid_t owner)
{
    struct stat dir;
    if (stat(directory_of(path).c_str(), &dir) != 0)
        return true;
    bool shared = (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
    return !shared || owner == geteuid() || owner == dir.st_uid;
}

bool may_replace(const std::string &path, uid_t owner)
{
    return geteuid() == 0 || shared_folder_allows(path, owner);
}
