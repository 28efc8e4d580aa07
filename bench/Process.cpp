#include "Process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tidewell::bench {
namespace {

using namespace std::chrono_literals;

constexpr int kReportFd = 3;  // where tidewell_bench_measure writes its line
constexpr auto kPollInterval = 2ms;
// The measurer kills the program itself; this only catches a wrapper or measurer that hangs.
constexpr auto kBackstopGrace = 15s;
constexpr auto kStopGrace = 3s;

// argv for execv, built before fork: the child may only make async-signal-safe calls, and the
// benchmark forks from several threads at once.
class Argv {
 public:
  explicit Argv(const std::vector<std::string>& words) : words_(words) {
    for (std::string& word : words_) pointers_.push_back(word.data());
    pointers_.push_back(nullptr);
  }
  char* const* get() { return pointers_.data(); }

 private:
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

int OpenOutput(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  return fd;
}

// Forks and execs `argv` in a process group of its own, stdin from /dev/null, stdout and stderr
// to `outputFd`, and `reportFd` (if any) as descriptor 3.
pid_t Spawn(Argv& argv, int outputFd, int reportFd) {
  const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    signal(SIGPIPE, SIG_DFL);  // the benchmark ignores it; the programs must not inherit that
    dup2(devNull, STDIN_FILENO);
    dup2(outputFd, STDOUT_FILENO);
    dup2(outputFd, STDERR_FILENO);
    if (reportFd >= 0) dup2(reportFd, kReportFd);
    execvp(argv.get()[0], argv.get());
    _exit(127);
  }
  close(devNull);
  if (pid < 0) throw std::runtime_error("cannot fork");
  setpgid(pid, pid);  // also here, so that a kill right after the fork reaches the group
  return pid;
}

// Waits for `pid` until `timeout`; kills its whole group when time runs out.
int WaitOrKill(pid_t pid, std::chrono::milliseconds timeout, bool* timedOut) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (true) {
    const pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid) break;
    if (got < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(-pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      if (timedOut != nullptr) *timedOut = true;
      break;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Measured ParseReport(const std::string& line) {
  Measured measured;
  long long wallNs = 0;
  int killed = 0;
  if (std::sscanf(line.c_str(), "exit=%d signal=%d killed=%d wall_ns=%lld maxrss_kb=%ld",
                  &measured.exitStatus, &measured.signal, &killed, &wallNs,
                  &measured.maxRssKb) == 5) {
    measured.reported = true;
    measured.killed = killed != 0;
    measured.wallSeconds = static_cast<double>(wallNs) / 1e9;
  }
  return measured;
}

}  // namespace

Scratch::Scratch() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tidewell-bench.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a scratch dir");
  path_ = pattern;
  // User 65534 must reach the logs in here; the wrapper hands each log over to it.
  chmod(path_.c_str(), 0755);
}

Scratch::~Scratch() {
  if (keep_) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

Measured RunUnderInterposer(const Tools& tools, const ProgramRun& run) {
  std::vector<std::string> words = {tools.wrapper,
                                    "--lib",
                                    tools.interposer,
                                    "--log",
                                    run.clockLog,
                                    "--",
                                    tools.measure,
                                    "--report-fd",
                                    std::to_string(kReportFd),
                                    "--kill-after",
                                    std::to_string(run.killAfter.count())};
  if (run.preload) {
    words.push_back("--preload");
    words.push_back(*run.preload);
  }
  words.push_back("--");
  words.insert(words.end(), run.command.begin(), run.command.end());
  Argv argv(words);

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
  const int output = OpenOutput(run.outputFile);
  const pid_t pid = Spawn(argv, output, report[1]);
  close(output);
  close(report[1]);

  WaitOrKill(pid,
             std::chrono::duration_cast<std::chrono::milliseconds>(run.killAfter + kBackstopGrace),
             nullptr);
  // The measurer wrote its one line before it exited; the pipe holds it.
  std::string line;
  char buffer[256];
  ssize_t got = 0;
  while ((got = read(report[0], buffer, sizeof buffer)) > 0) line.append(buffer, got);
  close(report[0]);
  return ParseReport(line);
}

Captured RunAndCapture(const std::vector<std::string>& command, std::chrono::milliseconds timeout,
                       const std::string& outputFile) {
  std::filesystem::remove(outputFile);
  Argv argv(command);
  const int output = OpenOutput(outputFile);
  const pid_t pid = Spawn(argv, output, -1);
  close(output);
  Captured captured;
  captured.exitStatus = WaitOrKill(pid, timeout, &captured.timedOut);
  captured.output = ReadFile(outputFile);
  return captured;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& command,
                                     const std::string& outputFile)
    : outputFile_(outputFile) {
  Argv argv(command);
  const int output = OpenOutput(outputFile);
  pid_ = Spawn(argv, output, -1);
  close(output);
}

BackgroundProcess::~BackgroundProcess() { Stop(); }

bool BackgroundProcess::WaitForOutput(const std::string& text,
                                      std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ReadFile(outputFile_).find(text) != std::string::npos) return true;
    if (kill(pid_, 0) != 0) return false;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

bool BackgroundProcess::Running() {
  if (pid_ < 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void BackgroundProcess::Stop() {
  if (pid_ < 0) return;
  kill(-pid_, SIGTERM);
  bool timedOut = false;
  WaitOrKill(pid_, kStopGrace, &timedOut);
  pid_ = -1;
}

bool WaitForListener(const std::string& address, int port, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<std::uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1) return false;
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool connected =
        connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0;
    close(fd);
    if (connected) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

double RealNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace tidewell::bench
