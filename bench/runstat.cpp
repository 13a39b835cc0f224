// runstat: runs a command and reports its wall time, CPU time and peak memory, for the
// benchmarks (finer-grained than /usr/bin/time, whose clock ticks in hundredths).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

double monotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Runs the command once; its exit code (or 128+signal), or -1 when it could not start.
int runOnce(char** command, const char* stdinPath) {
  pid_t child = fork();
  if (child < 0) {
    std::perror("runstat: fork");
    return -1;
  }
  if (child == 0) {
    if (stdinPath) {
      int in = open(stdinPath, O_RDONLY);
      if (in < 0 || dup2(in, 0) < 0) {
        std::perror("runstat: standard input");
        _exit(127);
      }
      close(in);
    }
    execvp(command[0], command);
    std::perror("runstat: exec");
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      std::perror("runstat: waitpid");
      return -1;
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

// Usage: runstat [--repeat N] [--stdin FILE] OUTFILE command [args...]
// Writes one line to OUTFILE: "<exit> <wall s> <user s> <sys s> <peak RSS KiB>". The times
// and the peak cover the command and every child it waited for (a shell loop included).
// The command's own exit status is runstat's exit status (128+N if a signal N ended it).
// --stdin FILE opens FILE afresh as the command's standard input for each run.
// --repeat N runs the command N times one after the other and stops at the first failure;
// the figures are then the totals (peak: the largest) of all the runs.
int main(int argc, char** argv) {
  long repeat = 1;
  const char* stdinPath = nullptr;
  int first = 1;
  while (first + 1 < argc && argv[first][0] == '-' && argv[first][1] == '-') {
    if (std::strcmp(argv[first], "--repeat") == 0) {
      repeat = std::atol(argv[first + 1]);
    } else if (std::strcmp(argv[first], "--stdin") == 0) {
      stdinPath = argv[first + 1];
    } else {
      break;
    }
    first += 2;
  }
  if (argc - first < 2 || repeat < 1) {
    std::fprintf(stderr, "usage: runstat [--repeat N] [--stdin FILE] OUTFILE command [args...]\n");
    return 2;
  }
  double start = monotonicSeconds();
  int code = 0;
  for (long i = 0; i < repeat && code == 0; ++i) code = runOnce(argv + first + 1, stdinPath);
  if (code < 0) return 2;
  double wall = monotonicSeconds() - start;
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  std::FILE* out = std::fopen(argv[first], "w");
  if (!out) {
    std::perror("runstat: output file");
    return 2;
  }
  std::fprintf(out, "%d %.6f %.6f %.6f %ld\n", code, wall, seconds(usage.ru_utime),
               seconds(usage.ru_stime), usage.ru_maxrss);
  std::fclose(out);
  return code;
}
