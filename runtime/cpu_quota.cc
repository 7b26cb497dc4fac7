#include "runtime/cpu_quota.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Where the cgroup file system is mounted.
const char CGROUP_ROOT[] = "/sys/fs/cgroup";

// The first line of a small file, "" when it can't be read.
std::string first_line(const std::string &path)
{
    char line[256] = "";
    FILE *file = fopen(path.c_str(), "re");
    if (!file)
        return "";
    if (!fgets(line, sizeof line, file))
        line[0] = '\0';
    fclose(file);
    return line;
}

// Processors' worth of quota microseconds in each period, rounded up; 0 for no quota.
int processors_of(long long quota, long long period)
{
    if (quota <= 0 || period <= 0)
        return 0;
    long long count = quota / period + (quota % period != 0);
    return count > INT_MAX ? INT_MAX : (int)count;
}

// The quota set on the cgroup in folder dir: cgroup v2's "cpu.max" ("200000 100000", or "max
// 100000" for none), or v1's cpu.cfs_quota_us (-1 for none) and cpu.cfs_period_us.
int folder_quota(const std::string &dir, bool v2)
{
    long long quota = 0, period = 0;
    if (v2) {
        if (sscanf(first_line(dir + "/cpu.max").c_str(), "%lld %lld", &quota, &period) != 2)
            return 0;
    } else if (sscanf(first_line(dir + "/cpu.cfs_quota_us").c_str(), "%lld", &quota) != 1 ||
               sscanf(first_line(dir + "/cpu.cfs_period_us").c_str(), "%lld", &period) != 1) {
        return 0;
    }
    return processors_of(quota, period);
}

// The least quota of the cgroup at path under top and of every cgroup above it up to top. A
// container sees its own cgroup at top, while /proc names it by its path on the host: the
// folders that are not there are passed over.
int least_quota(const std::string &top, std::string path, bool v2)
{
    int least = 0;
    for (;;) {
        int quota = folder_quota(top + path, v2);
        if (quota > 0 && (least == 0 || quota < least))
            least = quota;
        size_t slash = path.rfind('/');
        if (slash == std::string::npos || path.size() <= 1)
            return least;
        path.erase(slash);
    }
}

// Whether a cgroup v1 line's controllers ("cpu,cpuacct") include the cpu controller.
bool names_cpu(const std::string &controllers)
{
    return ("," + controllers + ",").find(",cpu,") != std::string::npos;
}

}  // namespace

int cpu_quota_processors_at(const char *root, const char *self_cgroup)
{
    // Lines of "hierarchy:controllers:path"; cgroup v2's hierarchy is "0" with no controllers.
    int least = 0;
    for (const char *line = self_cgroup; *line;) {
        const char *end = line + strcspn(line, "\n");
        std::string text(line, end);
        line = *end ? end + 1 : end;
        size_t first = text.find(':'), second = text.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            continue;
        std::string controllers = text.substr(first + 1, second - first - 1);
        std::string path = text.substr(second + 1);
        int quota = 0;
        if (text.compare(0, first, "0") == 0 && controllers.empty())
            quota = least_quota(root, path, true);
        else if (names_cpu(controllers))
            quota = least_quota(std::string(root) + "/" + controllers, path, false);
        if (quota > 0 && (least == 0 || quota < least))
            least = quota;
    }
    return least;
}

int cpu_quota_processors(void)
{
    std::string text;
    FILE *file = fopen("/proc/self/cgroup", "re");
    if (!file)
        return 0;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0 && text.size() < (1u << 20))
        text.append(buffer, n);
    fclose(file);
    return cpu_quota_processors_at(CGROUP_ROOT, text.c_str());
}
