// The CPU time a process's control groups allow it: containers (docker --cpus, Kubernetes CPU
// limits) and batch schedulers set a quota of CPU time per period, which the affinity mask
// does not show.
#ifndef PICTOR_RUNTIME_CPU_QUOTA_H
#define PICTOR_RUNTIME_CPU_QUOTA_H

// The processors' worth of CPU time that this process's cgroups allow it, rounded up: the
// smallest quota of its cgroup and the cgroups above it, in cgroup v2 (cpu.max) and v1
// (cpu.cfs_quota_us / cpu.cfs_period_us), read under /sys/fs/cgroup. 0 when none is set or
// none can be read.
int cpu_quota_processors(void);

// The same for a process whose /proc/<pid>/cgroup reads self_cgroup, under the cgroup file
// system mounted at root.
int cpu_quota_processors_at(const char *root, const char *self_cgroup);

#endif
