#include "bench/pipeline/cpu_stats.h"

#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qx::bench {

namespace {

double ticksToSeconds(long long ticks) {
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The comm and utime + stime of a /proc/.../stat file.
bool readStat(const std::string& path, std::string& comm, long long& ticks) {
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line)) return false;
  const auto open = line.find('('), close = line.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close + 2 > line.size()) return false;
  comm = line.substr(open + 1, close - open - 1);
  std::istringstream rest(line.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::atoll(field.c_str());
    if (i == 15) stime = std::atoll(field.c_str());
  }
  ticks = utime + stime;
  return true;
}

double clockSeconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

double processCpuSeconds(int pid) {
  std::string comm;
  long long ticks = 0;
  return readStat("/proc/" + std::to_string(pid) + "/stat", comm, ticks) ? ticksToSeconds(ticks) : 0.0;
}

std::map<std::string, double> threadCpuSeconds(int pid) {
  std::map<std::string, double> out;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::string comm;
      long long ticks = 0;
      if (readStat(dir + "/" + e->d_name + "/stat", comm, ticks)) out[comm] += ticksToSeconds(ticks);
    }
    closedir(d);
  }
  return out;
}

std::string commandName(int pid) {
  std::string comm;
  long long ticks = 0;
  return readStat("/proc/" + std::to_string(pid) + "/stat", comm, ticks) ? comm : std::string();
}

double threadCpuNow() { return clockSeconds(CLOCK_THREAD_CPUTIME_ID); }
double processCpuNow() { return clockSeconds(CLOCK_PROCESS_CPUTIME_ID); }

}  // namespace qx::bench
