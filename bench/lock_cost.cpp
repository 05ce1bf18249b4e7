// bench/lock_cost PATH [ROUNDS]: what the port lock adds to one command. Takes
// and gives up the lock on PATH (free, so never waiting) ROUNDS times and
// prints the median and the 90th percentile of one LockPort + UnlockPort in
// nanoseconds, as "median_ns p90_ns". bench/run runs it in hubsim's sandbox
// on a virtual hub's port.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "port_lock.h"

static long long NowNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: lock_cost PATH [ROUNDS]\n");
    return 2;
  }
  int rounds = argc > 2 ? std::atoi(argv[2]) : 1000;
  if (rounds < 1) rounds = 1;
  std::vector<long long> ns;
  for (int i = 0; i < rounds; ++i) {
    int fd = -1;
    long long start = NowNs();
    std::string status = LockPort(argv[1], 1000, &fd);
    UnlockPort(fd);
    ns.push_back(NowNs() - start);
    if (status != "OK" || fd < 0) {
      std::fprintf(stderr, "lock_cost: %s: %s\n", argv[1], status.c_str());
      return 1;
    }
  }
  std::sort(ns.begin(), ns.end());
  std::printf("%lld %lld\n", ns[ns.size() / 2], ns[ns.size() * 9 / 10]);
  return 0;
}
