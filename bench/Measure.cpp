// tidewell_bench_measure: runs one command to its end and reports how long it took and how much
// memory it held at most.
//
//   tidewell_bench_measure --report-fd FD --kill-after SECONDS [--preload LIB] -- COMMAND ARGS...
//
// The benchmark starts it inside the clock interposer's wrapper, right in front of the program
// under test. Measuring from outside the wrapper would count the wrapper's shell as well: its
// peak memory would stand in for the program's, since a process keeps its high-water mark across
// exec. The report is one line on FD:
//
//   exit=<status or -1> signal=<number or 0> killed=<0|1> wall_ns=<n> maxrss_kb=<n>
//
// A command still running after SECONDS is killed (killed=1), and its peak memory up to then is
// still reported. The report descriptor is not passed on to the command. --preload puts LIB in
// front of the command's LD_PRELOAD (after the wrapper's own switch of user, which must not see
// it).

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tidewell {
namespace {

constexpr int kUsageError = 2;
constexpr int kCannotRun = 125;

long long MonotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

struct Arguments {
  int reportFd = -1;
  double killAfterSeconds = 0;
  const char* preload = nullptr;
  char** command = nullptr;
};

bool ParseArguments(int argc, char** argv, Arguments& out) {
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--") {
      if (i + 1 >= argc) return false;
      out.command = argv + i + 1;
      return out.reportFd >= 0 && out.killAfterSeconds > 0;
    }
    if (i + 1 >= argc) return false;
    if (flag == "--report-fd") {
      out.reportFd = std::atoi(argv[++i]);
    } else if (flag == "--kill-after") {
      out.killAfterSeconds = std::atof(argv[++i]);
    } else if (flag == "--preload") {
      out.preload = argv[++i];
    } else {
      return false;
    }
  }
  return false;
}

// Waits for the child's SIGCHLD until the deadline; false when the deadline came first.
bool AwaitChild(const sigset_t& childSignal, long long deadline) {
  while (true) {
    const long long left = deadline - MonotonicNanoseconds();
    if (left <= 0) return false;
    const timespec wait{static_cast<time_t>(left / 1'000'000'000LL),
                        static_cast<long>(left % 1'000'000'000LL)};
    const int got = sigtimedwait(&childSignal, nullptr, &wait);
    if (got == SIGCHLD) return true;
    if (got < 0 && errno == EAGAIN) return false;
    // EINTR: some other signal; keep waiting for the child.
  }
}

int Measure(const Arguments& args) {
  // The command must not inherit the report pipe, or the benchmark would wait on its end too.
  fcntl(args.reportFd, F_SETFD, FD_CLOEXEC);

  // SIGCHLD is blocked before the fork so that an early exit cannot slip past sigtimedwait.
  sigset_t childSignal;
  sigemptyset(&childSignal);
  sigaddset(&childSignal, SIGCHLD);
  sigprocmask(SIG_BLOCK, &childSignal, nullptr);

  if (args.preload != nullptr) {
    const char* existing = std::getenv("LD_PRELOAD");
    std::string preload = args.preload;
    if (existing != nullptr && *existing != '\0') preload += std::string(":") + existing;
    setenv("LD_PRELOAD", preload.c_str(), 1);
  }

  const long long start = MonotonicNanoseconds();
  const pid_t child = fork();
  if (child < 0) return kCannotRun;
  if (child == 0) {
    sigprocmask(SIG_UNBLOCK, &childSignal, nullptr);
    execvp(args.command[0], args.command);
    _exit(127);
  }

  const long long deadline = start + static_cast<long long>(args.killAfterSeconds * 1e9);
  const bool ended = AwaitChild(childSignal, deadline);
  if (!ended) kill(child, SIGKILL);
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  const long long wall = MonotonicNanoseconds() - start;

  const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  dprintf(args.reportFd, "exit=%d signal=%d killed=%d wall_ns=%lld maxrss_kb=%ld\n", exitStatus,
          signal, ended ? 0 : 1, wall, usage.ru_maxrss);
  return exitStatus >= 0 ? exitStatus : 128 + signal;
}

}  // namespace
}  // namespace tidewell

int main(int argc, char** argv) {
  tidewell::Arguments args;
  if (!tidewell::ParseArguments(argc, argv, args)) {
    std::fprintf(
        stderr,
        "usage: tidewell_bench_measure --report-fd FD --kill-after SECONDS [--preload LIB] "
        "-- COMMAND...\n");
    return tidewell::kUsageError;
  }
  return tidewell::Measure(args);
}
