#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "ScratchDirectory.h"

extern char** environ;

namespace tidewell::test {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr auto kWaitInterval = 5ms;
// How long one wait for output lasts before the child's exit is checked again.
constexpr auto kExchangeSlice = 50ms;

// A NULL-ended array of C strings over its own copies of the texts, as execvpe takes it.
class CStrings {
 public:
  explicit CStrings(std::vector<std::string> texts) : texts_(std::move(texts)) {
    for (std::string& text : texts_) pointers_.push_back(text.data());
    pointers_.push_back(nullptr);
  }
  CStrings(const CStrings&) = delete;
  CStrings& operator=(const CStrings&) = delete;
  char* const* get() const { return pointers_.data(); }

 private:
  std::vector<std::string> texts_;
  std::vector<char*> pointers_;
};

std::string NameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

std::vector<std::string> ChangedEnvironment(const EnvironmentChanges& changes) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) entries.emplace_back(*entry);
  for (const std::string& change : changes) {
    const std::string name = NameOf(change);
    std::erase_if(entries, [&](const std::string& entry) { return NameOf(entry) == name; });
    if (change.find('=') != std::string::npos) entries.push_back(change);
  }
  return entries;
}

int ExitStatusOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

void CloseAndForget(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Moves what the child's pipes hold into `result`, and `input` into the child, until both
// output pipes end, the child is gone and nothing more is waiting (a descendant may still hold
// the pipes), or the deadline passes. Gives the child's wait status once it was reaped.
std::optional<int> Exchange(pid_t child, int inFd, int outFd, int errFd, const std::string& input,
                            SteadyClock::time_point deadline, ChildResult& result) {
  std::optional<int> reaped;
  std::size_t sent = 0;
  if (input.empty()) CloseAndForget(inFd);
  int* outputs[2] = {&outFd, &errFd};
  std::string* texts[2] = {&result.standardOutput, &result.standardError};
  while ((outFd >= 0 || errFd >= 0) && SteadyClock::now() < deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    pollfd fds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {inFd, POLLOUT, 0}};
    const int ready =
        poll(fds, 3, reaped ? 0 : static_cast<int>(std::min(left, kExchangeSlice).count()));
    if (ready < 0 && errno != EINTR) break;
    if (ready == 0 && reaped) break;
    if (inFd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      const ssize_t wrote = write(inFd, input.data() + sent, input.size() - sent);
      if (wrote > 0) sent += static_cast<std::size_t>(wrote);
      if ((wrote < 0 && errno != EAGAIN) || sent == input.size()) CloseAndForget(inFd);
    }
    for (int i = 0; i < 2; ++i) {
      if (*outputs[i] < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buffer[4096];
      const ssize_t got = read(*outputs[i], buffer, sizeof buffer);
      if (got > 0) {
        texts[i]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        CloseAndForget(*outputs[i]);
      }
    }
    int status = 0;
    if (!reaped && waitpid(child, &status, WNOHANG) == child) reaped = status;
  }
  for (int fd : {inFd, outFd, errFd}) {
    if (fd >= 0) close(fd);
  }
  return reaped;
}

}  // namespace

pid_t SpawnChild(const std::vector<std::string>& argv, const ChildSetup& setup) {
  if (argv.empty()) throw std::invalid_argument("no program to run");
  const CStrings arguments(argv);
  const CStrings environment(ChangedEnvironment(setup.environment));
  const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    signal(SIGPIPE, SIG_DFL);  // a caller that ignores it must not hand that on
    dup2(setup.input >= 0 ? setup.input : devNull, STDIN_FILENO);
    dup2(setup.output >= 0 ? setup.output : devNull, STDOUT_FILENO);
    dup2(setup.error >= 0 ? setup.error : devNull, STDERR_FILENO);
    if (setup.descriptor3 >= 0) dup2(setup.descriptor3, 3);
    execvpe(arguments.get()[0], arguments.get(), environment.get());
    _exit(127);
  }
  close(devNull);
  if (pid < 0) throw std::runtime_error("cannot fork for " + argv[0]);
  setpgid(pid, pid);  // here too, so that a kill right after the fork reaches the group
  return pid;
}

ChildResult WaitForChild(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = SteadyClock::now() + timeout;
  ChildResult result;
  int status = 0;
  for (;;) {
    const pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid) break;
    if (got < 0 && errno != EINTR) return result;
    if (SteadyClock::now() >= deadline) {
      kill(-pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      result.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(kWaitInterval);
  }
  result.exitStatus = ExitStatusOf(status);
  return result;
}

ChildResult RunChild(const std::vector<std::string>& argv, const EnvironmentChanges& environment,
                     std::chrono::milliseconds timeout, const std::string& input, bool mergeError) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("cannot make a pipe");
  }
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  if (!input.empty()) signal(SIGPIPE, SIG_IGN);  // a child that stops reading ends the input
  const auto deadline = SteadyClock::now() + timeout;
  const pid_t child =
      SpawnChild(argv, {environment, in[0], out[1], mergeError ? out[1] : err[1], -1});
  for (int fd : {in[0], out[1], err[1]}) close(fd);

  ChildResult result;
  const std::optional<int> status = Exchange(child, in[1], out[0], err[0], input, deadline, result);
  if (status) {
    result.exitStatus = ExitStatusOf(*status);
    return result;
  }
  const auto left = std::max(deadline - SteadyClock::now(), SteadyClock::duration::zero());
  const ChildResult ended =
      WaitForChild(child, std::chrono::duration_cast<std::chrono::milliseconds>(left));
  result.exitStatus = ended.exitStatus;
  result.timedOut = ended.timedOut;
  return result;
}

int OpenOutputFile(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  return fd;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const ChildSetup& setup)
    : pid_(SpawnChild(argv, setup)) {}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const EnvironmentChanges& environment,
                                     const std::string& outputPath)
    : outputPath_(outputPath) {
  const int output = OpenOutputFile(outputPath);
  try {
    pid_ = SpawnChild(argv, {environment, -1, output, output, -1});
  } catch (...) {
    close(output);
    throw;
  }
  close(output);
}

BackgroundProcess::~BackgroundProcess() { Stop(); }

bool BackgroundProcess::Running() {
  if (ended_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    ended_ = true;
    end_.exitStatus = ExitStatusOf(status);
  }
  return !ended_;
}

bool BackgroundProcess::WaitForOutput(const std::string& text,
                                      std::chrono::milliseconds timeout) const {
  const auto deadline = SteadyClock::now() + timeout;
  while (SteadyClock::now() < deadline) {
    if (ReadWholeFile(outputPath_).find(text) != std::string::npos) return true;
    if (kill(pid_, 0) != 0) return false;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

ChildResult BackgroundProcess::Stop(int signal, std::chrono::milliseconds grace) {
  if (!Running()) return end_;
  kill(-pid_, signal);
  end_ = WaitForChild(pid_, grace);
  ended_ = true;
  return end_;
}

}  // namespace tidewell::test
