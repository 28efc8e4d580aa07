#pragma once

// A private folder for what a test or the benchmark writes (logs, configurations, sockets), and
// whole-file reads and writes for what goes in it.

#include <sys/types.h>

#include <string>

namespace tidewell::test {

class ScratchDirectory {
 public:
  // A new folder under the temporary directory, named `prefix` and a random tail. The default
  // mode lets the unprivileged user that the interposer wrapper switches to enter it and reach
  // what it is given by name, without listing it.
  explicit ScratchDirectory(const std::string& prefix = "tidewell", mode_t mode = 0711);
  // Removes the folder and everything in it, unless Keep() was called.
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  std::string Path(const std::string& name) const { return path_ + "/" + name; }
  void Keep() { keep_ = true; }

 private:
  std::string path_;
  bool keep_ = false;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);
// Replaces the content of a file; throws std::runtime_error when it cannot.
void WriteWholeFile(const std::string& path, const std::string& text);

}  // namespace tidewell::test
