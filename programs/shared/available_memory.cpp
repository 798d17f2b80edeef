#include "shared/available_memory.h"

#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

// MemAvailable from /proc/meminfo, in bytes; infinite where it cannot be read.
static double machine_available(void) {
    FILE *file = fopen("/proc/meminfo", "r");
    if (file == NULL) return INFINITY;
    char line[256];
    double kib = -1;
    while (kib < 0 && fgets(line, sizeof line, file) != NULL)
        if (sscanf(line, "MemAvailable: %lf kB", &kib) != 1) kib = -1;
    fclose(file);
    return kib >= 0 ? kib * 1024 : INFINITY;
}

// What a limit leaves after what is in use (pages of /proc/self/statm).
static double left_under(int resource, int statm_field) {
    struct rlimit limit;
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return INFINITY;
    FILE *file = fopen("/proc/self/statm", "r");
    if (file == NULL) return INFINITY;
    double fields[7] = {};
    const int read = fscanf(file, "%lf %lf %lf %lf %lf %lf %lf", &fields[0], &fields[1], &fields[2],
                            &fields[3], &fields[4], &fields[5], &fields[6]);
    fclose(file);
    if (read < statm_field + 1) return INFINITY;
    const double used = fields[statm_field] * (double)sysconf(_SC_PAGE_SIZE);
    return fmax(0, (double)limit.rlim_cur - used);
}

// The names of the files of a memory controller: cgroup v2's, or v1's.
struct controller_files {
    const char *limit, *usage, *active_file, *inactive_file;
};
static const controller_files V2 = {"memory.max", "memory.current", "active_file", "inactive_file"};
static const controller_files V1 = {"memory.limit_in_bytes", "memory.usage_in_bytes",
                                    "total_active_file", "total_inactive_file"};

// A number that is a file's whole first word, or -1 ("max", a missing file).
static double number_in(const std::string &path) {
    std::ifstream file(path);
    std::string word;
    if (!(file >> word)) return -1;
    char *end = NULL;
    const double value = strtod(word.c_str(), &end);
    return *end == '\0' && value >= 0 ? value : -1;
}

static double stat_value(const std::string &dir, const char *key) {
    std::ifstream file(dir + "/memory.stat");
    std::string name;
    double value;
    while (file >> name >> value)
        if (name == key) return value;
    return 0;
}

// One group's limit less what is charged to it. The file cache charged to it is
// counted as free, as MemAvailable counts it: the kernel reclaims it first.
static double group_left(const std::string &dir, const controller_files &f) {
    const double limit = number_in(dir + "/" + f.limit);
    if (limit < 0 || limit >= 0x1p62) return INFINITY;  // v1 writes "no limit" as about 2^63
    const double usage = fmax(0, number_in(dir + "/" + f.usage));  // unread: the limit alone
    const double cache = stat_value(dir, f.active_file) + stat_value(dir, f.inactive_file);
    return fmax(0, limit - usage + fmin(cache, usage));
}

static bool exists(const std::string &path, bool directory) {
    struct stat s;
    return stat(path.c_str(), &s) == 0 && (S_ISDIR(s.st_mode) != 0) == directory;
}

double control_group_memory_left(const char *self_cgroup, const char *root) {
    std::istringstream lines(self_cgroup);
    std::string line;
    double left = INFINITY;
    while (std::getline(lines, line)) {
        // id:controllers:path; v2's line names no controllers, v1's memory line "memory".
        const size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
        const bool v2 = controllers == ",,";
        std::string top = root;
        if (v2 && !exists(top + "/cgroup.controllers", false))
            top += "/unified";  // a hybrid layout mounts v2 beside v1's controllers
        else if (!v2)
            top += "/memory";
        if ((v2 && !exists(top + "/cgroup.controllers", false)) ||
            (!v2 && controllers.find(",memory,") == std::string::npos))
            continue;
        // In a container the group's own directory is often the top one.
        std::string dir = top + line.substr(second + 1);
        while (dir.size() > top.size() && dir.back() == '/') dir.pop_back();
        if (!exists(dir, true)) dir = top;
        for (;;) {  // the group and each one above it
            left = fmin(left, group_left(dir, v2 ? V2 : V1));
            const size_t slash = dir.rfind('/');
            if (dir.size() <= top.size() || slash == std::string::npos || slash < top.size()) break;
            dir.erase(slash);
        }
    }
    return left;
}

static double own_control_group_left(void) {
    std::ifstream file("/proc/self/cgroup");
    std::stringstream text;
    text << file.rdbuf();
    return control_group_memory_left(text.str().c_str(), "/sys/fs/cgroup");
}

double available_memory_bytes(void) {
    return fmin(fmin(machine_available(), own_control_group_left()),
                fmin(left_under(RLIMIT_AS, 0), left_under(RLIMIT_DATA, 5)));
}
