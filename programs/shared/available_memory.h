// How many more bytes this process can allocate: the least of the machine's
// available memory, what its address-space and data limits leave, and what
// the memory limits of its control group leave.
#pragma once

double available_memory_bytes(void);

// What the memory limits of a control group and those above it leave, the
// group named as /proc/self/cgroup names it (its text in self_cgroup) under
// the cgroup file systems at root (/sys/fs/cgroup). Infinite where no limit
// is set or none can be read.
double control_group_memory_left(const char *self_cgroup, const char *root);
