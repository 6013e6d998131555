#pragma once

// CPU time of other processes and of their threads, from /proc.

#include <map>
#include <string>

namespace qx::bench {

// utime + stime of the whole process in seconds; 0 when it is gone.
double processCpuSeconds(int pid);

// CPU seconds per thread name (threads of one name summed).
std::map<std::string, double> threadCpuSeconds(int pid);

// The process's command name as the kernel keeps it (at most 15 characters).
std::string commandName(int pid);

// CPU time of the calling thread / of this whole process, in seconds.
double threadCpuNow();
double processCpuNow();

}  // namespace qx::bench
