#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tidewell::testing {
namespace {

std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

[[noreturn]] void ExecChild(const std::vector<std::string>& argv,
                            const std::vector<std::string>& environment, int outFd, int errFd) {
  for (const std::string& change : environment) {
    const auto equals = change.find('=');
    if (equals == std::string::npos) {
      unsetenv(change.c_str());
    } else {
      setenv(change.substr(0, equals).c_str(), change.substr(equals + 1).c_str(), 1);
    }
  }
  const int devNull = open("/dev/null", O_RDONLY);
  dup2(devNull, STDIN_FILENO);
  dup2(outFd, STDOUT_FILENO);
  dup2(errFd, STDERR_FILENO);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

std::string TimePageAhead(double aheadSeconds) {
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const std::time_t shown = static_cast<std::time_t>(std::floor(now + aheadSeconds));
  std::tm utc{};
  gmtime_r(&shown, &utc);
  char line[64];
  std::strftime(line, sizeof line, "<BR>%b. %d, %H:%M:%S Universal Time\n", &utc);
  return std::string("<HTML><TITLE>What time is it</TITLE><BODY><PRE>\n") + line +
         "<BR>Dec. 07, 06:20:33 AM EST\n</PRE></BODY></HTML>\n";
}

ChildResult RunChild(const std::vector<std::string>& argv,
                     const std::vector<std::string>& environment,
                     std::chrono::milliseconds timeout) {
  ScratchDirectory outputs;
  const std::string outPath = outputs.Path("stdout");
  const std::string errPath = outputs.Path("stderr");
  const int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (outFd < 0 || errFd < 0) throw std::runtime_error("cannot capture the child's output");

  const pid_t child = fork();
  if (child == 0) ExecChild(argv, environment, outFd, errFd);
  close(outFd);
  close(errFd);
  if (child < 0) throw std::runtime_error("fork failed");

  ChildResult result;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      result.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  result.standardOutput = ReadWholeFile(outPath);
  result.standardError = ReadWholeFile(errPath);
  return result;
}

ScratchDirectory::ScratchDirectory() {
  std::string pattern = std::filesystem::temp_directory_path() / "tidewell-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  chmod(pattern.c_str(), 0711);  // the unprivileged user may enter, not list
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace tidewell::testing
