// A tiny program that makes exactly one clock call chosen on its command line and prints what
// came back, so the interposer tests can watch the library from the caller's side.
//
//   clock_caller clock_settime CLOCK SECONDS NANOSECONDS
//   clock_caller settimeofday SECONDS MICROSECONDS
//   clock_caller settimezone MINUTESWEST DSTTIME      settimeofday with only a time zone
//   clock_caller adjtime SECONDS MICROSECONDS
//   clock_caller adjtimex MODES OFFSET FREQ SECONDS FRACTION
//   clock_caller ntp_adjtime MODES OFFSET FREQ SECONDS FRACTION
//   clock_caller clock_adjtime CLOCK MODES OFFSET FREQ SECONDS FRACTION
//   clock_caller identity                              prints uid, euid and effective caps
//
// With --deny-clock-calls first, the caller installs a system-call filter (seccomp) that
// answers every system call able to set the clock with EPERM, as systemd's
// SystemCallFilter=~@clock with SystemCallErrorNumber=EPERM does, before it makes its call.
//
// Every call prints "rc=<return value> errno=<errno>", the timex calls add the tick and status
// the structure holds afterwards, adjtime adds the outstanding slew it reported. The exit
// status is 0 once the call has been made, whatever it returned, and 2 for a bad command line.
// MODES accepts hex with a 0x prefix.

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tidewell {
namespace {

constexpr int kUsageError = 2;

std::optional<long long> ParseNumber(const char* text) {
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0') return std::nullopt;
  return value;
}

// Parses every argument as a number, or gives up on the first that is not one.
std::optional<std::vector<long long>> ParseAll(const std::vector<const char*>& texts) {
  std::vector<long long> values;
  for (const char* text : texts) {
    std::optional<long long> value = ParseNumber(text);
    if (!value) return std::nullopt;
    values.push_back(*value);
  }
  return values;
}

void PrintResult(int rc, int error) { std::printf("rc=%d errno=%d", rc, error); }

// The sentinels show whether anything filled the structure in: a real read replaces them.
timex TimexRequest(const std::vector<long long>& values) {
  timex request{};
  request.modes = static_cast<unsigned int>(values[0]);
  request.offset = values[1];
  request.freq = values[2];
  request.time.tv_sec = values[3];
  request.time.tv_usec = values[4];
  request.tick = -1;
  request.status = -1;
  return request;
}

void PrintTimex(int rc, int error, const timex& result) {
  PrintResult(rc, error);
  std::printf(" tick=%ld status=%d\n", static_cast<long>(result.tick), result.status);
}

void PrintIdentity() {
  std::string capabilities = "unknown";
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("CapEff:", 0) == 0) {
      capabilities = line.substr(line.find_first_not_of(" \t", 7));
    }
  }
  std::printf("uid=%d euid=%d capeff=%s\n", static_cast<int>(getuid()), static_cast<int>(geteuid()),
              capabilities.c_str());
}

// This program is built for the machine it runs on, so the system-call numbers are its own.
bool DenyClockCalls() {
  constexpr unsigned kRefuse = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clock_settime, 4, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_settimeofday, 3, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_adjtimex, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clock_adjtime, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, kRefuse),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

int Run(std::string_view command, const std::vector<long long>& v) {
  auto wants = [&](std::size_t count) { return v.size() == count; };
  if (command == "clock_settime" && wants(3)) {
    timespec request{static_cast<time_t>(v[1]), static_cast<long>(v[2])};
    int rc = clock_settime(static_cast<clockid_t>(v[0]), &request);
    PrintResult(rc, errno);
    std::printf("\n");
  } else if (command == "settimeofday" && wants(2)) {
    timeval request{static_cast<time_t>(v[0]), static_cast<suseconds_t>(v[1])};
    int rc = settimeofday(&request, nullptr);
    PrintResult(rc, errno);
    std::printf("\n");
  } else if (command == "settimezone" && wants(2)) {
    struct timezone zone {
      static_cast<int>(v[0]), static_cast<int>(v[1])
    };
    int rc = settimeofday(nullptr, &zone);
    PrintResult(rc, errno);
    std::printf("\n");
  } else if (command == "adjtime" && wants(2)) {
    timeval delta{static_cast<time_t>(v[0]), static_cast<suseconds_t>(v[1])};
    timeval old_delta{-1, -1};
    int rc = adjtime(&delta, &old_delta);
    PrintResult(rc, errno);
    std::printf(" old=%ld.%06ld\n", static_cast<long>(old_delta.tv_sec),
                static_cast<long>(old_delta.tv_usec));
  } else if (command == "adjtimex" && wants(5)) {
    timex request = TimexRequest(v);
    int rc = adjtimex(&request);
    PrintTimex(rc, errno, request);
  } else if (command == "ntp_adjtime" && wants(5)) {
    timex request = TimexRequest(v);
    int rc = ntp_adjtime(&request);
    PrintTimex(rc, errno, request);
  } else if (command == "clock_adjtime" && wants(6)) {
    timex request = TimexRequest(std::vector<long long>(v.begin() + 1, v.end()));
    int rc = clock_adjtime(static_cast<clockid_t>(v[0]), &request);
    PrintTimex(rc, errno, request);
  } else if (command == "identity" && wants(0)) {
    PrintIdentity();
  } else {
    return kUsageError;
  }
  return 0;
}

}  // namespace
}  // namespace tidewell

int main(int argc, char** argv) {
  if (argc >= 2 && std::string_view(argv[1]) == "--deny-clock-calls") {
    if (!tidewell::DenyClockCalls()) {
      std::perror("clock_caller: cannot install the system-call filter");
      return 1;
    }
    --argc;
    ++argv;
  }
  if (argc < 2) {
    std::fprintf(stderr, "usage: clock_caller [--deny-clock-calls] COMMAND NUMBERS...\n");
    return tidewell::kUsageError;
  }
  std::optional<std::vector<long long>> values =
      tidewell::ParseAll(std::vector<const char*>(argv + 2, argv + argc));
  int status = values ? tidewell::Run(argv[1], *values) : tidewell::kUsageError;
  if (status == tidewell::kUsageError) {
    std::fprintf(stderr, "clock_caller: cannot make sense of the command line\n");
  }
  return status;
}
