// Runs programs alternately and reports their wall times and peak memory.
//
//   measure [--reps N] [--out PATH] -- PROGRAM ARGS... [:: PROGRAM ARGS...]...
//
// Each program runs once untimed (to warm the caches), then N times (default
// 11), the programs taking turns and each round starting with the next one
// (A B, B A, A B, ...), so that a change in the machine's speed hits them
// alike. Standard output goes to PATH (default /dev/null); standard error is
// kept. Prints one line per program:
//
//   <median wall ns> <min wall ns> <max wall ns> <max peak RSS KiB>
//   <median CPU ns (user + system)>
//
// CPU time is less disturbed than wall time by other work on the same core.
// and exits with 1 if any run did not exit with 0. Pin it to a core with
// taskset; the programs inherit the pinning.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct program {
  std::vector<char*> argv;
  std::vector<std::int64_t> wall_ns;
  std::vector<std::int64_t> cpu_ns;
  long max_rss_kib = 0;
};

std::int64_t now_ns() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Runs p once; returns false when it did not exit with 0.
bool run_once(program& p, const char* out_path, bool timed) {
  const std::int64_t start = now_ns();
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    const int fd = ::open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) ::_exit(126);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
    ::execv(p.argv[0], p.argv.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0) {
  }
  const std::int64_t wall = now_ns() - start;
  if (timed) {
    p.wall_ns.push_back(wall);
    const auto ns = [](const timeval& t) {
      return static_cast<std::int64_t>(t.tv_sec) * 1000000000 +
             static_cast<std::int64_t>(t.tv_usec) * 1000;
    };
    p.cpu_ns.push_back(ns(usage.ru_utime) + ns(usage.ru_stime));
    p.max_rss_kib = std::max(p.max_rss_kib, usage.ru_maxrss);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "measure: %s ended with status %d\n", p.argv[0],
                 status);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int reps = 11;
  const char* out_path = "/dev/null";
  int i = 1;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc) {
      reps = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
      out_path = argv[++i];
    } else {
      std::fprintf(stderr, "measure: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  std::vector<program> programs(1);
  for (++i; i < argc; ++i) {
    if (std::strcmp(argv[i], "::") == 0) {
      programs.emplace_back();
    } else {
      programs.back().argv.push_back(argv[i]);
    }
  }
  for (program& p : programs) {
    if (p.argv.empty() || reps < 1) {
      std::fprintf(stderr,
                   "usage: measure [--reps N] [--out PATH] -- PROGRAM ARGS... "
                   "[:: PROGRAM ARGS...]...\n");
      return 2;
    }
    p.argv.push_back(nullptr);
  }

  bool ok = true;
  for (program& p : programs) ok = run_once(p, out_path, false) && ok;
  const std::size_t m = programs.size();
  for (int r = 0; r < reps; ++r) {
    for (std::size_t k = 0; k < m; ++k) {
      ok = run_once(programs[(r + k) % m], out_path, true) && ok;
    }
  }
  const auto median = [](std::vector<std::int64_t>& v) {
    std::sort(v.begin(), v.end());
    return static_cast<long long>(
        v.size() % 2 == 1 ? v[v.size() / 2]
                          : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
  };
  for (program& p : programs) {
    const long long wall = median(p.wall_ns);
    std::printf("%lld %lld %lld %ld %lld\n", wall,
                static_cast<long long>(p.wall_ns.front()),
                static_cast<long long>(p.wall_ns.back()), p.max_rss_kib,
                median(p.cpu_ns));
  }
  return ok ? 0 : 1;
}
