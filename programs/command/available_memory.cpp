#include "command/available_memory.h"

#include <math.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

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

double available_memory_bytes(void) {
    return fmin(machine_available(), fmin(left_under(RLIMIT_AS, 0), left_under(RLIMIT_DATA, 5)));
}
